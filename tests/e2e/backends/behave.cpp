// behave EXCHANGE_FILE: a back-end that misbehaves as field "do" says, for the supervision tests:
//   sleep     sleeps "seconds" (default 60), then answers "slept"
//   stubborn  ignores SIGTERM, then sleeps as sleep does
//   stderr    writes "lines" lines to standard error ("line N of LOGTAG"), then answers "wrote"
//   allocate  touches "mb" MiB of memory, answers "allocated" or "allocation failed"
//   spin      spins on the processor until stopped
//   fork      starts a child process, answers "forked" or "fork failed"
//   linger    answers "lingering", then runs on until the file "until" names exists ("seconds", 30)
//   handoff   ends at once without an answer; the child it starts answers "handed off" after "ms"
//   mark      creates the file "file" names (the sign that it ran), then answers "marked"
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "karvel_backend.h"

namespace {

std::string Value(const karvel::Request& request, const char* name, const char* otherwise) {
  const karvel::Field* field = request.find(name);
  return field != nullptr ? field->value : otherwise;
}

bool Answer(const char* exchange, const std::string& text) {
  return karvel::AnswerPage(exchange, "Content-Type: text/plain\r\n\r\n" + text);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  karvel::Request request;
  if (!karvel::ReadRequest(argv[1], &request)) return 1;
  const std::string what = Value(request, "do", "");
  if (what == "stubborn") signal(SIGTERM, SIG_IGN);
  if (what == "sleep" || what == "stubborn") {
    for (long left = std::atol(Value(request, "seconds", "60").c_str()); left > 0;) left = sleep(static_cast<unsigned>(left));
    return Answer(argv[1], "slept") ? 0 : 1;
  }
  if (what == "stderr") {
    const long lines = std::atol(Value(request, "lines", "1").c_str());
    for (long k = 1; k <= lines; ++k) std::fprintf(stderr, "line %ld of %s\n", k, Value(request, "tag", "").c_str());
    std::fflush(stderr);
    return Answer(argv[1], "wrote") ? 0 : 1;
  }
  if (what == "allocate") {
    const size_t bytes = static_cast<size_t>(std::atol(Value(request, "mb", "1").c_str())) << 20;
    char* memory = static_cast<char*>(std::malloc(bytes));
    if (memory != nullptr) std::memset(memory, 1, bytes);
    const bool ok = Answer(argv[1], memory != nullptr ? "allocated" : "allocation failed");
    std::free(memory);
    return ok ? 0 : 1;
  }
  if (what == "fork") {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    if (child > 0) waitpid(child, nullptr, 0);
    return Answer(argv[1], child > 0 ? "forked" : "fork failed") ? 0 : 1;
  }
  if (what == "linger") {
    const bool answered = Answer(argv[1], "lingering");
    const std::string until = Value(request, "until", "");
    struct stat info;
    for (long turns = std::atol(Value(request, "seconds", "30").c_str()) * 20; turns > 0; --turns) {
      if (stat(until.c_str(), &info) == 0) break;
      usleep(50000);
    }
    return answered ? 0 : 1;
  }
  if (what == "handoff") {
    const pid_t child = fork();
    if (child != 0) return child > 0 ? 0 : 1;
    usleep(static_cast<useconds_t>(std::atol(Value(request, "ms", "300").c_str()) * 1000));
    _exit(Answer(argv[1], "handed off") ? 0 : 1);
  }
  if (what == "mark") {
    std::FILE* mark = std::fopen(Value(request, "file", "").c_str(), "w");
    if (mark != nullptr) std::fclose(mark);
    return Answer(argv[1], mark != nullptr ? "marked" : "no mark") ? 0 : 1;
  }
  if (what == "spin") {
    volatile unsigned long turns = 0;
    for (;;) turns = turns + 1;
  }
  return Answer(argv[1], "nothing to do") ? 0 : 1;
}
