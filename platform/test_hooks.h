// Test-only seams of the POSIX platform layer. Production code never calls these; tests use them to
// fix the clock and to make allocations fail, paths that a real machine rarely takes on demand.
#ifndef KARVEL_PLATFORM_TEST_HOOKS_H
#define KARVEL_PLATFORM_TEST_HOOKS_H

#include "platform/win32.h"

namespace karvel_test {

// GetLocalTime returns what `source` writes; nullptr restores the real clock.
using LocalTimeSource = void (*)(SYSTEMTIME* time);
void SetLocalTimeSource(LocalTimeSource source);

// The next `count` calls of HeapAlloc and GlobalAlloc (taken together) fail; 0 ends the failures.
void FailNextAllocations(int count);

}  // namespace karvel_test

#endif  // KARVEL_PLATFORM_TEST_HOOKS_H
