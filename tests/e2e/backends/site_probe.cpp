// site_probe EXCHANGE_FILE: what a program of a site with its own user is, and what it can reach, for
// the tests that keep sites apart. Answers text lines: "uid=", "gid=", "groups=", "exchange=",
// "tmpdir=", "exchange_mode=" (its file's mode), then one line per attempt the field "try" lists
// (comma-separated), "NAME=ok" or "NAME=<errno name>", against the path "target" or the process
// "pid":
//   read     open the target for reading        write   open it for writing (nothing written)
//   rename   rename it beside itself            link    hard-link it into TMPDIR
//   list     read the target's directory        create  make a file beside the target
//   signal   send SIGTERM to "pid"              connect connect to the socket "target"
//   environ  read the environment of "pid"
// With "hold" set, it first writes its pid and exchange file's path ("PID PATH") to the file "hold"
// names and waits until that file is gone (at most "seconds", default 30): a program the other
// site can aim at meanwhile. With "file" set, it answers instead with the bytes of "file" written to
// a file of its own in TMPDIR (a file answer of the site's own).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

std::string Outcome(bool done) { return done ? "ok" : strerrorname_np(errno); }

std::string Attempt(const std::string& what, const std::string& target, const std::string& pid) {
  const std::string directory = target.substr(0, target.find_last_of('/'));
  const char* tmp = std::getenv("TMPDIR");
  if (what == "read" || what == "write") {
    const int fd = open(target.c_str(), what == "read" ? O_RDONLY : O_WRONLY);
    const std::string outcome = Outcome(fd >= 0);
    if (fd >= 0) close(fd);
    return outcome;
  }
  if (what == "rename") return Outcome(rename(target.c_str(), (target + ".moved").c_str()) == 0);
  if (what == "link") return Outcome(link(target.c_str(), (std::string(tmp != nullptr ? tmp : "/tmp") + "/stolen").c_str()) == 0);
  if (what == "list") {
    DIR* listing = opendir(directory.c_str());
    const std::string outcome = Outcome(listing != nullptr);
    if (listing != nullptr) closedir(listing);
    return outcome;
  }
  if (what == "create") {
    const int fd = open((directory + "/planted").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    const std::string outcome = Outcome(fd >= 0);
    if (fd >= 0) close(fd);
    return outcome;
  }
  if (what == "environ") {
    const int fd = open(("/proc/" + pid + "/environ").c_str(), O_RDONLY);
    char byte = 0;
    const bool read = fd >= 0 && ::read(fd, &byte, 1) >= 0;
    const std::string outcome = Outcome(read);
    if (fd >= 0) close(fd);
    return outcome;
  }
  if (what == "signal") return Outcome(kill(static_cast<pid_t>(std::atol(pid.c_str())), SIGTERM) == 0);
  if (what == "connect") {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, target.c_str(), sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    const std::string outcome = Outcome(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    close(fd);
    return outcome;
  }
  return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  karvel::Request request;
  if (!karvel::ReadRequest(argv[1], &request)) return 1;
  const std::string hold = Value(request, "hold");
  if (!hold.empty()) {
    if (FILE* note = std::fopen(hold.c_str(), "w")) {
      std::fprintf(note, "%ld %s", static_cast<long>(getpid()), argv[1]);
      std::fclose(note);
    }
    const long seconds = std::atol(Value(request, "seconds").c_str());
    for (long waited = 0; waited < 10 * (seconds > 0 ? seconds : 30) && access(hold.c_str(), F_OK) == 0; ++waited) {
      usleep(100000);
    }
  }
  const std::string own = Value(request, "file");
  if (!own.empty()) {
    const std::string path = std::string(std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp") +
                             "/own-" + std::to_string(getpid()) + ".txt";
    umask(077);  // the strictest a program may choose: the server still reads its answer
    FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) return 1;
    std::fputs(own.c_str(), out);
    std::fclose(out);
    return karvel::AnswerFile(argv[1], path) ? 0 : 1;
  }
  gid_t groups[64];
  const int count = getgroups(64, groups);
  std::string page = "Content-Type: text/plain\r\n\r\nuid=" + std::to_string(getuid()) + "\ngid=" + std::to_string(getgid()) +
                     "\ngroups=";
  for (int k = 0; k < count; ++k) page += (k ? "," : "") + std::to_string(groups[k]);
  struct stat info{};
  stat(argv[1], &info);
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  const char* tmp = std::getenv("TMPDIR");
  page += "\nexchange=" + std::string(argv[1]) + "\ntmpdir=" + (tmp != nullptr ? tmp : "") + "\nexchange_mode=" + mode + "\n";
  std::string attempts = Value(request, "try");
  for (size_t at = 0; !attempts.empty() && at != std::string::npos;) {
    const size_t comma = attempts.find(',', at);
    const std::string what = attempts.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    page += what + "=" + Attempt(what, Value(request, "target"), Value(request, "pid")) + "\n";
    at = comma == std::string::npos ? comma : comma + 1;
  }
  return karvel::AnswerPage(argv[1], page) ? 0 : 1;
}
