// A back-end program for the gateway benchmarks: waits $KARVEL_BENCH_DELAY_MS milliseconds, then
// answers a page whose text is the moment (CLOCK_REALTIME, nanoseconds) just before the answer is
// renamed over the exchange file, so the benchmark can tell how soon the reply followed.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const char* delay = std::getenv("KARVEL_BENCH_DELAY_MS");
  if (delay != nullptr) usleep(static_cast<useconds_t>(std::atoi(delay)) * 1000);
  const std::string answer = std::string(argv[1]) + ".answer";
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  FILE* out = std::fopen(answer.c_str(), "wb");
  if (out == nullptr) return 1;
  std::fprintf(out, "91  %lld", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
  std::fclose(out);
  return std::rename(answer.c_str(), argv[1]) == 0 ? 0 : 1;
}
