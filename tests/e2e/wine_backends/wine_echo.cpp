// wine_echo EXCHANGE_FILE: a Windows back-end built with the C++ kit. Answers a text/plain page
// with the ANSI code page it runs in, the exchange file's path as it was given, and every field as
// "name=value" lines, the values' bytes as they came (Shift-JIS); an upload of this request gets
// "upload-size=N" after it. A field "open" names a file to read: its first line follows as
// "opened=...". Built natively too, the benchmarks' twin of the Windows program ("acp=native").
#if defined(_WIN32)
#include <windows.h>
#endif

#include <cstdio>
#include <string>

#include "backend/karvel_backend.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  karvel::Request request;
  std::string error;
  if (!karvel::ReadRequest(argv[1], &request, &error)) return 1;
#if defined(_WIN32)
  const std::string codePage = std::to_string(GetACP());
#else
  const std::string codePage = "native";
#endif
  std::string body = "acp=" + codePage + "\nexchange=" + argv[1] + "\n";
  for (const karvel::Field& field : request.fields) {
    body += field.name + "=" + field.value + "\n";
    long long size = 0;
    if (karvel::IsUpload(argv[1], field.value, &size)) body += "upload-size=" + std::to_string(size) + "\n";
    if (field.name == "open") {
      char line[256] = "";
      if (std::FILE* file = std::fopen(field.value.c_str(), "rb")) {
        if (std::fgets(line, sizeof line, file) == nullptr) line[0] = '\0';
        std::fclose(file);
        body += std::string("opened=") + line + "\n";
      } else {
        body += "opened=(cannot open)\n";
      }
    }
  }
  const std::string page = "Content-Type: text/plain\r\n\r\n" + body;
  return karvel::AnswerPage(argv[1], page, &error) ? 0 : 1;
}
