// Helpers shared by the archive tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "storage/storage_manager.h"

namespace tolvane::test {

inline std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Text-like content that compresses the way real files do.
inline std::vector<uint8_t> SampleContent(size_t size, uint32_t seed) {
  static const char* const kWords[] = {"server ", "translation ", "tolvane ", "config ", "=", "1", "\r\n",
                                       "path ", "value ", "[section]\r\n", "0x", "data "};
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  out.reserve(size);
  while (out.size() < size) {
    if (rng() % 8 == 0) {
      out.push_back(static_cast<uint8_t>(rng()));
    } else {
      const char* w = kWords[rng() % (sizeof kWords / sizeof kWords[0])];
      out.insert(out.end(), w, w + std::strlen(w));
    }
  }
  out.resize(size);
  return out;
}

inline uint32_t U32At(const std::vector<uint8_t>& v, size_t at) {
  return static_cast<uint32_t>(v[at]) | (static_cast<uint32_t>(v[at + 1]) << 8) |
         (static_cast<uint32_t>(v[at + 2]) << 16) | (static_cast<uint32_t>(v[at + 3]) << 24);
}

inline void PutU32At(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

// Free records of the directory as (offset, size) pairs, in record order.
inline std::vector<std::pair<uint32_t, uint32_t>> FreeRegions(const StorageManager& m) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const BlockRecord& r : m.Directory()) {
    if (r.type == BlockFree) out.emplace_back(r.offset, r.size);
  }
  return out;
}

}  // namespace tolvane::test
