// Content for the benchmarks that compresses about as well as a server's files: words of
// text and configuration with a run of random bytes now and then.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

inline std::vector<uint8_t> ServerLikeContent(size_t size, uint32_t seed) {
  static const char* const kWords[] = {"translation ", "server ", "config=", "0x1F ", "\r\n", "<entry id=\"",
                                       "\"/>", "tolvane ", "path\\to\\", "value ", "[section]", "  "};
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  out.reserve(size + 16);
  while (out.size() < size) {
    if (rng() % 10 == 0) {
      for (int i = 0; i < 12; ++i) out.push_back(static_cast<uint8_t>(rng()));
    } else {
      const char* w = kWords[rng() % 12];
      out.insert(out.end(), w, w + std::strlen(w));
    }
  }
  out.resize(size);
  return out;
}
