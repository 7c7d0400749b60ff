// echo EXCHANGE_FILE: answers the echo page (echo_page.h) for the request, or a page saying why
// the request could not be read.
#include <cstdio>
#include <string>

#include "echo_page.h"
#include "karvel_backend.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: echo EXCHANGE_FILE\n");
    return 2;
  }
  karvel::Request request;
  std::string error;
  const bool read = karvel::ReadRequest(argv[1], &request, &error);
  if (karvel::AnswerPage(argv[1], echo::Page(read ? &request : nullptr, error, argv[1]), &error)) return 0;
  std::fprintf(stderr, "echo: %s\n", error.c_str());
  return 1;
}
