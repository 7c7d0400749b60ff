#include "host/module/time_spelling.h"

#include <cstring>

namespace {

// The units as written, and as httpd reads them.
struct TimeUnit {
  const char* written;
  const char* apache;
};
constexpr TimeUnit kUnits[] = {{"", ""}, {"ms", "ms"}, {"s", "s"}, {"mi", "mi"}, {"m", "mi"}, {"h", "h"}};

}  // namespace

bool ApacheTimeSpelling(const char* text, char* spelled, size_t room) {
  if (text == nullptr || spelled == nullptr || room == 0) return false;
  size_t digits = 0;
  while (text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > kTimeDigitsLimit) return false;
  const char* unit = text + digits;
  for (const TimeUnit& known : kUnits) {
    if (std::strcmp(unit, known.written) != 0) continue;
    if (digits + std::strlen(known.apache) + 1 > room) return false;
    std::memcpy(spelled, text, digits);
    std::strcpy(spelled + digits, known.apache);
    return true;
  }
  return false;
}
