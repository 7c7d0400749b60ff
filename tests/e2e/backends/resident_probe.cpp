// resident_probe: a resident back-end for the resident instance tests, speaking the channel itself
// (descriptor 3, see host/spawner/spawner_protocol.h). Each page says "pid=PID served=N" (N: the
// requests this instance took) and does what field "do" asks first:
//   (none)   nothing more
//   sleep    sleeps "ms" milliseconds
//   refuse   says it has no answer ("refused as asked")
//   die      ends with status 3 mid-request
//   close    closes its channel mid-request, then sleeps 60 s
//   hang     sleeps 600 s
//   stderr   writes "line of TAG" to standard error
//   env      adds "NAME=value" of the variable "name" (or "NAME unset")
//   late     sleeps "ms" milliseconds, then answers by its own rename whether or not the exchange
//            file is still there (a writer that does not look first)
//   limits   adds "cpu=SOFT/HARD" (its processor time limit in seconds, -1 for none)
// Started with an exchange file as its one argument it answers it once: "one-shot pid=PID".
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "karvel_backend.h"

namespace {

std::string Value(const karvel::Request& request, const char* name) {
  const karvel::Field* field = request.find(name);
  return field != nullptr ? field->value : "";
}

void Say(const std::string& word) { send(3, word.data(), word.size(), MSG_NOSIGNAL); }

void Serve(const std::string& exchange, long served) {
  karvel::Request request;
  if (!karvel::ReadRequest(exchange, &request)) {
    Say("Eunreadable exchange file");
    return;
  }
  const std::string what = Value(request, "do");
  std::string page = "pid=" + std::to_string(getpid()) + " served=" + std::to_string(served);
  if (what == "sleep") usleep(static_cast<useconds_t>(std::atol(Value(request, "ms").c_str()) * 1000));
  if (what == "refuse") {
    std::fprintf(stderr, "refused as asked\n");
    Say("Erefused as asked");
    return;
  }
  if (what == "die") _exit(3);
  if (what == "close") {
    close(3);
    sleep(60);
    _exit(0);
  }
  if (what == "hang") sleep(600);
  if (what == "stderr") std::fprintf(stderr, "line of %s\n", Value(request, "tag").c_str());
  if (what == "env") {
    const std::string name = Value(request, "name");
    const char* value = std::getenv(name.c_str());
    page += value != nullptr ? " " + name + "=" + value : " " + name + " unset";
  }
  if (what == "late") {
    usleep(static_cast<useconds_t>(std::atol(Value(request, "ms").c_str()) * 1000));
    const std::string side = exchange + ".late";
    FILE* file = std::fopen(side.c_str(), "w");
    const bool written = file != nullptr && std::fprintf(file, "91  Content-Type: text/plain\r\n\r\nlate") > 0;
    if (file != nullptr) std::fclose(file);
    Say(written && std::rename(side.c_str(), exchange.c_str()) == 0 ? "D" : "Ecannot write the late answer");
    return;
  }
  if (what == "limits") {
    rlimit cpu{};
    getrlimit(RLIMIT_CPU, &cpu);
    auto shown = [](rlim_t value) { return value == RLIM_INFINITY ? std::string("-1") : std::to_string(value); };
    page += " cpu=" + shown(cpu.rlim_cur) + "/" + shown(cpu.rlim_max);
  }
  Say(karvel::AnswerPage(exchange, "Content-Type: text/plain\r\n\r\n" + page) ? "D" : "Ecannot write the answer");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2) {
    return karvel::AnswerPage(argv[1], "Content-Type: text/plain\r\n\r\none-shot pid=" + std::to_string(getpid())) ? 0 : 1;
  }
  const char* channel = std::getenv("KARVEL_RESIDENT_FD");
  if (argc != 1 || channel == nullptr || std::strcmp(channel, "3") != 0) return 2;
  char packet[1 + 4096];
  for (long served = 1;; ++served) {
    const ssize_t got = recv(3, packet, sizeof packet, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return 0;
    if (packet[0] != 'R' || got < 2) return 4;
    Serve(std::string(packet + 1, static_cast<size_t>(got - 1)), served);
  }
}
