#include "gateway/request_settings.h"

#include <cstdlib>
#include <cstring>

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

// The setting `name` as text: the host's server variable, else the environment; null when neither
// (an empty value counts as none).
const char* SettingText(EXTENSION_CONTROL_BLOCK* ecb, const char* name, CHAR* buffer, DWORD size) {
  CHAR variable[64];
  lstrcpyA(variable, name);
  DWORD room = size;
  if (ecb != nullptr && ecb->GetServerVariable != nullptr &&
      ecb->GetServerVariable(ecb->ConnID, variable, buffer, &room) && buffer[0] != '\0') {
    buffer[size - 1] = '\0';
    return buffer;
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

}  // namespace

int32_t MaxFieldsFor(EXTENSION_CONTROL_BLOCK* ecb) {
  CHAR text[32];
  const int32_t configured = ParseCount(SettingText(ecb, "KARVEL_MAX_FIELDS", text, sizeof text));
  return configured >= 0 ? configured : DEFAULT_MAX_FIELDS;
}

BOOL BackendDirectoryFor(EXTENSION_CONTROL_BLOCK* ecb, CHAR directory[MAX_PATH]) {
  CHAR text[MAX_PATH + 1];
  const char* configured = SettingText(ecb, "KARVEL_BACKEND_DIR", text, sizeof text);
  if (configured != nullptr) return CopyDirectory(configured, false, directory);
  return GetModuleDirectoryA(reinterpret_cast<const void*>(&BackendDirectoryFor), directory, MAX_PATH);
}

BOOL TempDirectoryFor(EXTENSION_CONTROL_BLOCK* ecb, CHAR directory[MAX_PATH]) {
  CHAR text[MAX_PATH + 1];
  DWORD room = sizeof text;
  CHAR variable[] = "KARVEL_TEMP_DIR";
  // The host's setting only: elsewhere the system's temporary directory is the one.
  if (ecb != nullptr && ecb->GetServerVariable != nullptr && ecb->GetServerVariable(ecb->ConnID, variable, text, &room) &&
      text[0] != '\0') {
    text[MAX_PATH] = '\0';
    return CopyDirectory(text, true, directory);
  }
  return GetServerTempPath(directory);
}

int32_t BackendTimeoutFor(EXTENSION_CONTROL_BLOCK* ecb) {
  CHAR text[32];
  return ParseCount(SettingText(ecb, "KARVEL_BACKEND_TIMEOUT", text, sizeof text));
}

FormCharset FormCharsetFor(EXTENSION_CONTROL_BLOCK* ecb) {
  const FormCharset requested = ContentTypeCharset(ecb != nullptr ? ecb->lpszContentType : nullptr);
  if (requested != kCharsetAuto) return requested;
  CHAR text[64];
  const char* configured = SettingText(ecb, "KARVEL_FORM_CHARSET", text, sizeof text);
  FormCharset charset = kCharsetAuto;
  return configured != nullptr && FormCharsetNamed(configured, std::strlen(configured), &charset) ? charset
                                                                                                  : kCharsetAuto;
}

BOOL WinePrefixFor(EXTENSION_CONTROL_BLOCK* ecb, CHAR prefix[MAX_PATH]) {
  CHAR text[MAX_PATH + 1];
  const char* configured = SettingText(ecb, "KARVEL_WINE_PREFIX", text, sizeof text);
  return configured != nullptr && CopyDirectory(configured, false, prefix);
}

BOOL WindowsPathsFor(EXTENSION_CONTROL_BLOCK* ecb, CHAR* table, DWORD size) {
  const char* configured = SettingText(ecb, "KARVEL_WINDOWS_PATHS", table, size);
  if (configured == nullptr || std::strlen(configured) + 1 > size) return FALSE;
  if (configured != table) lstrcpyA(table, configured);
  return TRUE;
}
