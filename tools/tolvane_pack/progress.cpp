#include "tools/tolvane_pack/progress.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#define TOLVANE_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define TOLVANE_ISATTY(fd) isatty(fd)
#endif

namespace tolvane::pack {

namespace {

std::string Mib(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", double(bytes) / (1 << 20));
  return text;
}

// A redraw at most this often: a terminal over a slow link must not hold up the work.
constexpr auto kRedraw = std::chrono::milliseconds(200);

}  // namespace

std::string ProgressLine(const std::string& what, uint64_t bytes, uint64_t totalBytes, uint64_t files,
                         uint64_t totalFiles, double seconds) {
  std::string line = what + ": " + Mib(bytes) + " of " + Mib(totalBytes) + " MiB, " + std::to_string(files) + " of " +
                     std::to_string(totalFiles) + " files";
  if (seconds > 0.5 && bytes > 0) {
    const double rate = double(bytes) / seconds;
    line += ", " + Mib(uint64_t(rate)) + " MiB/s";
    if (totalBytes > bytes) line += ", " + std::to_string(uint64_t(double(totalBytes - bytes) / rate + 0.5)) + " s left";
  }
  return line;
}

Progress::Progress(std::string what, uint64_t totalBytes, uint64_t totalFiles, bool quiet)
    : what_(std::move(what)),
      totalBytes_(totalBytes),
      totalFiles_(totalFiles),
      active_(!quiet && TOLVANE_ISATTY(2)),
      start_(std::chrono::steady_clock::now()),
      drawn_(start_) {}

Progress::~Progress() { Finish(); }

void Progress::Add(uint64_t bytes, uint64_t files) {
  bytes_ += bytes;
  files_ += files;
  if (!active_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - drawn_ < kRedraw && files_ < totalFiles_) return;
  drawn_ = now;
  Draw();
}

void Progress::Draw() {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  // Back to the start of the line; blanks cover what a longer line left (any console,
  // no escape sequences).
  std::string line = ProgressLine(what_, bytes_, totalBytes_, files_, totalFiles_, seconds);
  const size_t length = line.size();
  if (line.size() < width_) line.append(width_ - line.size(), ' ');
  width_ = length;
  std::fprintf(stderr, "\r%s", line.c_str());
  std::fflush(stderr);
  shown_ = true;
}

void Progress::Finish() {
  if (!shown_) return;
  std::fprintf(stderr, "\r%s\r", std::string(width_, ' ').c_str());
  std::fflush(stderr);
  shown_ = false;
  width_ = 0;
}

}  // namespace tolvane::pack
