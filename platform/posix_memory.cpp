// Process heap and GlobalAlloc family over malloc. There is one heap; GlobalAlloc's handles are the
// block addresses themselves, with a small header that counts locks.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/test_hooks.h"
#include "platform/win32.h"

namespace {

std::atomic<int> g_failingAllocations{0};
std::atomic<SIZE_T> g_largestAllocation{0};  // 0: no limit

// True when a test asked this allocation to fail.
bool AllocationMustFail(SIZE_T bytes) {
  const SIZE_T largest = g_largestAllocation.load();
  if (largest != 0 && bytes > largest) return true;
  int left = g_failingAllocations.load();
  while (left > 0) {
    if (g_failingAllocations.compare_exchange_weak(left, left - 1)) return true;
  }
  return false;
}

// Placed before every GlobalAlloc block; keeps the block aligned like malloc's.
struct alignas(std::max_align_t) GlobalHeader {
  int nLocks;
};

GlobalHeader* HeaderOf(HGLOBAL memory) {
  return static_cast<GlobalHeader*>(memory) - 1;
}

// Any non-null value serves: HeapAlloc ignores which heap it is given.
char g_processHeap;

}  // namespace

namespace karvel_test {
void FailNextAllocations(int count) { g_failingAllocations.store(count > 0 ? count : 0); }
void RefuseAllocationsAbove(SIZE_T bytes) { g_largestAllocation.store(bytes); }
}  // namespace karvel_test

HANDLE GetProcessHeap() { return &g_processHeap; }

LPVOID HeapAlloc(HANDLE, DWORD flags, SIZE_T bytes) {
  if (AllocationMustFail(bytes)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // A zero-byte request still yields a distinct block, as on Windows.
  if (bytes == 0) bytes = 1;
  void* block = (flags & HEAP_ZERO_MEMORY) ? std::calloc(1, bytes) : std::malloc(bytes);
  if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

// realloc grows a large block by remapping its pages, without a second copy of them in memory.
LPVOID HeapReAlloc(HANDLE, DWORD, LPVOID memory, SIZE_T bytes) {
  if (AllocationMustFail(bytes)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (bytes == 0) bytes = 1;
  void* block = std::realloc(memory, bytes);
  if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

BOOL HeapFree(HANDLE, DWORD, LPVOID memory) {
  std::free(memory);
  return TRUE;
}

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
  if (AllocationMustFail(bytes) || bytes > SIZE_MAX - sizeof(GlobalHeader)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  SIZE_T total = sizeof(GlobalHeader) + bytes;
  void* raw = (flags & GMEM_ZEROINIT) ? std::calloc(1, total) : std::malloc(total);
  if (raw == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* header = static_cast<GlobalHeader*>(raw);
  header->nLocks = 0;
  return header + 1;
}

LPVOID GlobalLock(HGLOBAL memory) {
  if (memory == nullptr) return nullptr;
  HeaderOf(memory)->nLocks++;
  return memory;
}

BOOL GlobalUnlock(HGLOBAL memory) {
  if (memory == nullptr) return FALSE;
  GlobalHeader* header = HeaderOf(memory);
  if (header->nLocks > 0) header->nLocks--;
  return header->nLocks > 0 ? TRUE : FALSE;
}

HGLOBAL GlobalFree(HGLOBAL memory) {
  if (memory != nullptr) std::free(HeaderOf(memory));
  return nullptr;
}
