// The test hooks on Windows. The code under test calls GetLocalTime, HeapAlloc, HeapReAlloc,
// GlobalAlloc and
// MessageBoxA through the test program's import address table; each hook rewrites that table's
// slot for its function once, pointing it at a replacement here that defers to the original while
// no test has asked for anything else.
#include <atomic>

#include "platform/test_hooks.h"

namespace {

// Points the program's import slot for `dll`!`function` at `replacement`; the original address,
// or nullptr when the program does not import the function.
void* RebindImport(const char* dll, const char* function, void* replacement) {
  auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0) return nullptr;
  for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); entry->Name != 0;
       ++entry) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0) continue;
    if (entry->OriginalFirstThunk == 0) continue;  // no names to go by
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (lstrcmpA(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
      DWORD oldProtection = 0;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &oldProtection)) {
        return nullptr;
      }
      void* original = reinterpret_cast<void*>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, oldProtection, &oldProtection);
      return original;
    }
  }
  return nullptr;
}

// ---- Clock ----
using GetLocalTimeFunction = void(WINAPI*)(LPSYSTEMTIME);
std::atomic<karvel_test::LocalTimeSource> g_timeSource{nullptr};
GetLocalTimeFunction g_realGetLocalTime = nullptr;

void WINAPI HookedGetLocalTime(LPSYSTEMTIME time) {
  if (karvel_test::LocalTimeSource source = g_timeSource.load()) {
    source(time);
    return;
  }
  g_realGetLocalTime(time);
}

// ---- Memory ----
using HeapAllocFunction = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);
using HeapReAllocFunction = LPVOID(WINAPI*)(HANDLE, DWORD, LPVOID, SIZE_T);
using GlobalAllocFunction = HGLOBAL(WINAPI*)(UINT, SIZE_T);
std::atomic<int> g_failures{0};
std::atomic<SIZE_T> g_largestAllocation{0};  // 0: no limit
HeapAllocFunction g_realHeapAlloc = nullptr;
HeapReAllocFunction g_realHeapReAlloc = nullptr;
GlobalAllocFunction g_realGlobalAlloc = nullptr;

bool TakeFailure(SIZE_T bytes) {
  const SIZE_T largest = g_largestAllocation.load();
  if (largest != 0 && bytes > largest) return true;
  int left = g_failures.load();
  while (left > 0 && !g_failures.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0;
}

LPVOID WINAPI HookedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (TakeFailure(bytes)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return g_realHeapAlloc(heap, flags, bytes);
}

LPVOID WINAPI HookedHeapReAlloc(HANDLE heap, DWORD flags, LPVOID memory, SIZE_T bytes) {
  if (TakeFailure(bytes)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return g_realHeapReAlloc(heap, flags, memory, bytes);
}

HGLOBAL WINAPI HookedGlobalAlloc(UINT flags, SIZE_T bytes) {
  if (TakeFailure(bytes)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return g_realGlobalAlloc(flags, bytes);
}

// ---- Message boxes ----
using MessageBoxFunction = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
std::atomic<karvel_test::MessageBoxSink> g_messageSink{nullptr};
MessageBoxFunction g_realMessageBoxA = nullptr;

int WINAPI HookedMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  if (karvel_test::MessageBoxSink sink = g_messageSink.load()) {
    sink(text, caption, type);
    return IDOK;
  }
  return g_realMessageBoxA(owner, text, caption, type);
}

// Rebinds every hooked import once, the first time any hook is set.
void RebindOnce() {
  static const bool rebound = [] {
    g_realGetLocalTime = reinterpret_cast<GetLocalTimeFunction>(
        RebindImport("KERNEL32.dll", "GetLocalTime", reinterpret_cast<void*>(&HookedGetLocalTime)));
    g_realHeapAlloc = reinterpret_cast<HeapAllocFunction>(
        RebindImport("KERNEL32.dll", "HeapAlloc", reinterpret_cast<void*>(&HookedHeapAlloc)));
    g_realHeapReAlloc = reinterpret_cast<HeapReAllocFunction>(
        RebindImport("KERNEL32.dll", "HeapReAlloc", reinterpret_cast<void*>(&HookedHeapReAlloc)));
    g_realGlobalAlloc = reinterpret_cast<GlobalAllocFunction>(
        RebindImport("KERNEL32.dll", "GlobalAlloc", reinterpret_cast<void*>(&HookedGlobalAlloc)));
    g_realMessageBoxA = reinterpret_cast<MessageBoxFunction>(
        RebindImport("USER32.dll", "MessageBoxA", reinterpret_cast<void*>(&HookedMessageBoxA)));
    // A slot that was not there is not an error (the program never calls that function), but
    // the replacement must still be able to defer to the real function.
    if (g_realGetLocalTime == nullptr) g_realGetLocalTime = &GetLocalTime;
    if (g_realHeapAlloc == nullptr) g_realHeapAlloc = &HeapAlloc;
    if (g_realHeapReAlloc == nullptr) g_realHeapReAlloc = &HeapReAlloc;
    if (g_realGlobalAlloc == nullptr) g_realGlobalAlloc = &GlobalAlloc;
    if (g_realMessageBoxA == nullptr) g_realMessageBoxA = &MessageBoxA;
    return true;
  }();
  (void)rebound;
}

}  // namespace

namespace karvel_test {

void SetLocalTimeSource(LocalTimeSource source) {
  RebindOnce();
  g_timeSource.store(source);
}

void FailNextAllocations(int count) {
  RebindOnce();
  g_failures.store(count < 0 ? 0 : count);
}

void RefuseAllocationsAbove(SIZE_T bytes) {
  RebindOnce();
  g_largestAllocation.store(bytes);
}

void SetMessageBoxSink(MessageBoxSink sink) {
  RebindOnce();
  g_messageSink.store(sink);
}

}  // namespace karvel_test
