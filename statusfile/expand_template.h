// Expands the status template into the status file.
#ifndef KARVEL_STATUSFILE_EXPAND_TEMPLATE_H
#define KARVEL_STATUSFILE_EXPAND_TEMPLATE_H

#include "platform/win32.h"

// Bytes of the template read at a time.
#define STATUS_TEMPLATE_BLOCK 64000

// Copies the template at `templatePath` into the status file at `statusPath` (created when
// missing), replacing "@1" by the local date (month/day/two-digit year), "@2" and "@4" by the
// lengths of `firstValue` and `secondValue`, "@3" and "@5" by their bytes; any other @ is copied.
// The template is one stream: a marker split between two reads is still a marker. The status file
// ends where the new text ends. Returns 1 when the template was copied to its end (a failing read
// ends it like the end of the template), 0 after showing the failure's message box: the template
// or its buffer cannot be had (status file untouched), the status file cannot be opened, or a write
// failed (what was written before stays, nothing after it).
int ExpandTemplate(LPCSTR templatePath, LPCSTR statusPath, LPCSTR firstValue, LPCSTR secondValue);

#endif  // KARVEL_STATUSFILE_EXPAND_TEMPLATE_H
