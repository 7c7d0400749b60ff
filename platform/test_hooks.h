// Test-only seams of the platform layer. Production code never calls these; tests use them to fix
// the clock and to make allocations fail, paths that a real machine rarely takes on demand.
// POSIX: built into the platform library. Windows: the library platform_test_hooks, which rebinds
// the test program's own imports of the Win32 calls, so the code linked into the program (and
// nothing in Windows' DLLs) sees the replacements.
#ifndef KARVEL_PLATFORM_TEST_HOOKS_H
#define KARVEL_PLATFORM_TEST_HOOKS_H

#include "platform/win32.h"

namespace karvel_test {

// GetLocalTime returns what `source` writes; nullptr restores the real clock.
using LocalTimeSource = void (*)(SYSTEMTIME* time);
void SetLocalTimeSource(LocalTimeSource source);

// The next `count` calls of HeapAlloc, HeapReAlloc and GlobalAlloc (taken together) fail; 0 ends
// the failures.
void FailNextAllocations(int count);

// HeapAlloc, HeapReAlloc and GlobalAlloc requests of more than `bytes` fail, as on a machine (or a 32-bit
// process) without that much address space; 0 lifts the limit.
void RefuseAllocationsAbove(SIZE_T bytes);

#ifndef _WIN32
// The random digits of request names (request_files.h) come from `source`, so that a test can
// plant a name before it is drawn; nullptr restores the system's random source.
using RequestDigitsSource = unsigned long long (*)();
void SetRequestDigitsSource(RequestDigitsSource source);
#endif

#ifdef _WIN32
// MessageBoxA hands its text, caption and type to `sink` and returns IDOK instead of showing a
// box (a test has no one to close it); nullptr restores the real MessageBoxA.
using MessageBoxSink = void (*)(LPCSTR text, LPCSTR caption, UINT type);
void SetMessageBoxSink(MessageBoxSink sink);
#endif

}  // namespace karvel_test

#endif  // KARVEL_PLATFORM_TEST_HOOKS_H
