// The buffer and key that the cipher benchmarks decipher, the same on both sides of a
// host/Windows comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace des_bench {

inline constexpr uint8_t kKey[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};

inline std::vector<uint8_t> Data(size_t mib) {
  std::vector<uint8_t> data(mib << 20);
  std::mt19937 rng(1);
  for (uint8_t& b : data) b = uint8_t(rng());
  return data;
}

// FNV-1a over the bytes: enough to see that both sides produced the same output.
inline uint32_t Checksum(const std::vector<uint8_t>& data) {
  uint32_t h = 2166136261u;
  for (uint8_t b : data) h = (h ^ b) * 16777619u;
  return h;
}

}  // namespace des_bench
