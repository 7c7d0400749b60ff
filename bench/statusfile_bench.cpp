// Expanding a 10 MB status template with a marker every 100 bytes, beside `cp` of the same file in
// the same run: how close the expansion comes to a plain file copy.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "ratio_reporter.h"
#include "statusfile/emit_status.h"

extern char** environ;

namespace {

constexpr size_t kTemplateBytes = 10 * 1000 * 1000;

struct BenchFiles {
  std::string dir;
  std::string templatePath;
  std::string argument;
};

const BenchFiles& Files() {
  static const BenchFiles files = [] {
    char pattern[] = "/tmp/karvel-bench-status-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    BenchFiles f;
    f.dir = pattern;
    f.templatePath = f.dir + "/VB_KARVEL.MIF";
    setenv("WINDIR", pattern, 1);
    std::string text;
    text.reserve(kTemplateBytes);
    const char* markers[] = {"@1", "@2", "@3", "@4", "@5"};
    // 100-byte lines: 97 bytes of text, a line end, one marker.
    const std::string line = std::string(97, 's') + "\n";
    for (int k = 0; text.size() < kTemplateBytes; ++k) text += line + markers[k % 5];
    std::ofstream(f.templatePath, std::ios::binary) << text;
    f.argument = f.dir + "/,BENCH,first value,second value";
    return f;
  }();
  return files;
}

void BM_EmitStatus_10MB(benchmark::State& state) {
  const BenchFiles& files = Files();
  for (auto _ : state) {
    if (EmitStatusFor(files.argument.c_str()) != 0) state.SkipWithError("EmitStatus failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kTemplateBytes));
}

void BM_Cp_10MB(benchmark::State& state) {
  const BenchFiles& files = Files();
  const std::string target = files.dir + "/copy.MIF";
  char* argv[] = {const_cast<char*>("cp"), const_cast<char*>(files.templatePath.c_str()),
                  const_cast<char*>(target.c_str()), nullptr};
  for (auto _ : state) {
    pid_t child = 0;
    int status = 0;
    if (posix_spawnp(&child, "cp", nullptr, nullptr, argv, environ) != 0 ||
        waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("cp failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kTemplateBytes));
}

// Wall-clock time: cp does its work in another process, which the CPU time of this one misses.
BENCHMARK(BM_EmitStatus_10MB)->Repetitions(9)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Cp_10MB)->Repetitions(9)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  karvel_bench::InitializeInterleaved(argc, argv);
  karvel_bench::RatioReporter reporter({
      {"EmitStatus 10 MB vs cp", "BM_EmitStatus_10MB", "BM_Cp_10MB", 0.25},
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::filesystem::remove_all(Files().dir);
  return 0;
}
