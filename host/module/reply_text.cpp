#include "host/module/reply_text.h"

#include <cstddef>
#include <cstring>
#include <strings.h>

namespace {
// Field names are tokens: visible ASCII without the separators.
bool IsTokenByte(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u > 0x20 && u < 0x7F && std::strchr("()<>@,;:\\\"/[]?={}", u) == nullptr;
}

// A byte that could end a line for some reader, or is no text: it goes out as a blank.
char ValueByte(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (u < 0x20 && u != '\t') || u == 0x7F ? ' ' : c;
}

// The physical line at `at`: its text ends at *textEnd (before CR LF or LF), the next line begins
// at *next.
void PhysicalLine(const char* at, const char* end, const char** textEnd, const char** next) {
  const char* newline = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
  const char* stop = newline != nullptr ? newline : end;
  *next = newline != nullptr ? newline + 1 : end;
  if (stop > at && stop[-1] == '\r') --stop;
  *textEnd = stop;
}

// Appends [from, to) to the line being built, each byte as ValueByte makes it; false when it does
// not fit within `room` bytes.
bool AppendClean(char* buffer, int* length, int room, const char* from, const char* to) {
  if (to - from > room - *length) return false;
  for (; from < to; ++from) buffer[(*length)++] = ValueByte(*from);
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

int NextHeaderLine(char* buffer, int size, void* data) {
  auto* cursor = static_cast<HeaderCursor*>(data);
  if (size <= 2 || cursor->bUnusable) return 0;
  if (cursor->pNext >= cursor->pEnd) {
    if (cursor->bEndGiven) return 0;
    cursor->bEndGiven = true;
    buffer[0] = '\0';
    return 1;
  }
  const char* at = cursor->pNext;
  const char* textEnd = nullptr;
  const char* next = nullptr;
  PhysicalLine(at, cursor->pEnd, &textEnd, &next);
  if (textEnd == at) {  // the empty line: the block ends here
    cursor->pNext = next;
    cursor->bEndGiven = true;
    buffer[0] = '\n';
    buffer[1] = '\0';
    return 1;
  }
  const char* name = at;
  while (name < textEnd && IsTokenByte(*name)) ++name;
  const int room = size - 2;  // the LF and the NUL follow
  int length = 0;
  bool fits = name > at && name < textEnd && *name == ':' && AppendClean(buffer, &length, room, at, textEnd);
  cursor->pNext = next;
  // Folded lines continue the header: joined with one blank, as a reader of obs-fold must.
  while (fits && cursor->pNext < cursor->pEnd && IsBlank(*cursor->pNext)) {
    PhysicalLine(cursor->pNext, cursor->pEnd, &textEnd, &next);
    const char* from = cursor->pNext;
    while (from < textEnd && IsBlank(*from)) ++from;
    if (from < textEnd) {
      const char blank = ' ';
      fits = AppendClean(buffer, &length, room, &blank, &blank + 1) && AppendClean(buffer, &length, room, from, textEnd);
    }
    cursor->pNext = next;
  }
  if (!fits) {
    cursor->bUnusable = true;
    return 0;
  }
  // The line's own LF, where it had one, for Apache to strip.
  if (cursor->pNext[-1] == '\n') buffer[length++] = '\n';
  buffer[length] = '\0';
  return 1;
}

namespace {
const char* const kFramingHeaders[] = {"Content-Length", "Transfer-Encoding", "Connection", "Keep-Alive",
                                       "Proxy-Connection", "TE", "Trailer", "Upgrade"};
}  // namespace

bool IsFramingHeader(const char* name) {
  if (name == nullptr) return false;
  for (const char* framing : kFramingHeaders) {
    if (strcasecmp(name, framing) == 0) return true;
  }
  return false;
}

const char* FramingHeaderName(int k) {
  const int count = static_cast<int>(sizeof kFramingHeaders / sizeof kFramingHeaders[0]);
  return k >= 0 && k < count ? kFramingHeaders[k] : nullptr;
}

bool UsableStatusText(const char* status) {
  if (status == nullptr) return false;
  for (const char* p = status; *p != '\0'; ++p) {
    if (ValueByte(*p) != *p) return false;
  }
  return true;
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
