#include "tools/run/form_body.h"

#include <cerrno>
#include <fstream>
#include <iconv.h>
#include <iterator>
#include <vector>

namespace {

// iconv's names for what browsers send: CP932 is their Shift_JIS (windows-31j), EUC-JP-MS their
// EUC-JP, both with NEC's row 13 (①, ㈱) and the vendor characters. ISO-2022-JP is made from the
// EUC-JP (see EucToJis): glibc's own lacks row 13.
const char* IconvName(SendCharset charset) {
  switch (charset) {
    case kSendShiftJis: return "CP932";
    case kSendEucJp:
    case kSendJis: return "EUC-JP-MS";
    case kSendUtf8: break;
  }
  return "UTF-8";
}

// ISO-2022-JP as browsers send it: ASCII, and JIS X 0208 (with row 13) after ESC $ B, back to
// ASCII at the end. What EUC-JP holds beyond that (half-width katakana, JIS X 0212) has no place
// in it: false.
bool EucToJis(const std::string& euc, std::string* jis) {
  jis->clear();
  bool twoByte = false;
  for (size_t k = 0; k < euc.size(); ++k) {
    const auto byte = static_cast<unsigned char>(euc[k]);
    if (byte < 0x80) {
      if (twoByte) *jis += "\x1B(B";
      twoByte = false;
      *jis += euc[k];
      continue;
    }
    if (byte < 0xA1 || k + 1 >= euc.size()) return false;  // 0x8E kana, 0x8F JIS X 0212
    if (!twoByte) *jis += "\x1B$B";
    twoByte = true;
    *jis += static_cast<char>(byte - 0x80);
    *jis += static_cast<char>(static_cast<unsigned char>(euc[++k]) - 0x80);
  }
  if (twoByte) *jis += "\x1B(B";
  return true;
}

bool ReadFileBytes(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// A name or file name inside a quoted multipart parameter, escaped as browsers escape it.
std::string QuotedPart(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '"') {
      out += "%22";
    } else if (c == '\r') {
      out += "%0D";
    } else if (c == '\n') {
      out += "%0A";
    } else {
      out += c;
    }
  }
  return out;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct SentField {
  std::string name;
  std::string value;     // converted text, or the upload's bytes
  std::string fileName;  // uploads only
  bool bUpload;
};

bool NamesProgram(const std::vector<FormArgument>& fields) {
  for (const FormArgument& field : fields) {
    if (field.name.compare(0, 5, "VCEXE") == 0 || field.name.compare(0, 5, "VBEXE") == 0) return true;
  }
  return false;
}

bool DeclaresCharset(const std::vector<FormArgument>& fields) {
  for (const FormArgument& field : fields) {
    if (field.name == "_charset_") return true;
  }
  return false;
}

bool ConvertField(const FormArgument& field, SendCharset charset, SentField* sent, std::string* error) {
  sent->bUpload = field.bUpload;
  if (!ConvertFromUtf8(field.name, charset, &sent->name, error)) return false;
  if (!field.bUpload) return ConvertFromUtf8(field.value, charset, &sent->value, error);
  if (!ConvertFromUtf8(BaseName(field.value), charset, &sent->fileName, error)) return false;
  if (ReadFileBytes(field.value, &sent->value)) return true;
  *error = "cannot read the upload " + field.value;
  return false;
}

bool AnyHolds(const std::vector<SentField>& fields, const std::string& boundary) {
  for (const SentField& field : fields) {
    if (field.name.find(boundary) != std::string::npos || field.value.find(boundary) != std::string::npos ||
        field.fileName.find(boundary) != std::string::npos) {
      return true;
    }
  }
  return false;
}

std::string Urlencoded(const std::vector<SentField>& fields) {
  std::string out;
  for (const SentField& field : fields) {
    if (!out.empty()) out += '&';
    out += UrlEncode(field.name) + "=" + UrlEncode(field.value);
  }
  return out;
}

std::string Multipart(const std::vector<SentField>& fields, const std::string& boundary) {
  std::string out;
  for (const SentField& field : fields) {
    out += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + QuotedPart(field.name) + "\"";
    if (field.bUpload) out += "; filename=\"" + QuotedPart(field.fileName) + "\"\r\nContent-Type: application/octet-stream";
    out += "\r\n\r\n" + field.value + "\r\n";
  }
  return out + "--" + boundary + "--\r\n";
}

}  // namespace

