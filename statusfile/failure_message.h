// The message boxes EmitStatus shows before it returns 99.
#ifndef KARVEL_STATUSFILE_FAILURE_MESSAGE_H
#define KARVEL_STATUSFILE_FAILURE_MESSAGE_H

#include "platform/win32.h"

enum StatusFailure {
  kStatusReadFailed,    // the template cannot be opened (or no buffer for it)
  kStatusCreateFailed,  // the status file cannot be opened or created
  kStatusWriteFailed,   // a write to the status file failed
};

// Shows the failure's text with `path` in it, `path` as the caption, MB_OK with a warning icon.
void ShowStatusFailure(StatusFailure failure, LPCSTR path);

#endif  // KARVEL_STATUSFILE_FAILURE_MESSAGE_H
