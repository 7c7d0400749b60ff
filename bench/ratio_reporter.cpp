#include "ratio_reporter.h"

#include <cstdio>
#include <set>

namespace karvel_bench {

RatioReporter::RatioReporter(std::vector<Comparison> comparisons)
    : comparisons_(std::move(comparisons)) {}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  // With repetitions the median stands for the benchmark; without, its single run.
  for (const Run& run : runs) {
    const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
    if (run.run_type != Run::RT_Iteration && !median) continue;
    auto counter = run.counters.find("bytes_per_second");
    if (counter == run.counters.end()) continue;
    const std::string name = run.run_name.function_name;
    if (median || !medianSeen_.count(name)) bytesPerSecond_[name] = counter->second.value;
    if (median) medianSeen_.insert(name);
  }
}

void RatioReporter::Finalize() {
  ConsoleReporter::Finalize();
  std::printf("\n%-22s %14s %14s %9s %8s\n", "comparison", "ours MB/s", "baseline MB/s", "ratio", "goal");
  for (const Comparison& c : comparisons_) {
    const double ours = bytesPerSecond_.count(c.measured) ? bytesPerSecond_[c.measured] : 0;
    if (c.baseline.empty()) {
      const bool met = ours >= c.goal;
      allMet_ = allMet_ && met;
      std::printf("%-22s %14.0f %14s %9s %5.0f MB/s %s\n", c.label.c_str(), ours / 1e6, "-", "-",
                  c.goal / 1e6, met ? "met" : "MISSED");
      continue;
    }
    const double base = bytesPerSecond_.count(c.baseline) ? bytesPerSecond_[c.baseline] : 0;
    const double ratio = base > 0 ? ours / base : 0;
    const bool met = ratio >= c.goal;
    allMet_ = allMet_ && met;
    std::printf("%-22s %14.0f %14.0f %8.2fx %7.2fx %s\n", c.label.c_str(), ours / 1e6, base / 1e6,
                ratio, c.goal, met ? "met" : "MISSED");
  }
  std::fflush(stdout);
}

void InitializeInterleaved(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
}

}  // namespace karvel_bench
