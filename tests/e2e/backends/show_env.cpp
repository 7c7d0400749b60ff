// show_env EXCHANGE_FILE: answers a text page with the exchange file's path ("exchange=...") and,
// one per line, every variable of its environment, so tests see what a back-end program is given.
#include <string>

#include "karvel_backend.h"

extern char** environ;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string page = "Content-Type: text/plain\r\n\r\nexchange=" + std::string(argv[1]) + "\n";
  for (char** variable = environ; *variable != nullptr; ++variable) page += std::string(*variable) + "\n";
  return karvel::AnswerPage(argv[1], page) ? 0 : 1;
}
