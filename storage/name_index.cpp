#include "storage/name_index.h"

#include <chrono>

namespace tolvane {

namespace {

uint64_t Mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return x;
}

uint64_t ProcessKey() {
  static const uint64_t key = [] {
    uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    seed ^= static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&seed));
    return Mix(seed) | 1;
  }();
  return key;
}

// The last n (1 to 7) bytes at p as a little-endian word, the bytes above them zero: what a
// copy into a zeroed word gives, read with whole loads instead (a copy of a variable length
// goes byte by byte and then stalls the word's load). With whole set the 8 bytes before
// p + n belong to the name.
inline uint64_t Tail(const unsigned char* p, size_t n, bool whole) {
  if (whole) {
    uint64_t word;
    std::memcpy(&word, p + n - 8, 8);
    return word >> (64 - 8 * n);
  }
  if (n >= 4) {
    uint32_t low, high;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + n - 4, 4);
    return low | (static_cast<uint64_t>(high) << (8 * (n - 4)));
  }
  return p[0] | (static_cast<uint64_t>(p[n / 2]) << (8 * (n / 2))) | (static_cast<uint64_t>(p[n - 1]) << (8 * (n - 1)));
}

}  // namespace

uint32_t NameHash::operator()(std::string_view name) const {
  const uint64_t key = ProcessKey();
  const unsigned char* p = reinterpret_cast<const unsigned char*>(name.data());
  size_t n = name.size();
  uint64_t h = key ^ (n * 0x9E3779B97F4A7C15ull);
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    h = (h ^ word) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 31;
  }
  if (n) h = (h ^ Tail(p, n, name.size() >= 8)) * 0xC4CEB9FE1A85EC53ull;
  return static_cast<uint32_t>(Mix(h ^ key));
}

}  // namespace tolvane
