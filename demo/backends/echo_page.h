// The echo samples' page: the request and every field in an HTML table; a value naming a file
// this request uploaded also shows that file's size (no other path is looked at). A form that
// declares UTF-8 in its `_charset_` field gets a UTF-8 page, its values decoded from code page
// 932; any other form a Shift_JIS page with the values as they arrived.
#ifndef KARVEL_DEMO_ECHO_PAGE_H
#define KARVEL_DEMO_ECHO_PAGE_H

#include <string>
#include <string_view>

#include "karvel_backend.h"
#include "karvel_cp932.h"

namespace echo {

// The length of the decimal reference ("&#128512;") at the start of `text`, else 0.
inline size_t ReferenceLength(std::string_view text) {
  if (text.size() < 4 || text[0] != '&' || text[1] != '#') return 0;
  size_t end = 2;
  while (end < text.size() && end < 9 && text[end] >= '0' && text[end] <= '9') ++end;
  return end > 2 && end < text.size() && text[end] == ';' ? end + 1 : 0;
}

// `text` escaped for HTML, but for the decimal references a browser sends for characters the
// form's encoding lacks: those stay references, so the page shows the characters.
inline std::string ShowValue(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const size_t reference = ReferenceLength(text.substr(i));
    const size_t length = reference != 0 ? reference : 1;
    out += reference != 0 ? std::string(text.substr(i, length)) : karvel::HtmlEscape(text.substr(i, length));
    i += length;
  }
  return out;
}

inline bool DeclaresUtf8(const karvel::Request& request) {
  const karvel::Field* declared = request.find("_charset_");
  if (declared == nullptr) return false;
  std::string label;
  for (const char c : declared->value) label += static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  return label == "utf-8" || label == "utf8";
}

// The whole answer (header and page) for `request`, read from `exchangePath`; for a request that
// could not be read (null) a page saying why (`error`).
inline std::string Page(const karvel::Request* request, const std::string& error, const std::string& exchangePath) {
  using karvel::HtmlEscape;
  std::string body;
  const bool utf8 = request != nullptr && DeclaresUtf8(*request);
  if (request == nullptr) {
    body += "<p>Unreadable request: " + HtmlEscape(error) + "</p>\n";
  } else {
    const char* method = request->method == '1' ? "POST" : request->method == '2' ? "GET" : "other";
    body += "<p>" + std::string(method) + " from " + HtmlEscape(request->remoteAddr) + " user " +
            HtmlEscape(request->remoteUser) + ", " + std::to_string(request->fields.size()) + " fields</p>\n<table>\n";
    for (const karvel::Field& field : request->fields) {
      const std::string value = utf8 ? karvel::DecodeValue(field.value) : field.value;
      body += "<tr><td>" + HtmlEscape(field.name) + "</td><td>" + ShowValue(value) + "</td><td>";
      long long size = 0;
      if (karvel::IsUpload(exchangePath, field.value, &size)) body += std::to_string(size) + " bytes";
      body += "</td></tr>\n";
    }
    body += "</table>\n";
  }
  const std::string charset = utf8 ? "UTF-8" : "Shift_JIS";
  return "Content-Type: text/html; charset=" + charset + "\r\n\r\n<html><head><meta charset=\"" + charset +
         "\"><title>echo</title></head><body>\n" + body + "</body></html>\n";
}

}  // namespace echo

#endif  // KARVEL_DEMO_ECHO_PAGE_H
