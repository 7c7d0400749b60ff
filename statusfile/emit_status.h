// EMITSTATUS: leaves a status file, expanded from a template, in the Windows directory.
#ifndef KARVEL_STATUSFILE_EMIT_STATUS_H
#define KARVEL_STATUSFILE_EMIT_STATUS_H

#include "platform/export.h"
#include "platform/win32.h"

// `argument` is "TEMPLATE_DIR,STATUS_NAME,FIRST_VALUE,SECOND_VALUE" (at most its first 260 bytes
// count). Expands TEMPLATE_DIR + "VB_KARVEL.MIF" into the Windows directory's
// STATUS_NAME + "_VB_KARVEL.MIF" (see ExpandTemplate). The first two arguments are ignored.
// Returns 0 when the expansion ran to its end, 99 after a message box naming the failed file.
// One call at a time; runs on the caller's thread.
extern "C" KARVEL_EXPORT LONG WINAPI EmitStatus(LONG unused1, LONG unused2, LPCSTR argument);

// What EmitStatus does, for callers inside the project (the command and the tests).
LONG EmitStatusFor(LPCSTR argument);

#endif  // KARVEL_STATUSFILE_EMIT_STATUS_H
