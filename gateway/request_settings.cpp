#include "gateway/request_settings.h"

#include <cstdlib>

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

// The setting `name` as text: the host's server variable, else the environment; null when neither.
const char* SettingText(EXTENSION_CONTROL_BLOCK* ecb, const char* name, CHAR* buffer, DWORD size) {
  CHAR variable[64];
  lstrcpyA(variable, name);
  DWORD room = size;
  if (ecb->GetServerVariable != nullptr && ecb->GetServerVariable(ecb->ConnID, variable, buffer, &room)) {
    buffer[size - 1] = '\0';
    return buffer;
  }
  return std::getenv(name);
}

}  // namespace

int32_t MaxFieldsFor(EXTENSION_CONTROL_BLOCK* ecb) {
  CHAR text[32];
  const int32_t configured = ParseCount(SettingText(ecb, "KARVEL_MAX_FIELDS", text, sizeof text));
  return configured >= 0 ? configured : DEFAULT_MAX_FIELDS;
}
