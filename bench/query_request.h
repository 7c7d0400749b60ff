// A GET's request as the echo back-end would read it from its exchange file, made from a CGI-style
// query string and the client's address and user: so that cgi_echo (mod_cgid) and fcgi_echo
// (FastCGI) answer with the echo samples' own page (demo/backends/echo_page.h), and Apache's own
// paths are measured with karvel's page.
#ifndef KARVEL_BENCH_QUERY_REQUEST_H
#define KARVEL_BENCH_QUERY_REQUEST_H

#include <string>

#include "karvel_backend.h"

namespace query_request {

inline int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "+" as a blank and "%XX" as its byte, as a form's URL encoding has them.
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

inline karvel::Request FromQuery(const char* query, const char* address, const char* user) {
  karvel::Request request;
  request.method = '2';
  request.remoteAddr = address != nullptr ? address : "";
  request.remoteUser = user != nullptr ? user : "";
  std::string rest = query != nullptr ? query : "";
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    const std::string pair = rest.substr(0, amp);
    rest = amp == std::string::npos ? "" : rest.substr(amp + 1);
    const size_t eq = pair.find('=');
    request.fields.push_back(
        karvel::Field{Decode(pair.substr(0, eq)), eq == std::string::npos ? "" : Decode(pair.substr(eq + 1))});
  }
  request.fieldCount = static_cast<uint32_t>(request.fields.size());
  return request;
}

}  // namespace query_request

#endif  // KARVEL_BENCH_QUERY_REQUEST_H
