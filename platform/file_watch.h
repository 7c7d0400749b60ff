// Waiting for a file to change without spinning: karvel's own helper over the system's file
// events (inotify on Linux). Where none can be had, a wait is a plain pause, so callers that poll
// stay correct either way.
#ifndef KARVEL_PLATFORM_FILE_WATCH_H
#define KARVEL_PLATFORM_FILE_WATCH_H

#include "platform/win32.h"

// Starts watching the file at `path` for writes and for its replacement (a file renamed over it).
// Returns a watch, or NULL when events cannot be had (then WaitForFileChange only pauses).
HANDLE BeginFileWatch(LPCSTR path);

// Returns when the watched file changed or was replaced since the last call, or after
// `milliseconds`, whichever comes first. With a NULL watch: pauses `pauseMilliseconds`. TRUE when
// the file may have changed (an event came, or there are no events to tell), FALSE when the
// watched file surely stayed as it was.
BOOL WaitForFileChange(HANDLE watch, DWORD milliseconds, DWORD pauseMilliseconds);

void EndFileWatch(HANDLE watch);

#ifdef _WIN32
// Windows: the pause alone (the poll's open already honours share modes there).
inline HANDLE BeginFileWatch(LPCSTR) { return nullptr; }
inline BOOL WaitForFileChange(HANDLE, DWORD, DWORD pauseMilliseconds) {
  Sleep(pauseMilliseconds);
  return TRUE;
}
inline void EndFileWatch(HANDLE) {}
#endif

#endif  // KARVEL_PLATFORM_FILE_WATCH_H
