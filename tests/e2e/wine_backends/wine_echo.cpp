// wine_echo EXCHANGE_FILE: a Windows back-end built with the C++ kit. Answers a text/plain page
// with the ANSI code page it runs in, the exchange file's path as it was given, and every field as
// "name=value" lines, the values' bytes as they came (Shift-JIS).
#include <windows.h>

#include <string>

#include "backend/karvel_backend.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  karvel::Request request;
  std::string error;
  if (!karvel::ReadRequest(argv[1], &request, &error)) return 1;
  std::string body = "acp=" + std::to_string(GetACP()) + "\nexchange=" + argv[1] + "\n";
  for (const karvel::Field& field : request.fields) body += field.name + "=" + field.value + "\n";
  const std::string page = "Content-Type: text/plain\r\n\r\n" + body;
  return karvel::AnswerPage(argv[1], page, &error) ? 0 : 1;
}
