// cgi_echo: a CGI program that does what the echo back-end does for a GET (a Shift_JIS page
// listing the query's fields), so Apache's own CGI path can be measured beside karvel's.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "karvel_backend.h"

namespace {
using karvel::HtmlEscape;

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Decode(const std::string& text) {
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
}  // namespace

int main() {
  const char* query = std::getenv("QUERY_STRING");
  const char* address = std::getenv("REMOTE_ADDR");
  const char* user = std::getenv("REMOTE_USER");
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
  std::string page =
      "Content-Type: text/html; charset=Shift_JIS\r\n\r\n"
      "<html><head><meta charset=\"Shift_JIS\"><title>echo</title></head><body>\n<p>GET from " +
      HtmlEscape(address ? address : "") + " user " + HtmlEscape(user ? user : "") + ", " + std::to_string(fields) +
      " fields</p>\n<table>\n" + rows + "</table>\n</body></html>\n";
  std::fwrite(page.data(), 1, page.size(), stdout);
  return 0;
}
