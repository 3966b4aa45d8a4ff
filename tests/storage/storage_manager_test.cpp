// Opening, reading and writing archives: layouts byte for byte, refusals and round trips.
#include "storage/storage_manager.h"

#include <gtest/gtest.h>

#include "storage/storage_format.h"
#include "storage/zlib_codec.h"
#include "tests/storage/test_util.h"

using tolvane::test::Bytes;
using tolvane::test::PutU32At;
using tolvane::test::SampleContent;
using tolvane::test::U32At;

namespace {

StorageManager NewPackage() { return StorageManager(kPackageSignature, kPackageVersion); }

TEST(ArchiveLayout, OneRawEntryGivesThe208ByteArchive) {
  std::vector<uint8_t> bytes;
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(bytes, OpenOrCreate));
  ASSERT_EQ(3, m.WriteEntryRaw("a", "xyz", 3));
  ASSERT_TRUE(m.Close());

  std::vector<uint8_t> expected(208, 0);
  expected[0] = 0x56; expected[1] = 0x52; expected[2] = 0x00; expected[3] = 0x06;
  PutU32At(expected, 92, 160);  // directoryOffset; headerFlags stay 0
  PutU32At(expected, 128, 3);   // block 2: storedLength 3, payload
  expected[132] = 'x'; expected[133] = 'y'; expected[134] = 'z';
  PutU32At(expected, 144, 6);   // block 1: root list, one entry "a" -> 2
  expected[148] = 1; expected[149] = 'a'; PutU32At(expected, 150, 2);
  PutU32At(expected, 160, 30);  // block 0: three records
  const uint32_t records[3][3] = {{1, 160, 48}, {1, 144, 16}, {1, 128, 16}};
  for (int i = 0; i < 3; ++i) {
    size_t at = 164 + i * 10;
    expected[at] = static_cast<uint8_t>(records[i][0]);
    PutU32At(expected, at + 2, records[i][1]);
    PutU32At(expected, at + 6, records[i][2]);
  }
  EXPECT_EQ(expected, bytes);
}

TEST(ArchiveLayout, ThreeEntriesLieInWritingOrderThenRootListThenDirectory) {
  std::vector<uint8_t> bytes;
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(bytes, OpenOrCreate));
  auto big = SampleContent(5000, 1);
  ASSERT_GT(m.WriteEntry("zeta", big.data(), 5000), 0);
  ASSERT_GT(m.WriteEntry("alpha", "hello", 5), 0);
  ASSERT_GT(m.WriteEntry("mid", big.data(), 100), 0);
  const auto& d = m.Directory();
  ASSERT_EQ(5u, d.size());
  EXPECT_EQ(128u, d[2].offset);
  EXPECT_EQ(d[2].offset + d[2].size, d[3].offset);
  EXPECT_EQ(d[3].offset + d[3].size, d[4].offset);
  uint32_t blocksEnd = d[4].offset + d[4].size;
  ASSERT_TRUE(m.Close());

  ASSERT_TRUE(m.Open(bytes, OpenRead));
  const auto& r = m.Directory();
  EXPECT_EQ(blocksEnd, r[1].offset);
  EXPECT_EQ(r[1].offset + r[1].size, r[0].offset);
  EXPECT_EQ(r[0].offset + r[0].size, bytes.size());
  EXPECT_EQ(r[0].offset, U32At(bytes, 92));
  for (const auto& rec : r) EXPECT_EQ(0u, rec.size % 16);
  EXPECT_EQ(0, m.CheckIntegrity());
  std::vector<uint8_t> out;
  EXPECT_EQ(5000, m.ReadEntry("zeta", out));
  EXPECT_EQ(big, out);
  EXPECT_EQ(5, m.ReadEntry("alpha", out));
  EXPECT_EQ(Bytes("hello"), out);
}

TEST(ArchiveOpen, EmptyHeaderOnlyArchiveHasNoEntries) {
  std::vector<uint8_t> bytes;
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(bytes, OpenOrCreate));
  EXPECT_EQ(128u, bytes.size());
  ASSERT_TRUE(m.Close());
  ASSERT_TRUE(m.Open(bytes, OpenRead));
  EXPECT_TRUE(m.Root().entries.empty());
  EXPECT_TRUE(m.Directory().empty());
  std::vector<uint8_t> out;
  EXPECT_EQ(StorageNoEntry, m.ReadEntry("x", out));
}

}  // namespace
