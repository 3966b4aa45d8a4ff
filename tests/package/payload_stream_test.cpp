// The deciphering stream against a whole-buffer DecipherBuffer, and an archive read
// through it.
#include <gtest/gtest.h>

#include <random>

#include "package/payload_cipher.h"
#include "package/payload_stream.h"
#include "storage/storage_manager.h"
#include "storage/storage_stream.h"

namespace {

const PayloadKey kKey = {0x5B, 0x2E, 0x9D, 0x13, 0xA7, 0xC4, 0xF0, 0x68};

std::vector<uint8_t> Noise(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(size);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

TEST(PayloadReadStream, ReadsAnywhereAsTheWholeBufferDeciphers) {
  constexpr uint32_t kWindow = PayloadReadStream::kWindow;
  // The payload lies at an odd offset in the source and ends in a tail of 5 bytes.
  const uint32_t offset = 13, length = 2 * kWindow + 4 * 8 + 5;
  const std::vector<uint8_t> source = Noise(offset + length + 7, 3);
  std::vector<uint8_t> expected(source.begin() + offset, source.begin() + offset + length);
  ASSERT_TRUE(DecipherBuffer(expected.data(), expected.size(), kKey.data()));

  StorageManagerConstMemoryStream backing(source.data(), static_cast<uint32_t>(source.size()));
  PayloadReadStream s(backing, offset, length, kKey);
  ASSERT_TRUE(s.IsReady());
  EXPECT_EQ(length, s.GetSize());
  struct Read {
    uint32_t at, n;
  } reads[] = {
      {0, 1},                        // inside the first block
      {5, 7},                        // across a block boundary
      {kWindow - 3, 9},              // across a window boundary
      {kWindow - 8, kWindow + 16},   // whole blocks, more than a window, from inside one
      {8, 2 * kWindow},              // long read of whole blocks past the window
      {2 * kWindow - 1, 38},         // into the tail that is left as it is
      {length - 5, 5},               // the tail alone
      {0, length},                   // everything
      {3, 0},
  };
  for (const Read& r : reads) {
    std::vector<uint8_t> got(r.n, 0xEE);
    ASSERT_TRUE(s.Seek(r.at)) << r.at;
    ASSERT_TRUE(s.Read(got.data(), r.n)) << r.at << "+" << r.n;
    EXPECT_EQ(r.at + r.n, s.Tell());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin() + r.at)) << r.at << "+" << r.n;
  }
  uint8_t b[2];
  ASSERT_TRUE(s.Seek(length - 1));
  EXPECT_FALSE(s.Read(b, 2));  // past the end: nothing
  EXPECT_FALSE(s.Seek(length + 1));
  EXPECT_FALSE(s.Write(b, 1));
  EXPECT_FALSE(s.SetSize(8, false));
  // A range beyond the source reads nothing.
  PayloadReadStream outside(backing, offset, static_cast<uint32_t>(source.size()), kKey);
  EXPECT_FALSE(outside.Read(b, 1));
}

TEST(PayloadReadStream, ArchiveThroughItReadsAsOverTheDecipheredBytes) {
  std::vector<uint8_t> plain;
  {
    StorageManager m(kPackageSignature, kPackageVersion);
    ASSERT_TRUE(m.Open(plain, OpenOrCreate));
    const auto big = Noise(1'500'000, 4);
    ASSERT_GT(m.WriteEntry("big", big.data(), static_cast<uint32_t>(big.size())), 0);
    StorageFolder* sub = m.CreateFolder("sub");
    ASSERT_NE(nullptr, sub);
    for (int i = 0; i < 50; ++i) {
      const std::string text(static_cast<size_t>(i) * 37 + 1, static_cast<char>('a' + i % 26));
      ASSERT_GT(m.WriteEntry(*sub, "f" + std::to_string(i), text.data(), static_cast<uint32_t>(text.size())), 0);
    }
    ASSERT_TRUE(m.Close());
  }
  plain.resize((plain.size() + 7) & ~size_t{7});
  std::vector<uint8_t> enciphered = plain;
  ASSERT_TRUE(EncipherBuffer(enciphered.data(), enciphered.size(), kKey.data()));

  StorageManagerConstMemoryStream backing(enciphered.data(), static_cast<uint32_t>(enciphered.size()));
  PayloadReadStream deciphering(backing, 0, static_cast<uint32_t>(enciphered.size()), kKey);
  StorageManager through(kPackageSignature, kPackageVersion), direct(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(through.OpenForReading(deciphering));
  ASSERT_TRUE(direct.OpenForReading(plain));
  std::vector<uint8_t> a, b;
  EXPECT_EQ(direct.ReadEntry("big", a), through.ReadEntry("big", b));
  EXPECT_EQ(a, b);
  StorageFolder* s1 = direct.OpenFolder("sub");
  StorageFolder* s2 = through.OpenFolder("sub");
  ASSERT_TRUE(s1 && s2);
  ASSERT_EQ(50u, s2->entries.size());
  for (const auto& e : s1->entries) {
    const std::string name(e.first);
    EXPECT_EQ(direct.ReadEntry(*s1, name, a), through.ReadEntry(*s2, name, b)) << name;
    EXPECT_EQ(a, b) << name;
  }
  // A wrong key gives no archive.
  PayloadKey wrong = kKey;
  wrong[0] ^= 2;
  PayloadReadStream wrongKey(backing, 0, static_cast<uint32_t>(enciphered.size()), wrong);
  StorageManager refused(kPackageSignature, kPackageVersion);
  EXPECT_FALSE(refused.OpenForReading(wrongKey));
}

}  // namespace
