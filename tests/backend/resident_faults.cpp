// resident_faults [EXCHANGE_FILE]: a handler that fails when asked, run by Serve. The field "do"
// says how: "throw" (a std::runtime_error), "throw-int" (no std::exception), "nothing" (returns
// without answering), "answer-then-throw", "print" (writes a line on standard output first),
// "catch-usr1" (from then on SIGUSR1 runs a handler that interrupts system calls, as a program's
// own signal handling may); anything else answers a page with the field's value.
#include <signal.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "karvel_backend.h"

namespace {
void Ignore(int) {}
}  // namespace

int main(int argc, char** argv) {
  return karvel::Serve(argc, argv, [](const karvel::Request& request, const std::string& exchangePath) {
    const karvel::Field* what = request.find("do");
    const std::string how = what != nullptr ? what->value : "";
    if (how == "throw") throw std::runtime_error("asked to throw\nacross lines");
    if (how == "throw-int") throw 42;
    if (how == "nothing") return;
    if (how == "catch-usr1") {
      struct sigaction action {};
      action.sa_handler = Ignore;  // no SA_RESTART: a blocked read returns EINTR
      sigaction(SIGUSR1, &action, nullptr);
    }
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
