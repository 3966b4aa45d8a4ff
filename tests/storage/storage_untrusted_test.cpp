// Archives crafted to exhaust the reader, or to make it read or write outside a block.
#include <gtest/gtest.h>

#include "storage/storage_format.h"
#include "storage/storage_manager.h"
#include "tests/storage/archive_bombs.h"

using namespace tolvane::test;
using namespace tolvane::storage_format;

namespace {

StorageManager NewPackage() { return StorageManager(kPackageSignature, kPackageVersion); }

bool Opens(std::vector<uint8_t> image) { return NewPackage().Open(image, OpenRead); }

// The bounds sit exactly where they are documented: a small archive may hold 65536
// records and a 2 MiB folder list, not one record or entry more.
TEST(UntrustedArchive, InflatedDirectoryAndListsStopAtTheArchivesMeasure) {
  EXPECT_TRUE(Opens(DirectoryBomb(kMinDirectoryRecords)));
  EXPECT_FALSE(Opens(DirectoryBomb(kMinDirectoryRecords + 1)));
  EXPECT_FALSE(Opens(DirectoryBomb(1u << 22, BlockFree)));
  EXPECT_TRUE(Opens(FolderBomb(kMinFolderListBytes / 6)));
  EXPECT_FALSE(Opens(FolderBomb(kMinFolderListBytes / 6 + 1)));

  auto index = EntryBomb(kMinChunkIndexBytes, 4);
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(index, OpenRead));
  EXPECT_EQ(0x7FFFFFFF, m.GetChunkedStreamLength(2));
  auto over = EntryBomb(kMinChunkIndexBytes + 4, 4);
  ASSERT_TRUE(m.Open(over, OpenRead));
  EXPECT_EQ(StorageNoChunkedStream, m.GetChunkedStreamLength(2));
}

TEST(UntrustedArchive, ReadsWithALimitInflateNoFurther) {
  auto image = EntryBomb(256u << 20);
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(image, OpenRead));
  std::vector<uint8_t> out;
  EXPECT_EQ(1000, m.ReadEntry("bomb", out, 1000));
  EXPECT_LT(out.capacity(), 64u << 10);
  uint8_t small[16];
  EXPECT_EQ(16, m.ReadEntry("bomb", small, sizeof small));
}

TEST(UntrustedArchive, BlockOverTheHeaderIsNeitherReadNorWritten) {
  auto image = HeaderOverlap();
  const std::vector<uint8_t> header(image.begin(), image.begin() + 128);
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(image, OpenReadWrite));
  std::vector<uint8_t> out;
  EXPECT_EQ(StorageBadBlock, m.ReadEntryRaw("h", out));
  EXPECT_EQ(StorageBadBlock, m.WriteBlockPart(2, "overwrite", 9, 0));
  EXPECT_EQ(StorageBadBlock, m.WriteEntryRaw("h", "new", 3));
  EXPECT_EQ(0, m.DeleteEntry("h"));
  EXPECT_TRUE(m.Status() & StatusSpaceLost);  // its space is not given out again
  EXPECT_EQ(3, m.WriteEntryRaw("n", "new", 3));
  ASSERT_TRUE(m.Close());
  EXPECT_TRUE(std::equal(header.begin() + 100, header.end(), image.begin() + 100));
  EXPECT_TRUE(std::equal(header.begin(), header.begin() + 92, image.begin()));
  ASSERT_TRUE(m.Open(image, OpenRead));
  EXPECT_EQ(3, m.ReadEntryRaw("n", out));
}

// Blocks 2 and 3 overlap, free record 4 lies over block 2, block 6 lies past the end.
TEST(UntrustedArchive, OverlappingAndOutlyingRegionsStayUntouched) {
  ImageBuilder b;
  const auto first = Bytes("0123456789abcdefghijklmnopqrstuvwxyz");
  uint32_t at = b.Place(first);  // 128..176
  b.Data(2, at, 48);
  b.Data(3, at + 16, 32);
  b.Record(4, BlockFree, at + 16, 32);
  b.Data(5, b.Place(Bytes("good")), 16);
  b.Data(6, 4096, 32);
  uint32_t list = b.Place(FolderList({{"a", 2}, {"b", 3}, {"g", 5}, {"p", 6}}));
  b.Data(1, list, 32);
  auto image = b.Finish();
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(image, OpenReadWrite));
  std::vector<uint8_t> out;
  for (const char* name : {"a", "b", "p"}) EXPECT_EQ(StorageBadBlock, m.ReadEntryRaw(name, out)) << name;
  EXPECT_EQ(4, m.ReadEntryRaw("g", out));
  // New data goes past the end, not over block 2 nor (once the archive has grown) block 6.
  const auto big = SampleContent(5000, 7);
  ASSERT_EQ(10, m.WriteEntryRaw("n", "0123456789", 10));
  ASSERT_EQ(5000, m.WriteEntryRaw("m", big.data(), 5000));
  EXPECT_EQ(StorageBadBlock, m.ReadEntryRaw("p", out));
  EXPECT_EQ(0, m.DeleteEntry("b"));
  ASSERT_TRUE(m.Close());
  EXPECT_TRUE(std::equal(first.begin(), first.end(), image.begin() + at + 4));
  ASSERT_TRUE(m.Open(image, OpenRead));
  EXPECT_EQ(5000, m.ReadEntryRaw("m", out));
  EXPECT_EQ(big, out);
  EXPECT_EQ(StorageIntegrityFailed, m.CheckIntegrity());
}

}  // namespace
