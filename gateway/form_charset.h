// The encoding a form declares for its values: the `_charset_` field browsers fill in, the host's
// setting for the site (KarvelFormCharset) or the charset parameter of the request's Content-Type.
// Without a declaration the converter's detection decides, as it always did.
#ifndef KARVEL_GATEWAY_FORM_CHARSET_H
#define KARVEL_GATEWAY_FORM_CHARSET_H

#include <cstddef>
#include <cstdint>

enum FormCharset {
  kCharsetAuto,       // ConvertToSjis2's detection
  kCharsetUtf8,       // converted as code page 932 encodes Unicode
  kCharsetShiftJis,   // taken as it is
  kCharsetEucJp,      // converted from EUC-JP, no detection
  kCharsetIso2022Jp,  // converted from JIS, no detection
};

// The charset `label` names (`length` bytes; the Encoding Standard's labels of these encodings,
// without regard to ASCII case, blanks around it ignored; "auto" for kCharsetAuto). False for
// anything else.
bool FormCharsetNamed(const char* label, size_t length, FormCharset* charset);

// Whether a field named `name` (NUL-terminated) with `length` bytes of `value` declares the form's
// encoding, as browsers fill in a `_charset_` field (its name without regard to ASCII case, its value
// naming a charset FormCharsetNamed knows); the charset to *charset.
bool FieldDeclaresCharset(const char* name, const char* value, int32_t length, FormCharset* charset);

// The charset parameter of a Content-Type value ("multipart/form-data; boundary=x; charset=UTF-8"),
// when it names one of these; else kCharsetAuto.
FormCharset ContentTypeCharset(const char* contentType);

// The most bytes ConvertDeclaredValue writes for `length` bytes of value: from UTF-8 a two-byte
// character without a mapping becomes a seven-byte reference; and a NUL behind.
constexpr size_t DeclaredValueRoom(size_t length) { return length * 4 + 2; }

// Converts `length` bytes of value declared in `charset` (not kCharsetAuto) to Shift-JIS into `out`
// (DeclaredValueRoom(length) bytes); returns the bytes written. NUL bytes of a value stay.
size_t ConvertDeclaredValue(FormCharset charset, const char* value, size_t length, char* out);

#endif  // KARVEL_GATEWAY_FORM_CHARSET_H
