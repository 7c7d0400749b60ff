#include "tools/dump/dump_output.h"

#include <sys/stat.h>

#include "karvel_backend.h"
#include "tools/dump/shown_text.h"

namespace {

const char* MethodName(char method) {
  switch (method) {
    case '1': return "POST";
    case '2': return "GET";
    default: return "other";
  }
}

const char* KindName(AnswerKindShown kind) {
  switch (kind) {
    case kShownPage: return "page";
    case kShownUrl: return "url";
    case kShownFile: return "file";
    default: return "other";
  }
}

const char* ShapeName(ValueShape shape) { return shape == kValueWithNul ? "value with its NUL" : "plain value"; }
const char* ShapeKey(ValueShape shape) { return shape == kValueWithNul ? "with_nul" : "plain"; }

// The code as shown: the digit, or its hex when it is no printable byte.
std::string CodeShown(unsigned char code) { return ShownCp932(std::string(1, static_cast<char>(code))); }

struct UploadFound {
  bool bFound;
  long long nSize;
};

UploadFound FindUpload(const std::string& path, const DumpedField& field) {
  UploadFound found{false, 0};
  found.bFound = karvel::IsUpload(path, field.value, &found.nSize);
  return found;
}

// The size of the regular file an answer names, -1 for none here.
long long AnsweredFileSize(const std::string& filePath) {
  struct stat info;
  if (filePath.empty() || stat(filePath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return info.st_size;
}

std::string Line(const std::string& label, const std::string& text) { return "  " + label + ": " + text + "\n"; }

void AnswerInWords(const DumpedExchange& dump, std::string* out) {
  *out += Line("result code", "'" + CodeShown(dump.cResultCode) + "' (" + KindName(dump.answerKind) + ")");
  switch (dump.answerKind) {
    case kShownPage: {
      *out += Line("header block", std::to_string(dump.nHeaderBytes) + " bytes" +
                                       (dump.bHeaderEnded ? "" : ", no empty line: it runs to the end"));
      size_t at = 0;
      const std::string& block = dump.answerText;
      while (at < block.size()) {
        size_t end = block.find('\n', at);
        end = end == std::string::npos ? block.size() : end + 1;
        *out += "    " + ShownCp932(std::string_view(block).substr(at, end - at)) + "\n";
        at = end;
      }
      *out += Line("body", std::to_string(dump.nAreaBytes - dump.nHeaderBytes) + " bytes");
      break;
    }
    case kShownUrl:
      if (dump.nAreaBytes > kDumpUrlLimit) {
        *out += Line("url", "none: " + std::to_string(dump.nAreaBytes) + " bytes, longer than the server reads");
      } else {
        *out += Line("url", "\"" + ShownCp932(dump.answerText) + "\" (" +
                                (!dump.answerText.empty() && dump.answerText[0] == '/' ? "served by the server itself" : "a redirection") + ")");
      }
      break;
    case kShownFile:
      if (dump.nAreaBytes > kDumpPathLimit) {
        *out += Line("file", "none: " + std::to_string(dump.nAreaBytes) + " bytes, longer than the server reads");
      } else {
        const long long size = AnsweredFileSize(dump.answerText);
        *out += Line("file", "\"" + ShownUtf8(dump.answerText) + "\" (" +
                                 (size < 0 ? std::string("no regular file here") : std::to_string(size) + " bytes") + ")");
      }
      break;
    default:
      *out += Line("answer area", std::to_string(dump.nAreaBytes) + " bytes, no answer the server sends");
      break;
  }
}

}  // namespace

std::string DumpInWords(const std::string& path, const DumpedExchange& dump, bool withHex) {
  std::string out = ShownUtf8(path) + ": " + (dump.bAnswered ? "answered exchange file, " : "exchange file, ") +
                    std::to_string(dump.nSize) + " bytes\n";
  if (dump.bAnswered) {
    AnswerInWords(dump, &out);
    return out;
  }
  out += Line("method", std::string("'") + dump.cMethod + "' (" + MethodName(dump.cMethod) + ")");
  out += Line("connection", std::to_string(dump.nConnection));
  out += Line("remote address", "\"" + ShownCp932(dump.remoteAddr) + "\"");
  out += Line("remote user", "\"" + ShownCp932(dump.remoteUser) + "\"");
  out += Line("fields", std::to_string(dump.nFieldCount) + " counted, " + std::to_string(dump.fields.size()) + " listed");
  for (size_t k = 0; k < dump.fields.size(); ++k) {
    const DumpedField& field = dump.fields[k];
    out += "  field " + std::to_string(k) + ": \"" + ShownCp932(field.name) + "\", " + ShapeName(field.shape) + ", " +
           std::to_string(field.value.size()) + " bytes at offset " + std::to_string(field.nValueAt) +
           ", offsets counted from " + std::to_string(field.nOffsetBase) + "\n";
    out += "    value: \"" + ShownCp932(field.value) + "\"\n";
    if (withHex) out += "    hex: " + HexOf(field.value) + "\n";
    const UploadFound upload = FindUpload(path, field);
    if (upload.bFound) out += "    upload: \"" + ShownUtf8(field.value) + "\", " + std::to_string(upload.nSize) + " bytes\n";
  }
  return out;
}

std::string DumpAsJson(const std::string& path, const DumpedExchange& dump) {
  std::string out = "{\"file\": " + JsonString(ShownUtf8(path)) + ", \"bytes\": " + std::to_string(dump.nSize) +
                    ", \"answered\": " + (dump.bAnswered ? "true" : "false");
  if (dump.bAnswered) {
    out += ", \"result_code\": " + JsonString(CodeShown(dump.cResultCode)) + ", \"kind\": " + JsonString(KindName(dump.answerKind)) +
           ", \"answer_bytes\": " + std::to_string(dump.nAreaBytes);
    if (dump.answerKind == kShownPage) {
      out += ", \"header_block\": " + JsonString(ShownCp932(dump.answerText)) + ", \"header_ended\": " +
             (dump.bHeaderEnded ? "true" : "false") + ", \"body_bytes\": " + std::to_string(dump.nAreaBytes - dump.nHeaderBytes);
    } else if (dump.answerKind == kShownUrl) {
      out += ", \"url\": " + JsonString(ShownCp932(dump.answerText));
    } else if (dump.answerKind == kShownFile) {
      const long long size = AnsweredFileSize(dump.answerText);
      out += ", \"path\": " + JsonString(ShownUtf8(dump.answerText)) + ", \"path_size\": " +
             (size < 0 ? std::string("null") : std::to_string(size));
    }
    return out + "}";
  }
  out += std::string(", \"method\": ") + JsonString(std::string(1, dump.cMethod)) + ", \"method_name\": " +
         JsonString(MethodName(dump.cMethod)) + ", \"connection\": " + std::to_string(dump.nConnection) +
         ", \"remote_addr\": " + JsonString(ShownCp932(dump.remoteAddr)) + ", \"remote_user\": " +
         JsonString(ShownCp932(dump.remoteUser)) + ", \"field_count\": " + std::to_string(dump.nFieldCount) +
         ", \"fields_listed\": " + std::to_string(dump.fields.size()) + ", \"fields\": [";
  for (size_t k = 0; k < dump.fields.size(); ++k) {
    const DumpedField& field = dump.fields[k];
    out += std::string(k ? ", " : "") + "{\"name\": " + JsonString(ShownCp932(field.name)) + ", \"shape\": " +
           JsonString(ShapeKey(field.shape)) + ", \"offset_base\": " + std::to_string(field.nOffsetBase) +
           ", \"value_at\": " + std::to_string(field.nValueAt) + ", \"length\": " + std::to_string(field.value.size()) +
           ", \"value\": " + JsonString(ShownCp932(field.value)) + ", \"hex\": " + JsonString(HexOf(field.value));
    const UploadFound upload = FindUpload(path, field);
    if (upload.bFound) {
      out += ", \"upload\": {\"path\": " + JsonString(ShownUtf8(field.value)) + ", \"size\": " + std::to_string(upload.nSize) + "}";
    }
    out += "}";
  }
  return out + "]}";
}

std::string FailureAsJson(const std::string& path, const std::string& reason) {
  return "{\"file\": " + JsonString(ShownUtf8(path)) + ", \"error\": " + JsonString(ShownUtf8(reason)) + "}";
}
