#include "gateway/request_settings.h"

#include <cstdlib>
#include <cstring>

#include "gateway/error_page.h"
#include "isapi/karvel_host.h"
#include "platform/program_path.h"
#include "platform/request_files.h"

namespace {

constexpr int kDigitsLimit = 9;  // below 2^31 whatever the digits

// A whole number of at most kDigitsLimit digits, else -1.
int32_t ParseCount(const char* text) {
  if (text == nullptr || text[0] == '\0') return -1;
  int32_t value = 0;
  for (int k = 0; text[k] != '\0'; ++k) {
    if (k == kDigitsLimit || text[k] < '0' || text[k] > '9') return -1;
    value = value * 10 + (text[k] - '0');
  }
  return value;
}

// A time-out: a whole number of at most kDigitsLimit digits, seconds, or milliseconds where "ms"
// follows it; in milliseconds, else -1.
int64_t ParseTimeoutMs(const char* text) {
  if (text == nullptr) return -1;
  const size_t length = std::strspn(text, "0123456789");
  if (length == 0 || length > kDigitsLimit) return -1;
  CHAR digits[kDigitsLimit + 1];
  std::memcpy(digits, text, length);
  digits[length] = '\0';
  const int32_t count = ParseCount(digits);
  if (text[length] == '\0') return static_cast<int64_t>(count) * 1000;
  return lstrcmpA(text + length, "ms") == 0 ? count : -1;
}

// What the host says of a setting: it gives none (IIS, or the site does not set it), it gives this
// value, or it has one that cannot be read into the room the extension keeps for it (too long, or
// the call failed otherwise). The last must never count as none: a default would stand in for the
// site's own setting (another back-end directory, another temporary directory).
enum HostSetting { kHostGivesNone, kHostGivesValue, kHostGivesUnreadable };

HostSetting ReadHostSetting(EXTENSION_CONTROL_BLOCK* ecb, const char* name, CHAR* buffer, DWORD size) {
  buffer[0] = '\0';
  if (ecb == nullptr || ecb->GetServerVariable == nullptr) return kHostGivesNone;
  CHAR variable[64];
  lstrcpyA(variable, name);
  DWORD room = size;
  SetLastError(ERROR_SUCCESS);
  if (ecb->GetServerVariable(ecb->ConnID, variable, buffer, &room)) {
    // A value that fills the room to its last byte without ending did not fit either.
    if (room > size || strnlen(buffer, size) == size) return kHostGivesUnreadable;
    return buffer[0] != '\0' ? kHostGivesValue : kHostGivesNone;
  }
  // A host reports a value too long by the size it needs, or by ERROR_INSUFFICIENT_BUFFER; a name it
  // does not have by ERROR_INVALID_INDEX (or, as a host of ours on Linux, by no code of ours at all).
  const DWORD error = GetLastError();
  buffer[0] = '\0';
  if (room > size || error == ERROR_INSUFFICIENT_BUFFER) return kHostGivesUnreadable;
  return error == ERROR_SUCCESS || error == ERROR_INVALID_INDEX || error == ERROR_NO_DATA ? kHostGivesNone
                                                                                          : kHostGivesUnreadable;
}

// The setting `name` as text: the host's server variable, else the environment; null when neither
// (an empty value counts as none), and null with *unreadable set when the host has one that cannot
// be read: then neither the environment nor a default may stand in for it.
const char* SettingText(EXTENSION_CONTROL_BLOCK* ecb, const char* name, CHAR* buffer, DWORD size,
                        bool* unreadable = nullptr) {
  if (unreadable != nullptr) *unreadable = false;
  switch (ReadHostSetting(ecb, name, buffer, size)) {
    case kHostGivesValue: return buffer;
    case kHostGivesUnreadable:
      if (unreadable != nullptr) *unreadable = true;
      return nullptr;
    case kHostGivesNone: break;
  }
  const char* environment = std::getenv(name);
  return environment != nullptr && environment[0] != '\0' ? environment : nullptr;
}

// Copies `text` into `out` (MAX_PATH bytes), with a separator behind it when `separated`; FALSE
// when it does not fit.
BOOL CopyDirectory(const char* text, bool separated, CHAR out[MAX_PATH]) {
  size_t length = std::strlen(text);
  const bool add = separated && (length == 0 || !IsPathSeparator(text[length - 1]));
  if (length + (add ? 1 : 0) + 1 > MAX_PATH) return FALSE;
  std::memcpy(out, text, length);
  if (add) out[length++] = KARVEL_PATH_SEPARATOR;
  out[length] = '\0';
  return TRUE;
}

// The back-end directory: the setting, else the module's own directory. False when the host's
// cannot be read, or the one told does not fit.
bool ReadBackendDirectory(EXTENSION_CONTROL_BLOCK* ecb, CHAR directory[MAX_PATH]) {
  CHAR text[MAX_PATH + 1];
  bool unreadable = false;
  const char* configured = SettingText(ecb, KARVEL_SETTING_BACKEND_DIR, text, sizeof text, &unreadable);
  if (unreadable) return false;
  if (configured != nullptr) return CopyDirectory(configured, false, directory) != FALSE;
  return GetModuleDirectoryA(reinterpret_cast<const void*>(&ReadRequestSettings), directory, MAX_PATH) != FALSE;
}

// The Wine prefix, "" when there is none; false when the host's cannot be read or it does not fit.
bool ReadWinePrefix(EXTENSION_CONTROL_BLOCK* ecb, CHAR prefix[MAX_PATH]) {
  CHAR text[MAX_PATH + 1];
  bool unreadable = false;
  const char* configured = SettingText(ecb, KARVEL_SETTING_WINE_PREFIX, text, sizeof text, &unreadable);
  prefix[0] = '\0';
  if (unreadable) return false;
  return configured == nullptr || CopyDirectory(configured, false, prefix) != FALSE;
}

// The Windows directories into `table` (WINDOWS_PATHS_ROOM bytes), "" when there are none; false
// when the host's cannot be read or they do not fit.
bool ReadWindowsPaths(EXTENSION_CONTROL_BLOCK* ecb, CHAR* table) {
  bool unreadable = false;
  const char* configured = SettingText(ecb, KARVEL_SETTING_WINDOWS_PATHS, table, WINDOWS_PATHS_ROOM, &unreadable);
  if (unreadable || (configured != nullptr && std::strlen(configured) + 1 > WINDOWS_PATHS_ROOM)) {
    table[0] = '\0';
    return false;
  }
  if (configured == nullptr) {
    table[0] = '\0';
  } else if (configured != table) {
    lstrcpyA(table, configured);
  }
  return true;
}

// The temporary directory: the host's setting only, else the server's.
bool ReadTempDirectory(EXTENSION_CONTROL_BLOCK* ecb, CHAR directory[MAX_PATH]) {
  CHAR text[MAX_PATH + 1];
  switch (ReadHostSetting(ecb, KARVEL_SETTING_TEMP_DIR, text, sizeof text)) {
    case kHostGivesValue: return CopyDirectory(text, true, directory) != FALSE;
    case kHostGivesUnreadable: return false;
    case kHostGivesNone: break;
  }
  return GetServerTempPath(directory) != FALSE;
}

// A directory only the host's setting gives (the uploads' own, the debug copies'): "" when it gives
// none; false when it has one that cannot be read or does not fit.
bool ReadSettingDirectory(EXTENSION_CONTROL_BLOCK* ecb, const char* name, CHAR directory[MAX_PATH]) {
  CHAR text[MAX_PATH + 1];
  directory[0] = '\0';
  switch (ReadHostSetting(ecb, name, text, sizeof text)) {
    case kHostGivesValue:
      if (CopyDirectory(text, true, directory)) return true;
      directory[0] = '\0';
      return false;
    case kHostGivesUnreadable: return false;
    case kHostGivesNone: break;
  }
  return true;
}

// A count the site gives, else `otherwise` (numbers are typed by the host: text that is none
// counts as not given). False when the host has one that cannot be read: the default must not
// stand in for it.
bool ReadCount(EXTENSION_CONTROL_BLOCK* ecb, const char* name, int32_t otherwise, int32_t* count) {
  CHAR text[32];
  bool unreadable = false;
  const int32_t configured = ParseCount(SettingText(ecb, name, text, sizeof text, &unreadable));
  *count = configured >= 0 ? configured : otherwise;
  return !unreadable;
}

// The time-out the site gives (ParseTimeoutMs), else -1; false as ReadCount.
bool ReadTimeout(EXTENSION_CONTROL_BLOCK* ecb, int64_t* milliseconds) {
  CHAR text[32];
  bool unreadable = false;
  *milliseconds = ParseTimeoutMs(SettingText(ecb, KARVEL_SETTING_BACKEND_TIMEOUT, text, sizeof text, &unreadable));
  return !unreadable;
}

FormCharset ReadFormCharset(EXTENSION_CONTROL_BLOCK* ecb) {
  const FormCharset requested = ContentTypeCharset(ecb != nullptr ? ecb->lpszContentType : nullptr);
  if (requested != kCharsetAuto) return requested;
  CHAR text[64];
  const char* configured = SettingText(ecb, KARVEL_SETTING_FORM_CHARSET, text, sizeof text);
  FormCharset charset = kCharsetAuto;
  return configured != nullptr && FormCharsetNamed(configured, std::strlen(configured), &charset) ? charset
                                                                                                  : kCharsetAuto;
}

// KarvelErrorStatus http: pages with statuses that say what failed. Anything else, or nothing,
// keeps the statuses error pages always had.
bool ReadHttpErrorStatus(EXTENSION_CONTROL_BLOCK* ecb) {
  CHAR text[16];
  const char* configured = SettingText(ecb, KARVEL_SETTING_ERROR_STATUS, text, sizeof text);
  return configured != nullptr && lstrcmpiA(configured, "http") == 0;
}

}  // namespace

