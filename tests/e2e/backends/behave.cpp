// behave EXCHANGE_FILE: a back-end that misbehaves as field "do" says, for the supervision tests:
//   sleep     sleeps "seconds" (default 60), then answers "slept"
//   stubborn  ignores SIGTERM, then sleeps as sleep does
//   stderr    writes "lines" lines to standard error ("line N of LOGTAG"), then answers "wrote"
//   allocate  touches "mb" MiB of memory, answers "allocated" or "allocation failed"
//   spin      spins on the processor until stopped
//   fork      starts a child process, answers "forked" or "fork failed"
//   linger    answers "lingering", then runs on until the file "until" names exists ("seconds", 30)
//   handoff   ends at once without an answer; the child it starts answers "handed off" after "ms"
//   answer    answers with result code "code" (default 1) the bytes of "text", then "pad" bytes 'x'
//   replace   puts something other than an answer in the exchange file's place, by rename as an
//             answer comes, and ends: a FIFO when "target" is "fifo", else a symbolic link to
//             "target" (a directory, a device)
//   abandon   ends at once without an answer, leaving a child that ignores SIGTERM and sleeps
//             "seconds" (60); the child's pid goes into the file "pidfile"
//   alive     answers "alive" or "gone": whether the process "pid" still runs (a zombie does not)
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
  if (what == "answer") {
    const std::string code = Value(request, "code", "1");
    std::string text = Value(request, "text", "");
    text.append(static_cast<size_t>(std::atol(Value(request, "pad", "0").c_str())), 'x');
    return karvel::detail::WriteAnswer(argv[1], code.empty() ? '1' : code[0], text, nullptr) ? 0 : 1;
  }
  if (what == "replace") {
    const std::string target = Value(request, "target", "fifo");
    const std::string made = std::string(argv[1]) + ".new";
    const bool ok = target == "fifo" ? mkfifo(made.c_str(), 0600) == 0 : symlink(target.c_str(), made.c_str()) == 0;
    return ok && rename(made.c_str(), argv[1]) == 0 ? 0 : 1;
  }
  if (what == "abandon") {
    const long seconds = std::atol(Value(request, "seconds", "60").c_str());
    const pid_t child = fork();
    if (child == 0) {
      signal(SIGTERM, SIG_IGN);
      for (long left = seconds; left > 0;) left = sleep(static_cast<unsigned>(left));
      _exit(0);
    }
    if (child < 0) return 1;
    FILE* file = std::fopen(Value(request, "pidfile", "").c_str(), "w");
    if (file == nullptr) return 1;
    std::fprintf(file, "%ld\n", static_cast<long>(child));
    return std::fclose(file) == 0 ? 0 : 1;
  }
  if (what == "alive") {
    // A zombie has ended: only its parent's wait for it is missing.
    const std::string stat = "/proc/" + Value(request, "pid", "0") + "/stat";
    FILE* file = std::fopen(stat.c_str(), "r");
    char text[512] = "";
    const bool read = file != nullptr && std::fgets(text, sizeof text, file) != nullptr;
    if (file != nullptr) std::fclose(file);
    const char* state = read ? std::strrchr(text, ')') : nullptr;
    const bool alive = state != nullptr && state[1] == ' ' && state[2] != 'Z' && state[2] != 'X';
    return Answer(argv[1], alive ? "alive" : "gone") ? 0 : 1;
  }
  if (what == "mark") {
    std::FILE* mark = std::fopen(Value(request, "file", "").c_str(), "w");
    if (mark != nullptr) std::fclose(mark);
    return Answer(argv[1], mark != nullptr ? "marked" : "no mark") ? 0 : 1;
  }
  // Ends without an answer.
  if (what == "quit") return 3;
  if (what == "spin") {
    volatile unsigned long turns = 0;
    for (;;) turns = turns + 1;
  }
  return Answer(argv[1], "nothing to do") ? 0 : 1;
}
