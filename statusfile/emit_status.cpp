// The library's one export.
#include "statusfile/emit_status.h"

LONG WINAPI EmitStatus(LONG, LONG, LPCSTR argument) { return EmitStatusFor(argument); }
