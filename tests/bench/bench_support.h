// Shared pieces of the Google Benchmark programs: the --quick switch and a reporter that
// keeps each benchmark's time so the program can print ratios at the end.
#pragma once

#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace tolvane::bench {

// Removes --quick from the arguments (it shortens every run for the test command) and
// returns the rest for benchmark::Initialize.
inline std::vector<char*> TakeQuickSwitch(int argc, char** argv, bool& quick) {
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  return args;
}

// Prints as usual and keeps each benchmark's CPU time per iteration (the machine may be
// shared with other work), keyed by its name without the min_time suffix.
class TimeCollector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      if (r.error_occurred) continue;
      std::string name = r.benchmark_name();
      times[name.substr(0, name.find("/min_time"))] = r.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace tolvane::bench
