// Settings a request takes from its host: the value of a server variable the host defines for the
// request's site (mod_karvel's directives), else the process environment (IIS has no per-site
// settings of its own), else the default.
#ifndef KARVEL_GATEWAY_REQUEST_SETTINGS_H
#define KARVEL_GATEWAY_REQUEST_SETTINGS_H

#include <cstdint>

#include "gateway/form_charset.h"
#include "isapi/httpext.h"

// Fields a request may send before it is refused ("KARVEL_MAX_FIELDS"; 0: no limit). A form of
// tiny fields costs a record, a value and an index entry each: the limit bounds what one request
// can make the server hold.
#define DEFAULT_MAX_FIELDS 10000
int32_t MaxFieldsFor(EXTENSION_CONTROL_BLOCK* ecb);

// The directory back-end programs must lie in ("KARVEL_BACKEND_DIR"), else the directory of the
// module that holds the extension. FALSE when none can be told or it does not fit, and when the
// host gives one that cannot be read (never the default in its place).
BOOL BackendDirectoryFor(EXTENSION_CONTROL_BLOCK* ecb, CHAR directory[MAX_PATH]);

// Where the request's exchange file and uploads go, ending in a separator: the host's
// "KARVEL_TEMP_DIR", else the server's temporary directory (GetServerTempPath: TMPDIR, or the
// server user's private directory inside it when it is shared). FALSE when it does not fit, the
// host's cannot be read, or no private directory can be had.
BOOL TempDirectoryFor(EXTENSION_CONTROL_BLOCK* ecb, CHAR directory[MAX_PATH]);

// Seconds a request waits for its back-end's answer ("KARVEL_BACKEND_TIMEOUT"); -1 when unset:
// the wait ends at the third change of the local clock's minute.
int32_t BackendTimeoutFor(EXTENSION_CONTROL_BLOCK* ecb);

// The encoding the request's form declares before its fields are read: the charset parameter of its
// Content-Type, else the site's "KARVEL_FORM_CHARSET" (auto, UTF-8, Shift_JIS, EUC-JP, ISO-2022-JP),
// else none (kCharsetAuto). A `_charset_` field in the form wins over both.
FormCharset FormCharsetFor(EXTENSION_CONTROL_BLOCK* ecb);

// The Wine prefix the host runs the site's Windows programs in ("KARVEL_WINE_PREFIX"); FALSE when
// it runs none there (no such host, KarvelWine off, or Wine missing).
BOOL WinePrefixFor(EXTENSION_CONTROL_BLOCK* ecb, CHAR prefix[MAX_PATH]);

// The site's Windows directories ("KARVEL_WINDOWS_PATHS", lines "C:\apps|/srv/karvel/backends")
// into `table` (`size` bytes); FALSE when there are none or they do not fit.
// The room a request keeps for them: a few directories, rarely more than a few hundred bytes.
#define WINDOWS_PATHS_ROOM 16384
BOOL WindowsPathsFor(EXTENSION_CONTROL_BLOCK* ecb, CHAR* table, DWORD size);

// A request refuses to run when its host gives a path setting that cannot be read, or does not
// fit the room the request keeps for it: the error page's text (ERROR_TEXT_EXE_LOAD for the
// back-end directory, the Wine prefix and the Windows directories, ERROR_TEXT_TEMP_OPEN for the
// temporary directory), else null. Only a setting the host does not give at all is taken from the
// environment or the default (the back-end directory: KARVEL_BACKEND_DIR, else the module's).
LPCSTR UnfitSettingText(EXTENSION_CONTROL_BLOCK* ecb);

#endif  // KARVEL_GATEWAY_REQUEST_SETTINGS_H
