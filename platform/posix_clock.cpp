// GetLocalTime over the system clock and time zone, with a seam for tests to fix the time;
// GetTickCount over the monotonic clock; Sleep.
#include <atomic>
#include <cstdint>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/test_hooks.h"
#include "platform/win32.h"

namespace {
// Read on every call from any thread; a test may swap it while gateway threads run.
std::atomic<karvel_test::LocalTimeSource> g_localTimeSource{nullptr};
}  // namespace

namespace karvel_test {
void SetLocalTimeSource(LocalTimeSource source) { g_localTimeSource.store(source); }
}  // namespace karvel_test

void GetLocalTime(LPSYSTEMTIME time) {
  if (time == nullptr) return;
  if (karvel_test::LocalTimeSource source = g_localTimeSource.load()) {
    source(time);
    return;
  }
  std::memset(time, 0, sizeof *time);
  timespec now{};
  struct tm local;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 || localtime_r(&now.tv_sec, &local) == nullptr) {
    return;
  }
  time->wYear = static_cast<WORD>(local.tm_year + 1900);
  time->wMonth = static_cast<WORD>(local.tm_mon + 1);
  time->wDayOfWeek = static_cast<WORD>(local.tm_wday);  // 0 = Sunday on both systems
  time->wDay = static_cast<WORD>(local.tm_mday);
  time->wHour = static_cast<WORD>(local.tm_hour);
  time->wMinute = static_cast<WORD>(local.tm_min);
  // A leap second (tm_sec 60) does not exist for Win32 callers.
  time->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);
  time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

void Sleep(DWORD milliseconds) {
  timespec wait{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

DWORD GetTickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  // Milliseconds, wrapping at 2^32 as on Windows: callers take differences of two readings.
  return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}
