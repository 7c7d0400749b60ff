// The lstr* string functions: byte strings with NULL treated as the empty string.
#include <cstring>

#include "platform/win32.h"

namespace {

const unsigned char* Bytes(LPCSTR s) {
  return reinterpret_cast<const unsigned char*>(s != nullptr ? s : "");
}

// Only ASCII letters fold: bytes above 0x7F belong to a code page this layer does not know.
unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

int Sign(int difference) { return (difference > 0) - (difference < 0); }

}  // namespace

int lstrlenA(LPCSTR s) { return s != nullptr ? static_cast<int>(std::strlen(s)) : 0; }

int lstrcmpA(LPCSTR a, LPCSTR b) {
  const unsigned char* x = Bytes(a);
  const unsigned char* y = Bytes(b);
  while (*x != '\0' && *x == *y) {
    ++x;
    ++y;
  }
  return Sign(static_cast<int>(*x) - static_cast<int>(*y));
}

int lstrcmpiA(LPCSTR a, LPCSTR b) {
  const unsigned char* x = Bytes(a);
  const unsigned char* y = Bytes(b);
  while (*x != '\0' && FoldAscii(*x) == FoldAscii(*y)) {
    ++x;
    ++y;
  }
  return Sign(static_cast<int>(FoldAscii(*x)) - static_cast<int>(FoldAscii(*y)));
}

LPSTR lstrcpyA(LPSTR to, LPCSTR from) {
  if (to == nullptr) return nullptr;
  const char* source = from != nullptr ? from : "";
  std::memmove(to, source, std::strlen(source) + 1);
  return to;
}

LPSTR lstrcatA(LPSTR to, LPCSTR from) {
  if (to == nullptr) return nullptr;
  lstrcpyA(to + std::strlen(to), from);
  return to;
}
