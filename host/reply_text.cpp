#include "host/reply_text.h"

#include <cstddef>
#include <cstring>

int NextHeaderLine(char* buffer, int size, void* data) {
  auto* cursor = static_cast<HeaderCursor*>(data);
  if (size <= 1) return 0;
  if (cursor->pNext >= cursor->pEnd) {
    if (cursor->bEndGiven) return 0;
    cursor->bEndGiven = true;
    buffer[0] = '\0';
    return 1;
  }
  int length = 0;
  while (cursor->pNext < cursor->pEnd && length < size - 1) {
    const char c = *cursor->pNext++;
    buffer[length++] = c;
    if (c == '\n') break;
  }
  buffer[length] = '\0';
  return 1;
}

bool StartsWithHeaderBlock(const char* text, const char* end) {
  if (text < end && (*text == '\n' || (*text == '\r' && text + 1 < end && text[1] == '\n'))) return true;
  const char* p = text;
  while (p < end && *p != ':') {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c <= 0x20 || c >= 0x7F || std::strchr("()<>@,;\\\"/[]?={}", c) != nullptr) return false;
    ++p;
  }
  return p < end && p > text;
}

namespace {
// The code of "NNN" followed by `after`, which must be the end or a blank; else 0.
int StatusCode(const char* digits, const char* end) {
  if (end - digits < 3) return 0;
  for (int i = 0; i < 3; ++i) {
    if (digits[i] < '0' || digits[i] > '9') return 0;
  }
  if (end - digits > 3 && digits[3] != ' ') return 0;
  const int code = (digits[0] - '0') * 100 + (digits[1] - '0') * 10 + (digits[2] - '0');
  return code >= 200 && code <= 599 ? code : 0;
}
}  // namespace

int ParseStatus(const char* status) {
  if (status == nullptr) return 200;
  return StatusCode(status, status + strnlen(status, 4));
}

bool FindStatusLine(const char* text, const char* end, const char** status, const char** statusEnd,
                    const char** lineEnd) {
  const char* newline = static_cast<const char*>(std::memchr(text, '\n', static_cast<size_t>(end - text)));
  if (newline == nullptr) return false;
  const char* space = static_cast<const char*>(std::memchr(text, ' ', static_cast<size_t>(newline - text)));
  if (space == nullptr) return false;
  const char* stop = (newline > space && newline[-1] == '\r') ? newline - 1 : newline;
  if (StatusCode(space + 1, stop) == 0) return false;
  *status = space + 1;
  *statusEnd = stop;
  *lineEnd = newline + 1;
  return true;
}

bool UsableUrl(const char* url) {
  if (url == nullptr || *url == '\0') return false;
  for (const char* p = url; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}
