// The argument string of EmitStatus: up to four comma-separated fields, no quoting.
#ifndef KARVEL_STATUSFILE_STATUS_ARGUMENT_H
#define KARVEL_STATUSFILE_STATUS_ARGUMENT_H

#include "platform/win32.h"

// Bytes of the argument string that are looked at; nothing after them is read.
#define STATUS_ARGUMENT_LIMIT 260

struct StatusArgument {
  CHAR szTemplateDir[MAX_PATH];  // prefix of the template's path, ends in a separator or is empty
  CHAR szStatusName[MAX_PATH];   // part of the status file's name; '\' and '<' stored as '_'
  CHAR szFirstValue[MAX_PATH];   // text of "@3", its length "@2"
  CHAR szSecondValue[MAX_PATH];  // text of "@5", its length "@4"; a fifth or later field lands here
};

// Splits `argument` into `out`. A NUL or the 260th byte ends the scan; fields not given are empty
// strings. Every field is NUL-terminated within its buffer. A null `argument` gives four empties.
void SplitStatusArgument(LPCSTR argument, StatusArgument* out);

#endif  // KARVEL_STATUSFILE_STATUS_ARGUMENT_H