LPCSTR ReadRequestSettings(EXTENSION_CONTROL_BLOCK* ecb, RequestSettings* settings) {
  // First: a refusal for a setting that cannot be read goes with the site's statuses too.
  settings->bHttpErrorStatus = ReadHttpErrorStatus(ecb);
  settings->szTempDirectory[0] = '\0';
  settings->szUploadRoot[0] = '\0';
  settings->szBackendDirectory[0] = '\0';
  settings->szWinePrefix[0] = '\0';
  settings->bDebugCopyUnreadable = !ReadSettingDirectory(ecb, KARVEL_SETTING_DEBUG_COPY_DIR, settings->szDebugCopyDirectory);
  const bool counted = ReadCount(ecb, KARVEL_SETTING_MAX_FIELDS, DEFAULT_MAX_FIELDS, &settings->nMaxFields) &&
                       ReadTimeout(ecb, &settings->nBackendTimeoutMs);
  settings->formCharset = ReadFormCharset(ecb);
  settings->pWindowsPaths = static_cast<CHAR*>(HeapAlloc(GetProcessHeap(), 0, WINDOWS_PATHS_ROOM));
  // A field cap or a time-out the host has but cannot hand over: the request would run by limits
  // that are not its site's.
  if (!counted) return ERROR_TEXT_EXE_LOAD;
  // The program's directory, and where and how a Windows program is run: a request without them
  // would run its program by rules that are not its site's.
  if (!ReadBackendDirectory(ecb, settings->szBackendDirectory)) {
    settings->szBackendDirectory[0] = '\0';
    return ERROR_TEXT_EXE_LOAD;
  }
  if (settings->pWindowsPaths == nullptr || !ReadWinePrefix(ecb, settings->szWinePrefix) ||
      !ReadWindowsPaths(ecb, settings->pWindowsPaths)) {
    return ERROR_TEXT_EXE_LOAD;
  }
  // Where its files go: the system's temporary directory must not stand in for the site's.
  if (!ReadTempDirectory(ecb, settings->szTempDirectory)) {
    settings->szTempDirectory[0] = '\0';
    return ERROR_TEXT_TEMP_OPEN;
  }
  // Nor the exchange file's directory for the site's upload directory: a 1 GB upload would go
  // where the site keeps it from (memory).
  if (!ReadSettingDirectory(ecb, KARVEL_SETTING_UPLOAD_DIR, settings->szUploadRoot)) return ERROR_TEXT_TEMP_OPEN;
  return nullptr;
}

void ReleaseRequestSettings(RequestSettings* settings) {
  if (settings->pWindowsPaths != nullptr) HeapFree(GetProcessHeap(), 0, settings->pWindowsPaths);
  settings->pWindowsPaths = nullptr;
}
