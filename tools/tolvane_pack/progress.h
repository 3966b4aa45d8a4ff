// One line of progress for long work (setup, build, inspect, extract of a large product):
// bytes and files done of the total, the rate and the time left, rewritten in place on
// standard error. Only when standard error is a terminal: logs and pipes get nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tolvane::pack {

class Progress {
 public:
  // quiet (--quiet) or a standard error that is no terminal: the object stays silent.
  Progress(std::string what, uint64_t totalBytes, uint64_t totalFiles, bool quiet);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Add(uint64_t bytes, uint64_t files);
  // Clears the line, so that what follows starts at the left.
  void Finish();

 private:
  void Draw();

  std::string what_;
  uint64_t totalBytes_, totalFiles_, bytes_ = 0, files_ = 0;
  bool shown_ = false, active_;
  size_t width_ = 0;  // of the line shown
  std::chrono::steady_clock::time_point start_, drawn_;
};

// The line itself, for a given state (tests): "build: 12.5 of 40.0 MiB, 3 of 10 files,
// 8.1 MiB/s, 4 s left".
std::string ProgressLine(const std::string& what, uint64_t bytes, uint64_t totalBytes, uint64_t files,
                         uint64_t totalFiles, double seconds);

}  // namespace tolvane::pack
