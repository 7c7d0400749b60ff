// The request's site settings, read once as the request begins: the value of a server variable the
// host defines for the request's site (mod_karvel's directives; names in isapi/karvel_host.h), else
// the process environment (IIS has no per-site settings of its own), else the default. Every later
// step takes them from the record, never from the host again.
#ifndef KARVEL_GATEWAY_REQUEST_SETTINGS_H
#define KARVEL_GATEWAY_REQUEST_SETTINGS_H

#include <cstdint>

#include "gateway/form_charset.h"
#include "isapi/httpext.h"

// Fields a request may send before it is refused (0: no limit). A form of tiny fields costs a
// record, a value and an index entry each: the limit bounds what one request can make the server
// hold.
constexpr int32_t DEFAULT_MAX_FIELDS = 10000;

// The room a request keeps for the site's Windows directories: a few directories, rarely more
// than a few hundred bytes.
constexpr DWORD WINDOWS_PATHS_ROOM = 16384;

struct RequestSettings {
  // Where the request's exchange file and uploads go, ending in a separator: the host's, else the
  // server's temporary directory (GetServerTempPath: TMPDIR, or the server user's private directory
  // inside it when it is shared). The environment has no say: elsewhere the system's is the one.
  CHAR szTempDirectory[MAX_PATH];
  // Where the request's upload directory goes instead, ending in a separator: the host's setting
  // only ("" when it gives none: beside the exchange file). Exchange files are small and many, best
  // kept in memory; uploads may be large, best kept on disk.
  CHAR szUploadRoot[MAX_PATH];
  // The only directory whose programs run: the host's, else KARVEL_BACKEND_DIR from the
  // environment, else the directory of the module that holds the extension.
  CHAR szBackendDirectory[MAX_PATH];
  int32_t nMaxFields;       // DEFAULT_MAX_FIELDS unless the site gives a count
  // How long to wait for the answer, in milliseconds; -1: until the third minute change. The host
  // gives it as "1500ms"; a number alone (an environment's setting) is seconds.
  int64_t nBackendTimeoutMs;
  // The encoding the request's form declares before its fields are read: the charset parameter of
  // its Content-Type, else the site's (auto, UTF-8, Shift_JIS, EUC-JP, ISO-2022-JP), else none
  // (kCharsetAuto). A `_charset_` field in the form wins over both.
  FormCharset formCharset;
  // The Wine prefix the host runs the site's Windows programs in; empty when it runs none there
  // (no such host, KarvelWine off, or Wine missing).
  CHAR szWinePrefix[MAX_PATH];
  // The site's Windows directories, lines "C:\apps|/srv/karvel/backends", in a heap block of
  // WINDOWS_PATHS_ROOM bytes the record owns ("" when there are none); null before the read.
  CHAR* pWindowsPaths;
  // Error pages go with statuses that say what failed (KARVEL_ERROR_STATUS "http"), not 200.
  bool bHttpErrorStatus;
  // Where the debug-copy build leaves its copies, ending in a separator: the host's setting only
  // ("" when it gives none: beside the program). A setting the host has but cannot hand over
  // (bDebugCopyUnreadable) makes no copy anywhere else; the request goes on, the copy being a help.
  CHAR szDebugCopyDirectory[MAX_PATH];
  bool bDebugCopyUnreadable;
};

// Reads every setting of the request into `settings`. Returns null, or the error page's text when a
// setting the host gives cannot be read or does not fit the room kept for it (ERROR_TEXT_EXE_LOAD for
// the back-end directory, the Wine prefix and the Windows directories, ERROR_TEXT_TEMP_OPEN for the
// temporary and the upload directory): the request then refuses, since a default or the environment in the
// site's place would run its program by rules that are not its site's. Only a setting the host
// does not give at all (or gives empty) is taken from the environment or the default. In either
// case the record is to be released with ReleaseRequestSettings.
LPCSTR ReadRequestSettings(EXTENSION_CONTROL_BLOCK* ecb, RequestSettings* settings);

// Frees what the record holds (the Windows directories' block); the record may be released again.
void ReleaseRequestSettings(RequestSettings* settings);

#endif  // KARVEL_GATEWAY_REQUEST_SETTINGS_H
