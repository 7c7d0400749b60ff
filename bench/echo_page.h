// The echo back-end's page for a GET, made from a CGI-style query string: what cgi_echo (mod_cgid)
// and fcgi_echo (FastCGI) answer, so that Apache's own paths are measured with karvel's page.
#ifndef KARVEL_BENCH_ECHO_PAGE_H
#define KARVEL_BENCH_ECHO_PAGE_H

#include <string>

#include "karvel_backend.h"

namespace echo_page {

inline int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline std::string Decode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && Hex(text[i + 1]) >= 0 && Hex(text[i + 2]) >= 0) {
      out += static_cast<char>(Hex(text[i + 1]) * 16 + Hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Header lines, the empty line and the body, as a CGI or FastCGI program writes them.
inline std::string EchoPage(const char* query, const char* address, const char* user) {
  using karvel::HtmlEscape;
  std::string rows;
  int fields = 0;
  std::string rest = query ? query : "";
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    const std::string pair = rest.substr(0, amp);
    rest = amp == std::string::npos ? "" : rest.substr(amp + 1);
    const size_t eq = pair.find('=');
    rows += "<tr><td>" + HtmlEscape(Decode(pair.substr(0, eq))) + "</td><td>" +
            HtmlEscape(eq == std::string::npos ? "" : Decode(pair.substr(eq + 1))) + "</td><td></td></tr>\n";
    ++fields;
  }
  return "Content-Type: text/html; charset=Shift_JIS\r\n\r\n"
         "<html><head><meta charset=\"Shift_JIS\"><title>echo</title></head><body>\n<p>GET from " +
         HtmlEscape(address ? address : "") + " user " + HtmlEscape(user ? user : "") + ", " + std::to_string(fields) +
         " fields</p>\n<table>\n" + rows + "</table>\n</body></html>\n";
}

}  // namespace echo_page

#endif
