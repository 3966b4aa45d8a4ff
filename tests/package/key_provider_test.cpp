#include "package/key_provider.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>

namespace {

using Block = std::array<uint8_t, 128>;

PayloadKey RandomKey(std::mt19937& rng) {
  PayloadKey key;
  for (uint8_t& b : key) b = uint8_t(rng());
  key[0] |= 0x80;  // never all zero
  return key;
}

// Rewrites the block's own trailing CRC, as a block that merely looks intact would have.
void ResealOuterCheck(Block& block) {
  uint32_t crc = uint32_t(crc32(crc32(0L, Z_NULL, 0), block.data(), 124));
  for (int i = 0; i < 4; ++i) block[124 + i] = uint8_t(crc >> (8 * i));
}

TEST(KeyProvider, UnwrapsWhatWasWrapped) {
  std::mt19937 rng(3);
  for (int i = 0; i < 200; ++i) {
    PayloadKey key = RandomKey(rng);
    PayloadKey out{};
    ASSERT_TRUE(KeyProvider(MakeKeyBlock(key), out));
    EXPECT_EQ(out, key);
  }
  PayloadKey lowest{0, 0, 0, 0, 0, 0, 0, 1};
  PayloadKey out{};
  ASSERT_TRUE(KeyProvider(MakeKeyBlock(lowest), out));
  EXPECT_EQ(out, lowest);
}

TEST(KeyProvider, BlocksAreDeterministicAndDifferPerKey) {
  PayloadKey a{0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
  PayloadKey b = a;
  b[7] ^= 0x02;
  EXPECT_EQ(MakeKeyBlock(a), MakeKeyBlock(a));
  Block ba = MakeKeyBlock(a), bb = MakeKeyBlock(b);
  // The key does not stand in the block in the clear.
  EXPECT_EQ(std::search(ba.begin(), ba.end(), a.begin(), a.end()), ba.end());
  int differing = 0;
  for (size_t i = 0; i < ba.size(); ++i) differing += ba[i] != bb[i];
  EXPECT_GT(differing, 64);
}

TEST(KeyProvider, EveryFlippedBitFails) {
  PayloadKey key{0x0E, 0x32, 0x92, 0x32, 0xEA, 0x6D, 0x0D, 0x73};
  const Block good = MakeKeyBlock(key);
  for (size_t bit = 0; bit < 128 * 8; ++bit) {
    Block damaged = good;
    damaged[bit / 8] ^= uint8_t(1 << bit % 8);
    PayloadKey out;
    out.fill(0xCC);
    EXPECT_FALSE(KeyProvider(damaged, out)) << "bit " << bit;
    EXPECT_EQ(out, PayloadKey{}) << "no partial key on failure";
  }
}

TEST(KeyProvider, DamageBehindAnIntactLookingBlockFails) {
  // Blocks from another provider key, or damaged and then given a fresh CRC: the outer
  // check passes and the sealed record must refuse them.
  std::mt19937 rng(29);
  const Block good = MakeKeyBlock(RandomKey(rng));
  for (int i = 0; i < 2000; ++i) {
    Block foreign = good;
    if (i % 2) {
      for (size_t j = 4; j < 124; ++j) foreign[j] = uint8_t(rng());
    } else {
      foreign[4 + rng() % 120] ^= uint8_t(1 + rng() % 255);
    }
    ResealOuterCheck(foreign);
    PayloadKey out;
    EXPECT_FALSE(KeyProvider(foreign, out)) << i;
  }
}

TEST(KeyProvider, ForeignBlocksFail) {
  std::mt19937 rng(31);
  Block zeros{}, ones;
  ones.fill(0xFF);
  PayloadKey out;
  EXPECT_FALSE(KeyProvider(zeros, out));
  EXPECT_FALSE(KeyProvider(ones, out));
  for (int i = 0; i < 1000; ++i) {
    Block random;
    for (uint8_t& b : random) b = uint8_t(rng());
    EXPECT_FALSE(KeyProvider(random, out));
  }
}

TEST(KeyProvider, NeverIssuesAnAllZeroKey) {
  PayloadKey zero{};
  PayloadKey out;
  out.fill(0x11);
  EXPECT_FALSE(KeyProvider(MakeKeyBlock(zero), out));
  EXPECT_EQ(out, zero);
}

TEST(KeyProvider, NonceBelongsToTheKey) {
  // The nonces of two good blocks swapped: the unsealed record no longer matches.
  PayloadKey a{1, 2, 3, 4, 5, 6, 7, 8}, b{8, 7, 6, 5, 4, 3, 2, 1};
  Block ba = MakeKeyBlock(a), bb = MakeKeyBlock(b);
  std::copy(bb.begin() + 4, bb.begin() + 12, ba.begin() + 4);
  ResealOuterCheck(ba);
  PayloadKey out;
  EXPECT_FALSE(KeyProvider(ba, out));
}

}  // namespace
