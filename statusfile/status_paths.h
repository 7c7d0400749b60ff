// Where EmitStatus reads its template and writes the status file.
#ifndef KARVEL_STATUSFILE_STATUS_PATHS_H
#define KARVEL_STATUSFILE_STATUS_PATHS_H

#include "platform/win32.h"

#define STATUS_TEMPLATE_NAME "VB_KARVEL.MIF"
#define STATUS_FILE_SUFFIX "_VB_KARVEL.MIF"

// `dir` followed directly by "VB_KARVEL.MIF" (no separator added: an empty `dir` is the current
// directory). TRUE when the path fits in MAX_PATH; FALSE when it does not, with `path` holding as
// much of it as fits, for the message.
BOOL BuildTemplatePath(LPCSTR dir, CHAR path[MAX_PATH]);

// The Windows directory, the path separator, `name` and "_VB_KARVEL.MIF". TRUE when it fits in
// MAX_PATH; FALSE when it does not, with `path` holding as much of it as fits.
BOOL BuildStatusPath(LPCSTR name, CHAR path[MAX_PATH]);

#endif  // KARVEL_STATUSFILE_STATUS_PATHS_H
