#include "gateway/form_charset.h"

#include <cstring>

#include "gateway/ascii_fold.h"
#include "isapi/httpext.h"
#include "jpcodec/converters.h"

namespace {

struct Label {
  const char* szName;
  FormCharset charset;
};

// The Encoding Standard's labels of the four encodings a Japanese form may be sent in.
constexpr Label kLabels[] = {
    {"auto", kCharsetAuto},
    {"utf-8", kCharsetUtf8}, {"utf8", kCharsetUtf8}, {"unicode-1-1-utf-8", kCharsetUtf8},
    {"unicode11utf8", kCharsetUtf8}, {"unicode20utf8", kCharsetUtf8}, {"x-unicode20utf8", kCharsetUtf8},
    {"shift_jis", kCharsetShiftJis}, {"csshiftjis", kCharsetShiftJis}, {"ms932", kCharsetShiftJis},
    {"ms_kanji", kCharsetShiftJis}, {"shift-jis", kCharsetShiftJis}, {"sjis", kCharsetShiftJis},
    {"windows-31j", kCharsetShiftJis}, {"x-sjis", kCharsetShiftJis},
    {"euc-jp", kCharsetEucJp}, {"cseucpkdfmtjapanese", kCharsetEucJp}, {"x-euc-jp", kCharsetEucJp},
    {"iso-2022-jp", kCharsetIso2022Jp}, {"csiso2022jp", kCharsetIso2022Jp},
};

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

// Whether `text` begins with the lower-case `word`, without regard to ASCII case.
bool BeginsWith(const char* text, const char* word) {
  for (; *word != '\0'; ++text, ++word) {
    if (AsciiLower(*text) != *word) return false;
  }
  return true;
}

}  // namespace

bool FormCharsetNamed(const char* label, size_t length, FormCharset* charset) {
  while (length > 0 && Blank(*label)) {
    ++label;
    --length;
  }
  while (length > 0 && Blank(label[length - 1])) --length;
  for (const Label& known : kLabels) {
    if (std::strlen(known.szName) != length) continue;
    size_t k = 0;
    while (k < length && AsciiLower(label[k]) == known.szName[k]) ++k;
    if (k == length) {
      *charset = known.charset;
      return true;
    }
  }
  return false;
}

bool FieldDeclaresCharset(const char* name, const char* value, int32_t length, FormCharset* charset) {
  return lstrcmpiA(name, "_charset_") == 0 && FormCharsetNamed(value, static_cast<size_t>(length), charset);
}

FormCharset ContentTypeCharset(const char* contentType) {
  if (contentType == nullptr) return kCharsetAuto;
  // Each parameter after a ';': name=value, the value perhaps quoted.
  for (const char* at = std::strchr(contentType, ';'); at != nullptr; at = std::strchr(at + 1, ';')) {
    const char* name = at + 1;
    while (Blank(*name)) ++name;
    if (!BeginsWith(name, "charset")) continue;
    const char* value = name + 7;
    while (Blank(*value)) ++value;
    if (*value != '=') continue;
    ++value;
    while (Blank(*value)) ++value;
    const bool quoted = *value == '"';
    if (quoted) ++value;
    size_t length = 0;
    while (value[length] != '\0' && value[length] != ';' && !(quoted && value[length] == '"')) ++length;
    FormCharset charset = kCharsetAuto;
    return FormCharsetNamed(value, length, &charset) ? charset : kCharsetAuto;
  }
  return kCharsetAuto;
}

static_assert(DeclaredValueRoom(1) >= jpcodec::Utf8ToSjisRoom(1) + 1, "room for the UTF-8 converter and a NUL");

size_t ConvertDeclaredValue(FormCharset charset, const char* value, size_t length, char* out) {
  switch (charset) {
    case kCharsetUtf8:
      return jpcodec::ConvertUtf8ToSjis(reinterpret_cast<const uint8_t*>(value), length, reinterpret_cast<uint8_t*>(out));
    case kCharsetEucJp:
    case kCharsetIso2022Jp: {
      // The converters work in place on a NUL-terminated text, which shrinks or keeps its size
      // (JIS text that would grow is cut at a character): a value's NUL bytes end it there.
      std::memcpy(out, value, length);
      out[length] = '\0';
      const unsigned long converted = jpcodec::ConvertTextAs(
          out, static_cast<unsigned long>(length + 1), charset == kCharsetEucJp ? jpcodec::kEucJp : jpcodec::kJis);
      return converted <= length ? static_cast<size_t>(converted) : length;
    }
    default:
      std::memcpy(out, value, length);
      return length;
  }
}
