#include "package/payload_cipher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "package/des_bitslice.h"
#include "package/des_circuits.h"
#include "package/des_standard.h"
#include "tests/package/des_table_memory_fake.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

Bytes RandomBytes(std::mt19937& rng, size_t n) {
  Bytes out(n);
  for (uint8_t& b : out) b = uint8_t(rng());
  return out;
}

// Published DES values: key, plaintext, ciphertext.
struct KnownAnswer {
  const char* key;
  const char* plain;
  const char* cipher;
};
const KnownAnswer kKnownAnswers[] = {
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},  // "Now is t"
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"0E329232EA6D0D73", "8787878787878787", "0000000000000000"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
};

TEST(PayloadCipher, DeciphersKnownAnswers) {
  for (const KnownAnswer& k : kKnownAnswers) {
    Bytes block = Hex(k.cipher);
    ASSERT_TRUE(DecipherBuffer(block.data(), block.size(), Hex(k.key).data()));
    EXPECT_EQ(block, Hex(k.plain)) << k.key;
  }
}

TEST(PayloadCipher, EnciphersKnownAnswers) {
  for (const KnownAnswer& k : kKnownAnswers) {
    Bytes block = Hex(k.plain);
    ASSERT_TRUE(EncipherBuffer(block.data(), block.size(), Hex(k.key).data()));
    EXPECT_EQ(block, Hex(k.cipher)) << k.key;
  }
}

TEST(PayloadCipher, BlocksAreIndependentAndOrderDoesNotMatter) {
  std::mt19937 rng(7);
  // Batch sizes of the bitsliced code and one either side, against single blocks (which
  // always take the table code).
  for (size_t blocks : {1u, 2u, 3u, 5u, 64u, 127u, 128u, 129u, 255u, 256u, 257u}) {
    Bytes key = RandomBytes(rng, 8);
    Bytes data = RandomBytes(rng, 8 * blocks);
    Bytes whole = data;
    ASSERT_TRUE(DecipherBuffer(whole.data(), whole.size(), key.data()));
    std::vector<size_t> order(blocks);
    for (size_t i = 0; i < blocks; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    Bytes single = data;
    for (size_t i : order) ASSERT_TRUE(DecipherBuffer(single.data() + 8 * i, 8, key.data()));
    EXPECT_EQ(single, whole) << blocks;
    // No chaining: equal plaintext blocks give equal ciphertext blocks.
    Bytes same(8 * blocks, 0x5A);
    ASSERT_TRUE(EncipherBuffer(same.data(), same.size(), key.data()));
    for (size_t i = 1; i < blocks; ++i)
      EXPECT_TRUE(std::equal(same.begin(), same.begin() + 8, same.begin() + 8 * i));
  }
}

TEST(PayloadCipher, ParityBitsDoNotCount) {
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    Bytes key = RandomBytes(rng, 8);
    Bytes flipped = key;
    for (uint8_t& b : flipped) b ^= uint8_t(rng() & 1);
    flipped[round % 8] ^= 1;  // at least one parity bit differs
    Bytes data = RandomBytes(rng, 40);
    Bytes a = data, b = data;
    ASSERT_TRUE(DecipherBuffer(a.data(), a.size(), key.data()));
    ASSERT_TRUE(DecipherBuffer(b.data(), b.size(), flipped.data()));
    EXPECT_EQ(a, b);
  }
}

TEST(PayloadCipher, EveryKeyBitOutsideParityMatters) {
  std::mt19937 rng(13);
  Bytes key = RandomBytes(rng, 8);
  Bytes data = RandomBytes(rng, 16);
  Bytes reference = data;
  ASSERT_TRUE(DecipherBuffer(reference.data(), reference.size(), key.data()));
  for (int bit = 1; bit < 8; ++bit) {
    for (int byte = 0; byte < 8; ++byte) {
      Bytes other = key;
      other[byte] ^= uint8_t(1 << bit);
      Bytes out = data;
      ASSERT_TRUE(DecipherBuffer(out.data(), out.size(), other.data()));
      EXPECT_NE(out, reference) << "byte " << byte << " bit " << bit;
    }
  }
}

