// echo EXCHANGE_FILE: answers a Shift_JIS HTML page listing the request and every field; a value
// naming a file this request uploaded also shows that file's size (no other path is looked at).
#include <cstdio>
#include <string>

#include "karvel_backend.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: echo EXCHANGE_FILE\n");
    return 2;
  }
  using karvel::HtmlEscape;
  std::string page =
      "Content-Type: text/html; charset=Shift_JIS\r\n\r\n"
      "<html><head><meta charset=\"Shift_JIS\"><title>echo</title></head><body>\n";
  karvel::Request request;
  std::string error;
  if (!karvel::ReadRequest(argv[1], &request, &error)) {
    page += "<p>Unreadable request: " + HtmlEscape(error) + "</p>\n";
  } else {
    const char* method = request.method == '1' ? "POST" : request.method == '2' ? "GET" : "other";
    page += "<p>" + std::string(method) + " from " + HtmlEscape(request.remoteAddr) + " user " +
            HtmlEscape(request.remoteUser) + ", " + std::to_string(request.fields.size()) + " fields</p>\n<table>\n";
    for (const karvel::Field& field : request.fields) {
      page += "<tr><td>" + HtmlEscape(field.name) + "</td><td>" + HtmlEscape(field.value) + "</td><td>";
      long long size = 0;
      if (karvel::IsUpload(argv[1], field.value, &size)) page += std::to_string(size) + " bytes";
      page += "</td></tr>\n";
    }
    page += "</table>\n";
  }
  page += "</body></html>\n";
  if (karvel::AnswerPage(argv[1], page, &error)) return 0;
  std::fprintf(stderr, "echo: %s\n", error.c_str());
  return 1;
}
