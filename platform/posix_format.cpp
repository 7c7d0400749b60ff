// wsprintfA / wvsprintfA with the Windows rules, not the C library's.
//
// The differences matter: Win32 code passes DWORD and LONG with %lu / %ld, 32-bit values, while
// long is 64 bits on LP64, so vsnprintf would read the wrong width. The output is bounded to
// WSPRINTF_LIMIT bytes like the Windows function, which callers size their buffers for.
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "platform/win32.h"

namespace {

// Widths and precisions beyond the output bound change nothing; capping keeps the parse from
// overflowing on absurd digit strings.
constexpr size_t kMaxFieldNumber = WSPRINTF_LIMIT;

// Appends to the caller's buffer, silently dropping whatever would pass the bound.
struct Output {
  char* buffer;
  size_t used;
  size_t capacity;  // characters, the NUL excluded

  void Put(char c) {
    if (used < capacity) buffer[used++] = c;
  }
  void Repeat(char c, size_t count) {
    for (size_t i = 0; i < count && used < capacity; ++i) buffer[used++] = c;
  }
  void Append(const char* text, size_t length) {
    size_t room = capacity - used;
    if (length > room) length = room;
    std::memcpy(buffer + used, text, length);
    used += length;
  }
};

enum class ArgSize { kDefault, kShort, kLong, k64 };

struct FieldFormat {
  bool left = false;  // '-'
  bool zero = false;  // '0'
  bool alt = false;   // '#'
  size_t width = 0;
  bool hasPrecision = false;
  size_t precision = 0;
  ArgSize size = ArgSize::kDefault;
};

size_t ParseNumber(const char** at) {
  size_t value = 0;
  while (**at >= '0' && **at <= '9') {
    value = value * 10 + static_cast<size_t>(**at - '0');
    if (value > kMaxFieldNumber) value = kMaxFieldNumber;
    ++*at;
  }
  return value;
}

void PadAround(Output* out, const FieldFormat& field, size_t length, const char* text) {
  size_t padding = field.width > length ? field.width - length : 0;
  if (!field.left) out->Repeat(' ', padding);
  out->Append(text, length);
  if (field.left) out->Repeat(' ', padding);
}

// Integers: sign or 0x prefix, then at least `precision` digits, within `width`.
void PutInteger(Output* out, const FieldFormat& field, uint64_t magnitude, bool negative, unsigned base,
                bool upper) {
  const char* digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[24];
  size_t count = 0;
  // As in C, an explicit precision of 0 prints nothing for the value 0.
  if (!(field.hasPrecision && field.precision == 0 && magnitude == 0)) {
    do {
      digits[count++] = digitSet[magnitude % base];
      magnitude /= base;
    } while (magnitude != 0);
  }
  char prefix[2];
  size_t prefixLength = 0;
  if (negative) {
    prefix[prefixLength++] = '-';
  } else if (field.alt && base == 16 && count > 0 && !(count == 1 && digits[0] == '0')) {
    prefix[prefixLength++] = '0';
    prefix[prefixLength++] = upper ? 'X' : 'x';
  }
  size_t zeros = (field.hasPrecision && field.precision > count) ? field.precision - count : 0;
  size_t total = prefixLength + zeros + count;
  size_t padding = field.width > total ? field.width - total : 0;
  bool zeroPad = field.zero && !field.left && !field.hasPrecision;
  if (!field.left && !zeroPad) out->Repeat(' ', padding);
  out->Append(prefix, prefixLength);
  out->Repeat('0', zeros + (zeroPad ? padding : 0));
  while (count > 0) out->Put(digits[--count]);
  if (field.left) out->Repeat(' ', padding);
}

void PutSigned(Output* out, const FieldFormat& field, int64_t value) {
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  PutInteger(out, field, magnitude, value < 0, 10, false);
}

int64_t SignedArgument(va_list* args, ArgSize size) {
  switch (size) {
    case ArgSize::kShort:
      return static_cast<int16_t>(va_arg(*args, int));
    case ArgSize::k64:
      return va_arg(*args, int64_t);
    default:  // 'l' is 32 bits, as on Windows
      return va_arg(*args, int32_t);
  }
}

uint64_t UnsignedArgument(va_list* args, ArgSize size) {
  switch (size) {
    case ArgSize::kShort:
      return static_cast<uint16_t>(va_arg(*args, unsigned int));
    case ArgSize::k64:
      return va_arg(*args, uint64_t);
    default:
      return va_arg(*args, uint32_t);
  }
}

// Formats the field whose text starts at `percent` ('%'); returns where the format continues.
const char* FormatField(Output* out, const char* percent, va_list* args) {
  const char* at = percent + 1;
  FieldFormat field;
  for (;; ++at) {
    if (*at == '-') {
      field.left = true;
    } else if (*at == '0') {
      field.zero = true;
    } else if (*at == '#') {
      field.alt = true;
    } else {
      break;
    }
  }
  field.width = ParseNumber(&at);
  if (*at == '.') {
    ++at;
    field.hasPrecision = true;
    field.precision = ParseNumber(&at);
  }
  if (*at == 'l') {
    field.size = ArgSize::kLong;
    ++at;
  } else if (*at == 'h') {
    field.size = ArgSize::kShort;
    ++at;
  } else if (at[0] == 'I' && at[1] == '6' && at[2] == '4') {
    field.size = ArgSize::k64;
    at += 3;
  }

  switch (*at) {
    case '%':
      out->Put('%');
      return at + 1;
    case 'c':
    case 'C': {
      char c = static_cast<char>(va_arg(*args, int));
      PadAround(out, field, 1, &c);
      return at + 1;
    }
    case 's':
    case 'S': {
      const char* text = va_arg(*args, const char*);
      if (text == nullptr) text = "(null)";
      size_t length = field.hasPrecision ? strnlen(text, field.precision) : std::strlen(text);
      PadAround(out, field, length, text);
      return at + 1;
    }
    case 'd':
    case 'i':
      PutSigned(out, field, SignedArgument(args, field.size));
      return at + 1;
    case 'u':
      PutInteger(out, field, UnsignedArgument(args, field.size), false, 10, false);
      return at + 1;
    case 'x':
    case 'X':
      PutInteger(out, field, UnsignedArgument(args, field.size), false, 16, *at == 'X');
      return at + 1;
    case 'p': {
      // Windows prints a pointer as all its hex digits, uppercase.
      FieldFormat pointer = field;
      pointer.hasPrecision = true;
      pointer.precision = sizeof(void*) * 2;
      PutInteger(out, pointer, reinterpret_cast<uintptr_t>(va_arg(*args, void*)), false, 16, true);
      return at + 1;
    }
    default: {
      // Not a conversion: the text stands as written, and no argument is taken.
      const char* end = (*at != '\0') ? at + 1 : at;
      out->Append(percent, static_cast<size_t>(end - percent));
      return end;
    }
  }
}

}  // namespace

int wvsprintfA(LPSTR out, LPCSTR format, va_list args) {
  if (out == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Output output{out, 0, WSPRINTF_LIMIT - 1};
  if (format != nullptr) {
    va_list pending;
    va_copy(pending, args);
    const char* at = format;
    while (*at != '\0') {
      if (*at == '%') {
        at = FormatField(&output, at, &pending);
      } else {
        output.Put(*at++);
      }
    }
    va_end(pending);
  }
  out[output.used] = '\0';
  return static_cast<int>(output.used);
}

int wsprintfA(LPSTR out, LPCSTR format, ...) {
  va_list args;
  va_start(args, format);
  int count = wvsprintfA(out, format, args);
  va_end(args);
  return count;
}
