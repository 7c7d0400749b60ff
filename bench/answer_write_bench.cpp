// How a back-end's answer reaches the exchange file, on tmpfs (where the package keeps exchange
// files): written into the file itself with its mark last (the kit's way, karvel::AnswerPage),
// against the answer written beside the file and renamed over it (the kit's earlier way). Each
// round is one request's whole file life as the server and an instance see it: the request
// written, the answer made, the file removed. The rename keeps "the server only sees a complete
// answer" by itself; writing in place needs the mark's ordering, so it is worth taking only where
// it wins clearly (the goal below).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "karvel_backend.h"
#include "ratio_reporter.h"

namespace {

constexpr size_t kRequestBytes = 582;  // a GET with two short fields, as the echo bench sends
const std::string kPage = "Content-Type: text/html; charset=Shift_JIS\r\n\r\n" + std::string(240, 'p');

const std::string& Directory() {
  static const std::string directory = [] {
    std::string pattern = std::filesystem::is_directory("/dev/shm") ? "/dev/shm/karvel-answer-XXXXXX"
                                                                     : "/tmp/karvel-answer-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  return directory;
}

// The request's side of the file, as the extension writes it.
void WriteRequest(const std::string& path) {
  static const std::string request = "2 " + std::string(2, '\0') + std::string(kRequestBytes - 4, 'r');
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 || write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) std::abort();
  close(fd);
}

void BM_AnswerByRename(benchmark::State& state) {
  const std::string path = Directory() + "/VC0123456789ABCDEF.tmp";
  const std::string side = path + ".answer";
  const std::string whole = "91  " + kPage;
  for (auto _ : state) {
    WriteRequest(path);
    struct stat info;
    if (stat(path.c_str(), &info) != 0) std::abort();
    const int fd = open(side.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, info.st_mode & 0777);
    if (fd < 0 || write(fd, whole.data(), whole.size()) != static_cast<ssize_t>(whole.size())) std::abort();
    if (close(fd) != 0 || std::rename(side.c_str(), path.c_str()) != 0) std::abort();
    unlink(path.c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPage.size()));
}

void BM_AnswerInPlace(benchmark::State& state) {
  const std::string path = Directory() + "/VC0123456789ABCDEF.tmp";
  for (auto _ : state) {
    WriteRequest(path);
    if (!karvel::AnswerPage(path, kPage)) std::abort();
    unlink(path.c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPage.size()));
}

BENCHMARK(BM_AnswerByRename)->Repetitions(9)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AnswerInPlace)->Repetitions(9)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  karvel_bench::InitializeInterleaved(argc, argv);
  karvel_bench::RatioReporter reporter({
      {"answer in place vs by rename (worth its ordering from 1.25x)", "BM_AnswerInPlace", "BM_AnswerByRename", 1.25},
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::filesystem::remove_all(Directory());
  return 0;
}
