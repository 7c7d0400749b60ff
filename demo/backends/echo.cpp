// echo EXCHANGE_FILE: answers an HTML page listing the request and every field; a value naming a
// file this request uploaded also shows that file's size (no other path is looked at). A form that
// declares UTF-8 in its `_charset_` field gets a UTF-8 page, its values decoded from code page 932;
// any other form a Shift_JIS page with the values as they arrived.
#include <cstdio>
#include <string>
#include <string_view>

#include "karvel_backend.h"
#include "karvel_cp932.h"

namespace {

// The length of the decimal reference ("&#128512;") at the start of `text`, else 0.
size_t ReferenceLength(std::string_view text) {
  if (text.size() < 4 || text[0] != '&' || text[1] != '#') return 0;
  size_t end = 2;
  while (end < text.size() && end < 9 && text[end] >= '0' && text[end] <= '9') ++end;
  return end > 2 && end < text.size() && text[end] == ';' ? end + 1 : 0;
}

// `text` escaped for HTML, but for the decimal references a browser sends for characters the
// form's encoding lacks: those stay references, so the page shows the characters.
std::string ShowValue(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const size_t reference = ReferenceLength(text.substr(i));
    const size_t length = reference != 0 ? reference : 1;
    out += reference != 0 ? std::string(text.substr(i, length)) : karvel::HtmlEscape(text.substr(i, length));
    i += length;
  }
  return out;
}

bool DeclaresUtf8(const karvel::Request& request) {
  const karvel::Field* declared = request.find("_charset_");
  if (declared == nullptr) return false;
  std::string label;
  for (const char c : declared->value) label += static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  return label == "utf-8" || label == "utf8";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: echo EXCHANGE_FILE\n");
    return 2;
  }
  using karvel::HtmlEscape;
  karvel::Request request;
  std::string error, body;
  bool utf8 = false;
  if (!karvel::ReadRequest(argv[1], &request, &error)) {
    body += "<p>Unreadable request: " + HtmlEscape(error) + "</p>\n";
  } else {
    utf8 = DeclaresUtf8(request);
    const char* method = request.method == '1' ? "POST" : request.method == '2' ? "GET" : "other";
    body += "<p>" + std::string(method) + " from " + HtmlEscape(request.remoteAddr) + " user " +
            HtmlEscape(request.remoteUser) + ", " + std::to_string(request.fields.size()) + " fields</p>\n<table>\n";
    for (const karvel::Field& field : request.fields) {
      const std::string value = utf8 ? karvel::DecodeValue(field.value) : field.value;
      body += "<tr><td>" + HtmlEscape(field.name) + "</td><td>" + ShowValue(value) + "</td><td>";
      long long size = 0;
      if (karvel::IsUpload(argv[1], field.value, &size)) body += std::to_string(size) + " bytes";
      body += "</td></tr>\n";
    }
    body += "</table>\n";
  }
  const std::string charset = utf8 ? "UTF-8" : "Shift_JIS";
  const std::string page = "Content-Type: text/html; charset=" + charset + "\r\n\r\n<html><head><meta charset=\"" +
                           charset + "\"><title>echo</title></head><body>\n" + body + "</body></html>\n";
  if (karvel::AnswerPage(argv[1], page, &error)) return 0;
  std::fprintf(stderr, "echo: %s\n", error.c_str());
  return 1;
}