bool ConvertFromUtf8(const std::string& text, SendCharset charset, std::string* out, std::string* error) {
  out->clear();
  if (charset == kSendUtf8 || text.empty()) {
    *out = text;
    return true;
  }
  iconv_t converter = iconv_open(IconvName(charset), "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    *error = std::string("this system cannot convert to ") + IconvName(charset);
    return false;
  }
  std::vector<char> input(text.begin(), text.end());
  char* in = input.data();
  size_t inLeft = input.size();
  char block[256];
  bool converted = true;
  while (converted && inLeft > 0) {
    char* at = block;
    size_t room = sizeof block;
    const size_t done = iconv(converter, &in, &inLeft, &at, &room);
    out->append(block, static_cast<size_t>(at - block));
    converted = done != static_cast<size_t>(-1) || errno == E2BIG;
  }
  // A JIS text ends with its escape back to ASCII.
  for (size_t done = static_cast<size_t>(-1); converted && done == static_cast<size_t>(-1);) {
    char* at = block;
    size_t room = sizeof block;
    done = iconv(converter, nullptr, nullptr, &at, &room);
    out->append(block, static_cast<size_t>(at - block));
    converted = done != static_cast<size_t>(-1) || errno == E2BIG;
  }
  iconv_close(converter);
  if (converted && charset == kSendJis) {
    const std::string euc = *out;
    converted = EucToJis(euc, out);
  }
  if (!converted) *error = "\"" + text + "\" cannot be sent in " + SendCharsetLabel(charset);
  return converted;
}

std::string UrlEncode(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
                       byte == '-' || byte == '.' || byte == '_' || byte == '~';
    if (plain) {
      out += c;
    } else if (byte == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

bool BuildForm(const RunOptions& options, const std::string& programName, const std::string& boundarySeed, BuiltForm* form,
               std::string* error) {
  *form = BuiltForm{};
  form->method = options.bGet ? "GET" : "POST";
  if (!options.bodyFile.empty()) {
    form->contentType = options.contentType;
    if (ReadFileBytes(options.bodyFile, &form->body)) return true;
    *error = "cannot read the body " + options.bodyFile;
    return false;
  }
  std::vector<SentField> fields;
  // In a query string the declaration is a field: first, so that it is the one the extension reads
  // (unless the form brings its own).
  if (options.bGet && !DeclaresCharset(options.fields)) fields.push_back(SentField{"_charset_", SendCharsetLabel(options.charset), "", false});
  if (!NamesProgram(options.fields)) fields.push_back(SentField{"VCEXE", programName, "", false});
  for (const FormArgument& field : options.fields) {
    SentField sent{};
    if (!ConvertField(field, options.charset, &sent, error)) return false;
    fields.push_back(sent);
  }
  if (options.bGet) {
    form->query = Urlencoded(fields);
    return true;
  }
  const std::string charset = std::string("; charset=") + SendCharsetLabel(options.charset);
  if (options.bMultipart) {
    // A boundary no part holds: grown until none does.
    std::string boundary = boundarySeed;
    while (AnyHolds(fields, boundary)) boundary += 'x';
    form->body = Multipart(fields, boundary);
    form->contentType = "multipart/form-data; boundary=" + boundary + charset;
  } else {
    form->body = Urlencoded(fields);
    form->contentType = "application/x-www-form-urlencoded" + charset;
  }
  return true;
}