TEST(PayloadCipher, TailIsLeftAlone) {
  const KnownAnswer& k = kKnownAnswers[0];
  Bytes buffer = Hex(k.cipher);
  Bytes tail{0xDE, 0xAD, 0xBE, 0xEF};
  buffer.insert(buffer.end(), tail.begin(), tail.end());
  ASSERT_TRUE(DecipherBuffer(buffer.data(), buffer.size(), Hex(k.key).data()));
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 8), Hex(k.plain));
  EXPECT_EQ(Bytes(buffer.begin() + 8, buffer.end()), tail);
}

TEST(PayloadCipher, ShortBuffersAreUnchanged) {
  Bytes key = Hex(kKnownAnswers[1].key);
  for (size_t n = 0; n < 8; ++n) {
    Bytes buffer(n, 0x33);
    Bytes before = buffer;
    EXPECT_TRUE(DecipherBuffer(buffer.data(), n, key.data()));
    EXPECT_TRUE(EncipherBuffer(buffer.data(), n, key.data()));
    EXPECT_EQ(buffer, before);
  }
}

TEST(PayloadCipher, OnlyTheFirstEightKeyBytesCount) {
  std::mt19937 rng(17);
  Bytes area1 = RandomBytes(rng, 32);
  Bytes area2 = area1;
  for (size_t i = 8; i < area2.size(); ++i) area2[i] ^= 0xFF;
  Bytes data = RandomBytes(rng, 24);
  Bytes a = data, b = data;
  ASSERT_TRUE(DecipherBuffer(a.data(), a.size(), area1.data()));
  ASSERT_TRUE(DecipherBuffer(b.data(), b.size(), area2.data()));
  EXPECT_EQ(a, b);
}

TEST(PayloadCipher, EncipherThenDecipherRestores) {
  std::mt19937 rng(19);
  for (size_t n : {8u, 15u, 16u, 24u, 1000u, 4096u, 65541u}) {
    Bytes key = RandomBytes(rng, 8);
    Bytes data = RandomBytes(rng, n);
    Bytes work = data;
    ASSERT_TRUE(EncipherBuffer(work.data(), work.size(), key.data()));
    EXPECT_NE(work, data);
    ASSERT_TRUE(DecipherBuffer(work.data(), work.size(), key.data()));
    EXPECT_EQ(work, data) << n;
  }
}

TEST(PayloadCipher, FailedTableAllocationLeavesBufferAndNoTables) {
  std::mt19937 rng(29);
  const KnownAnswer& k = kKnownAnswers[0];
  // One block: four tables; a whole batch: a fifth, the bitsliced work area, where it runs.
  const int tables = des_bitslice::Available() ? 5 : 4;
  for (size_t blocks : {size_t(1), des_bitslice::kBatchBlocks}) {
    Bytes cipher = RandomBytes(rng, 8 * blocks);
    const Bytes first = Hex(k.cipher);
    std::copy(first.begin(), first.end(), cipher.begin());
    // Each table in turn cannot be obtained.
    for (int allowed = 0; allowed < (blocks == 1 ? 4 : tables); ++allowed) {
      Bytes buffer = cipher;
      des_table_fake::FailAfter(allowed);
      EXPECT_FALSE(DecipherBuffer(buffer.data(), buffer.size(), Hex(k.key).data())) << allowed;
      des_table_fake::FailAfter(-1);
      EXPECT_EQ(buffer, cipher);
      EXPECT_EQ(des_table_fake::Outstanding(), 0);
      // The next call starts afresh.
      ASSERT_TRUE(DecipherBuffer(buffer.data(), buffer.size(), Hex(k.key).data()));
      EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 8), Hex(k.plain));
      EXPECT_EQ(des_table_fake::Outstanding(), 0);
    }
  }
}

TEST(PayloadCipher, KeyMaterialIsClearedBeforeRelease) {
  std::mt19937 rng(31);
  Bytes key = RandomBytes(rng, 8);
  Bytes data = RandomBytes(rng, 8 * 300);
  des_table_fake::ResetCounts();
  ASSERT_TRUE(DecipherBuffer(data.data(), data.size(), key.data()));
  ASSERT_TRUE(EncipherBuffer(data.data(), data.size(), key.data()));
  EXPECT_EQ(des_table_fake::Released(16 * 8), 2);
  EXPECT_EQ(des_table_fake::ReleasedNonZero(16 * 8), 0);
  if (des_bitslice::Available()) {
    EXPECT_EQ(des_table_fake::Released(des_bitslice::kWorkBytes), 2);
    EXPECT_EQ(des_table_fake::ReleasedNonZero(des_bitslice::kWorkBytes), 0);
  }
}

