// resident_faults [EXCHANGE_FILE]: a handler that fails when asked, run by Serve. The field "do"
// says how: "throw" (a std::runtime_error), "throw-int" (no std::exception), "nothing" (returns
// without answering), "answer-then-throw", "print" (writes a line on standard output first);
// anything else answers a page with the field's value.
#include <cstdio>
#include <stdexcept>
#include <string>

#include "karvel_backend.h"

int main(int argc, char** argv) {
  return karvel::Serve(argc, argv, [](const karvel::Request& request, const std::string& exchangePath) {
    const karvel::Field* what = request.find("do");
    const std::string how = what != nullptr ? what->value : "";
    if (how == "throw") throw std::runtime_error("asked to throw\nacross lines");
    if (how == "throw-int") throw 42;
    if (how == "nothing") return;
    if (how == "print") {
      std::fputs("printed\n", stdout);
      std::fflush(stdout);
    }
    if (!karvel::AnswerPage(exchangePath, "Content-Type: text/plain\r\n\r\ndo=" + how)) {
      throw std::runtime_error("no answer written");
    }
    if (how == "answer-then-throw") throw std::runtime_error("thrown after the answer");
  });
}
