// The portable part of the durable file calls: fresh names.
#include "storage/file_system.h"

namespace tolvane::files {

namespace {

std::function<std::string(int)>& Source() {
  static std::function<std::string(int)> source;
  return source;
}

}  // namespace

void SetFreshNameSource(std::function<std::string(int)> source) { Source() = std::move(source); }

bool FreshNamePart(int attempt, std::string& part) {
  if (Source()) {
    part = Source()(attempt);
    return true;
  }
  uint8_t bytes[8];
  if (!SystemRandom(bytes, sizeof bytes)) return false;
  static const char kHex[] = "0123456789abcdef";
  part.clear();
  for (uint8_t b : bytes) part += {kHex[b >> 4], kHex[b & 15]};
  return true;
}

}  // namespace tolvane::files
