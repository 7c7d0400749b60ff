// A console reporter that, after the usual table, prints each measured throughput beside its
// baseline's as a ratio with the goal, so a run answers "how far from the goal" directly.
#ifndef KARVEL_BENCH_RATIO_REPORTER_H
#define KARVEL_BENCH_RATIO_REPORTER_H

#include <benchmark/benchmark.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace karvel_bench {

struct Comparison {
  std::string label;      // what is compared, e.g. "EUC-JP 1 MiB"
  std::string measured;   // benchmark name of ours
  std::string baseline;   // benchmark name of the baseline ("" when the goal is absolute)
  double goal;            // ratio wanted, or bytes per second when there is no baseline
};

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(std::vector<Comparison> comparisons);
  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;
  // True when every comparison met its goal (after Finalize).
  bool AllGoalsMet() const { return allMet_; }

 private:
  std::vector<Comparison> comparisons_;
  std::map<std::string, double> bytesPerSecond_;
  std::set<std::string> medianSeen_;
  bool allMet_ = true;
};

// benchmark::Initialize with repetitions interleaved in random order, so that a slow moment of a
// shared machine falls on ours and on the baseline alike instead of on one side of a ratio.
void InitializeInterleaved(int argc, char** argv);

}  // namespace karvel_bench

#endif
