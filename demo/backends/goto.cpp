// goto EXCHANGE_FILE: answers the URL in field "to" (default "/"): a path on this server is
// served by it, anything else is a redirection. A URL the kit refuses also becomes "/".
#include <cstdio>
#include <string>

#include "karvel_backend.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: goto EXCHANGE_FILE\n");
    return 2;
  }
  karvel::Request request;
  std::string error;
  const karvel::Field* to = karvel::ReadRequest(argv[1], &request, &error) ? request.find("to") : nullptr;
  if ((to != nullptr && karvel::AnswerUrl(argv[1], to->value)) || karvel::AnswerUrl(argv[1], "/", &error)) return 0;
  std::fprintf(stderr, "goto: %s\n", error.c_str());
  return 1;
}