// Every S-box circuit on all 64 inputs at once: bit v of each word is input value v.
TEST(PayloadCipher, SBoxCircuitsMatchTheTables) {
  using Box = void (*)(const uint64_t&, const uint64_t&, const uint64_t&, const uint64_t&, const uint64_t&,
                       const uint64_t&, uint64_t&, uint64_t&, uint64_t&, uint64_t&);
  using namespace des_circuits;
  const Box boxes[8] = {SBox1<uint64_t>, SBox2<uint64_t>, SBox3<uint64_t>, SBox4<uint64_t>,
                        SBox5<uint64_t>, SBox6<uint64_t>, SBox7<uint64_t>, SBox8<uint64_t>};
  uint64_t x[6] = {};
  for (int v = 0; v < 64; ++v)
    for (int i = 0; i < 6; ++i) x[i] |= uint64_t(v >> (5 - i) & 1) << v;
  for (int s = 0; s < 8; ++s) {
    // The outputs are XORed in: start from a pattern and take it off again.
    const uint64_t start[4] = {0, ~uint64_t(0), 0x0123456789ABCDEFull, 0xF0F0F0F00F0F0F0Full};
    uint64_t y[4] = {start[0], start[1], start[2], start[3]};
    boxes[s](x[0], x[1], x[2], x[3], x[4], x[5], y[0], y[1], y[2], y[3]);
    for (int v = 0; v < 64; ++v) {
      int row = (v >> 4 & 2) | (v & 1), column = v >> 1 & 15;
      int expected = des_standard::kS[s][row * 16 + column];
      int got = 0;
      for (int j = 0; j < 4; ++j) got = got << 1 | int((y[j] ^ start[j]) >> v & 1);
      ASSERT_EQ(got, expected) << "S" << s + 1 << " input " << v;
    }
  }
}

TEST(PayloadCipher, UnalignedBuffersAndBothDirections) {
  std::mt19937 rng(37);
  Bytes key = RandomBytes(rng, 8);
  Bytes data = RandomBytes(rng, 8 * 260 + 5);
  Bytes reference = data;
  for (size_t i = 0; i + 8 <= reference.size(); i += 8)
    ASSERT_TRUE(DecipherBuffer(reference.data() + i, 8, key.data()));
  for (size_t offset = 1; offset < 16; offset += 3) {
    Bytes area(data.size() + 16, 0xA5);
    std::copy(data.begin(), data.end(), area.begin() + offset);
    ASSERT_TRUE(DecipherBuffer(area.data() + offset, data.size(), key.data()));
    EXPECT_TRUE(std::equal(reference.begin(), reference.end(), area.begin() + offset)) << offset;
    EXPECT_EQ(area[offset - 1], 0xA5);
    EXPECT_EQ(area[offset + data.size()], 0xA5);
    ASSERT_TRUE(EncipherBuffer(area.data() + offset, data.size(), key.data()));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), area.begin() + offset)) << offset;
  }
}

TEST(PayloadCipher, ThreadsDoNotShareTables) {
  std::mt19937 rng(23);
  struct Job {
    Bytes key, data, expected, result;
  };
  std::vector<Job> jobs(6);
  for (Job& j : jobs) {
    j.key = RandomBytes(rng, 8);
    j.data = RandomBytes(rng, 8 * 4096);
    j.expected = j.data;
    ASSERT_TRUE(DecipherBuffer(j.expected.data(), j.expected.size(), j.key.data()));
  }
  // A failure injected on one thread must not reach the others.
  des_table_fake::FailAfter(0);
  std::vector<std::thread> threads;
  for (Job& j : jobs) {
    threads.emplace_back([&j] {
      for (int round = 0; round < 8; ++round) {
        j.result = j.data;
        if (!DecipherBuffer(j.result.data(), j.result.size(), j.key.data())) j.result.clear();
        if (j.result != j.expected) return;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  des_table_fake::FailAfter(-1);
  for (const Job& j : jobs) EXPECT_EQ(j.result, j.expected);
}

}  // namespace
