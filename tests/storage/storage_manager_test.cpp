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

namespace {

using tolvane::test::FolderList;
using tolvane::test::ImageBuilder;
using tolvane::test::Stored;

// An archive with one compressed file "f" holding content, in block 2.
std::vector<uint8_t> OneFileImage(const std::vector<uint8_t>& content, uint32_t headerFlags = 0) {
  ImageBuilder b(headerFlags);
  auto stored = Stored(content);
  uint32_t at = b.Place(stored);
  b.Data(2, at, (static_cast<uint32_t>(stored.size()) + 19) & ~15u);
  auto list = FolderList({{"f", 2}});
  uint32_t listAt = b.Place(list);
  b.Data(1, listAt, (static_cast<uint32_t>(list.size()) + 19) & ~15u);
  return b.Finish();
}

TEST(ArchiveOpen, LengthNotAMultipleOf16IsRoundedUpAndMarkedLost) {
  auto image = OneFileImage(Bytes("content"));
  image.resize(image.size() - 5);  // only padding of the directory's region goes
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(image, OpenRead));
  EXPECT_EQ(image.size() + 5, m.End());
  EXPECT_TRUE(m.Status() & StatusSpaceLost);
  std::vector<uint8_t> out;
  EXPECT_EQ(7, m.ReadEntry("f", out));
}

TEST(ArchiveOpen, SignatureOrVersionOffByOneBitIsRefused) {
  for (int bit = 0; bit < 32; ++bit) {
    auto image = OneFileImage(Bytes("x"));
    image[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
    StorageManager m = NewPackage();
    EXPECT_FALSE(m.Open(image, OpenRead)) << "bit " << bit;
    EXPECT_TRUE(m.IsClosed());
  }
}

TEST(ArchiveOpen, InMemoryArchiveShorterThanHeaderIsRefused) {
  auto image = OneFileImage(Bytes("x"));
  for (size_t n : {size_t{1}, size_t{92}, size_t{127}}) {
    std::vector<uint8_t> shortImage(image.begin(), image.begin() + n);
    StorageManager m = NewPackage();
    EXPECT_FALSE(m.Open(shortImage, OpenRead)) << n;
    EXPECT_FALSE(m.Open(shortImage, OpenOrCreate)) << n;
    EXPECT_EQ(n, shortImage.size());
  }
}

TEST(ArchiveOpen, PlainDirectoryLengthNotAMultipleOf10IsRefused) {
  ImageBuilder b;
  std::vector<uint8_t> dir(25, 0);
  uint32_t at = b.Place(dir);
  PutU32At(b.image(), 92, at);
  StorageManager m = NewPackage();
  EXPECT_FALSE(m.Open(b.image(), OpenRead));
}

TEST(ArchiveOpen, CompressedDirectoryOf25BytesGivesTwoRecords) {
  ImageBuilder b(1);
  std::vector<uint8_t> dir(25, 0);  // two vacant records and five spare bytes
  uint32_t at = b.Place(Stored(dir));
  PutU32At(b.image(), 92, at);
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(b.image(), OpenRead));
  EXPECT_EQ(2u, m.Directory().size());
  EXPECT_EQ(uint32_t{OptionCompressDirectory}, m.Options() & OptionCompressDirectory);
}

TEST(ArchiveOpen, PlainDirectoryOfHugeLengthIsRefused) {
  ImageBuilder b;
  uint32_t at = b.Place({}, 0xA0000000u);
  PutU32At(b.image(), 92, at);
  StorageManager m = NewPackage();
  EXPECT_FALSE(m.Open(b.image(), OpenRead));
  PutU32At(b.image(), at, 0x7FFFFFF0u);  // a multiple of 10 far beyond the stream
  EXPECT_FALSE(m.Open(b.image(), OpenRead));
}

TEST(ArchiveOpen, DirectoryOffsetOutsideTheStreamIsRefused) {
  auto image = OneFileImage(Bytes("x"));
  PutU32At(image, 92, static_cast<uint32_t>(image.size()) - 2);
  StorageManager m = NewPackage();
  EXPECT_FALSE(m.Open(image, OpenRead));
}

std::vector<uint8_t> RootListImage(const std::vector<uint8_t>& list, uint32_t headerFlags = 0) {
  ImageBuilder b(headerFlags);
  uint32_t at = b.Place(list);
  b.Data(1, at, (static_cast<uint32_t>(list.size()) + 19) & ~15u);
  return b.Finish();
}

TEST(ArchiveOpen, UnreadableDirectoryOrRootListIsRefused) {
  StorageManager m = NewPackage();
  // A compressed directory that does not inflate.
  ImageBuilder bad(1);
  uint32_t at = bad.Place(Bytes("not deflate data at all"));
  PutU32At(bad.image(), 92, at);
  EXPECT_FALSE(m.Open(bad.image(), OpenRead));
  // A compressed root list that does not inflate.
  auto list = RootListImage(Bytes("garbage!"), 2);
  EXPECT_FALSE(m.Open(list, OpenRead));
  // A root list whose stored length runs past the stream.
  ImageBuilder past;
  uint32_t listAt = past.Place(FolderList({{"a", 0}}), 4000, 16);
  past.Data(1, listAt, 16);
  auto image = past.Finish();
  EXPECT_FALSE(m.Open(image, OpenRead));
  // A root list record out of the stream altogether.
  ImageBuilder far;
  far.Data(1, 0x100000, 16);
  auto farImage = far.Finish();
  EXPECT_FALSE(m.Open(farImage, OpenRead));
  EXPECT_TRUE(m.IsClosed());
}

TEST(ArchiveOpen, RootListWithZeroNameLengthIsRefused) {
  auto list = FolderList({{"a", 0}});
  list.push_back(0);
  list.insert(list.end(), 4, 0);
  StorageManager m = NewPackage();
  auto image = RootListImage(list);
  EXPECT_FALSE(m.Open(image, OpenRead));
  auto compressedImage = RootListImage(Stored(list), 2);
  EXPECT_FALSE(m.Open(compressedImage, OpenRead));
}

TEST(ArchiveOpen, RootListWhoseLastRecordRunsPastItsEndIsRefused) {
  auto list = FolderList({{"a", 0}, {"bb", 0}});
  // Plain: the stored length stops one byte before the end of the last record.
  ImageBuilder b;
  uint32_t at = b.Place(list, static_cast<uint32_t>(list.size() - 1));
  b.Data(1, at, 32);
  auto image = b.Finish();
  StorageManager m = NewPackage();
  EXPECT_FALSE(m.Open(image, OpenRead));
  // Compressed: the inflated list lacks the last byte.
  std::vector<uint8_t> cut(list.begin(), list.end() - 1);
  auto compressedImage = RootListImage(Stored(cut), 2);
  EXPECT_FALSE(m.Open(compressedImage, OpenRead));
  auto whole = RootListImage(Stored(list), 2);
  EXPECT_TRUE(m.Open(whole, OpenRead));
  EXPECT_EQ(2u, m.Root().entries.size());
}

TEST(ArchiveOpen, NameTwiceKeepsTheLaterValue) {
  auto image = RootListImage(FolderList({{"dup", 5}, {"x", 6}, {"dup", 7}}));
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(image, OpenRead));
  EXPECT_EQ(7u, m.Root().entries.at("dup"));
  EXPECT_EQ(2u, m.Root().entries.size());
}

TEST(ArchiveOpen, WrongVersionLeavesClosedAndALaterGoodOpenWorks) {
  auto good = OneFileImage(Bytes("payload"));
  StorageManager other(kPackageSignature, kPackageVersion + 1);
  EXPECT_FALSE(other.Open(good, OpenRead));
  EXPECT_TRUE(other.IsClosed());
  EXPECT_EQ(StorageNotOpen, other.GetEntryLength("f"));
  StorageManager m = NewPackage();
  auto bad = good;
  bad[2] ^= 1;
  EXPECT_FALSE(m.Open(bad, OpenRead));
  ASSERT_TRUE(m.Open(good, OpenRead));
  std::vector<uint8_t> out;
  EXPECT_EQ(7, m.ReadEntry("f", out));
}

TEST(ArchiveOpen, ReadOnlyCloseLeavesBytesUnchanged) {
  auto image = OneFileImage(SampleContent(3000, 5));
  auto before = image;
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(image, OpenRead));
  std::vector<uint8_t> out;
  EXPECT_EQ(3000, m.ReadEntry("f", out));
  EXPECT_TRUE(m.Close());
  EXPECT_EQ(before, image);
}

// --- Reads

TEST(ArchiveRead, AbsentNameGivesNoEntryAndRawGivesZero) {
  auto image = OneFileImage(Bytes("x"));
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(image, OpenRead));
  std::vector<uint8_t> out{1, 2, 3};
  EXPECT_EQ(StorageNoEntry, m.ReadEntry("g", out));
  EXPECT_TRUE(out.empty());
  out = {1};
  EXPECT_EQ(0, m.ReadEntryRaw("g", out));
  EXPECT_TRUE(out.empty());
  char buf[4];
  EXPECT_EQ(0, m.ReadEntryRaw("g", buf, 4));
  EXPECT_EQ(StorageNoEntry, m.GetEntryLength("g"));
}

TEST(ArchiveRead, EmptyContentInflatesToNothing) {
  std::vector<uint8_t> bytes;
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(bytes, CreateNew));
  auto stored = Stored({});
  ASSERT_GT(m.WriteEntryRaw("empty", stored.data(), static_cast<uint32_t>(stored.size())), 0);
  std::vector<uint8_t> out{9};
  EXPECT_EQ(0, m.ReadEntry("empty", out));
  EXPECT_TRUE(out.empty());
}

TEST(ArchiveRead, MaxSizeCutsTheContent) {
  auto content = SampleContent(100, 3);
  auto image = OneFileImage(content);
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(image, OpenRead));
  std::vector<uint8_t> out;
  EXPECT_EQ(10, m.ReadEntry("f", out, 10));
  EXPECT_EQ(std::vector<uint8_t>(content.begin(), content.begin() + 10), out);
  EXPECT_EQ(100, m.ReadEntry("f", out, 0xFFFFFFFFu));
  EXPECT_EQ(content, out);
  EXPECT_EQ(100, m.ReadEntry("f", out));
  uint8_t small[7];
  EXPECT_EQ(7, m.ReadEntry("f", small, 7));
  EXPECT_TRUE(std::equal(small, small + 7, content.begin()));
  auto stored = Stored(content);
  EXPECT_EQ(static_cast<int32_t>(stored.size()), m.GetEntryLength("f"));
  EXPECT_EQ(5, m.ReadEntryRaw("f", out, 5));
  EXPECT_EQ(std::vector<uint8_t>(stored.begin(), stored.begin() + 5), out);
  EXPECT_EQ(static_cast<int32_t>(stored.size()), m.ReadEntryRaw("f", out));
  EXPECT_EQ(stored, out);
}

TEST(ArchiveRead, NamesDifferingInCaseAreDifferentEntries) {
  std::vector<uint8_t> bytes;
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(bytes, CreateNew));
  ASSERT_GT(m.WriteEntry("Readme.txt", "upper", 5), 0);
  ASSERT_GT(m.WriteEntry("readme.txt", "lower!", 6), 0);
  ASSERT_TRUE(m.Close());
  ASSERT_TRUE(m.Open(bytes, OpenRead));
  std::vector<uint8_t> out;
  EXPECT_EQ(5, m.ReadEntry("Readme.txt", out));
  EXPECT_EQ(Bytes("upper"), out);
  EXPECT_EQ(6, m.ReadEntry("readme.txt", out));
  EXPECT_EQ(StorageNoEntry, m.ReadEntry("README.TXT", out));
}

TEST(ArchiveRead, StoredLengthEqualToRegionIsRefused) {
  ImageBuilder b;
  uint32_t at = b.Place(Bytes("abcdefghijkl"), 16, 16);
  b.Data(2, at, 16);
  auto list = FolderList({{"f", 2}});
  uint32_t listAt = b.Place(list);
  b.Data(1, listAt, 16);
  auto image = b.Finish();
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(image, OpenRead));
  std::vector<uint8_t> out;
  EXPECT_EQ(StorageBadBlock, m.GetEntryLength("f"));
  EXPECT_EQ(StorageBadBlock, m.ReadEntry("f", out));
  EXPECT_EQ(StorageBadBlock, m.ReadEntryRaw("f", out));
}

TEST(ArchiveRead, LostFreeAndOutOfRangeBlocksAreRefused) {
  ImageBuilder b;
  uint32_t at = b.Place(Stored(Bytes("abc")));
  b.Record(2, BlockLost, at, 16);
  uint32_t freeAt = b.Place({}, 0, 16);
  b.Record(3, BlockFree, freeAt, 16);
  auto list = FolderList({{"free", 3}, {"lost", 2}, {"far", 99}});
  uint32_t listAt = b.Place(list);
  b.Data(1, listAt, (static_cast<uint32_t>(list.size()) + 19) & ~15u);
  auto image = b.Finish();
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(image, OpenRead));
  std::vector<uint8_t> out;
  for (const char* name : {"free", "lost", "far"}) EXPECT_EQ(StorageBadBlock, m.ReadEntry(name, out)) << name;
  EXPECT_EQ(StorageBadBlock, m.ReadBlockRaw(2, out));
  EXPECT_EQ(StorageBadBlock, m.GetBlockLength(1000));
  EXPECT_EQ(0, m.GetBlockLength(0));
}

TEST(ArchiveRead, WrongChecksumFailsToInflate) {
  auto content = SampleContent(500, 4);
  auto image = OneFileImage(content);
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(image, OpenRead));
  uint32_t block = m.Root().entries.at("f");
  uint32_t offset = m.Directory()[block].offset;
  uint32_t stored = U32At(image, offset);
  ASSERT_TRUE(m.Close());
  image[offset + 4 + stored - 1] ^= 0x55;  // last byte of the Adler-32 trailer
  ASSERT_TRUE(m.Open(image, OpenRead));
  std::vector<uint8_t> out;
  EXPECT_EQ(StorageInflateFailed, m.ReadEntry("f", out));
  std::ostringstream s;
  EXPECT_EQ(StorageInflateFailed, m.ReadEntryToStream("f", s));
}

TEST(ArchiveRead, PayloadRunningPastTheStreamGivesReadFailure) {
  // Root list at 128, directory (three records) at 144..192, then block 2 at 192..208,
  // which claims 11 payload bytes while the stream ends after 4 of them.
  ImageBuilder b;
  auto list = FolderList({{"f", 2}});
  uint32_t listAt = b.Place(list);
  b.Data(1, listAt, 16);
  b.Data(2, 192, 16);
  auto image = b.Finish();
  ASSERT_EQ(192u, image.size());
  image.resize(208, 0);
  PutU32At(image, 192, 11);
  image.resize(192 + 8);
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(image, OpenRead));
  std::vector<uint8_t> out;
  EXPECT_EQ(StorageReadFailed, m.GetEntryLength("f"));
  EXPECT_EQ(StorageReadFailed, m.ReadEntryRaw("f", out));
  EXPECT_EQ(StorageReadFailed, m.ReadEntry("f", out));
  EXPECT_TRUE(out.empty());
  image.resize(192 + 15);  // now the whole payload is there
  ASSERT_TRUE(m.Open(image, OpenRead));
  EXPECT_EQ(11, m.GetEntryLength("f"));
}

TEST(ArchiveRead, BlockPartsAndStreams) {
  std::vector<uint8_t> bytes;
  StorageManager m = NewPackage();
  ASSERT_TRUE(m.Open(bytes, CreateNew));
  int32_t block = m.CreateBlockRaw("0123456789", 10);
  ASSERT_GE(block, 2);
  char part[8] = {};
  EXPECT_EQ(4, m.ReadBlockPart(block, part, 4, 3));
  EXPECT_EQ(std::string("3456"), std::string(part, 4));
  EXPECT_EQ(2, m.ReadBlockPart(block, part, 8, 8));
  EXPECT_EQ(0, m.ReadBlockPart(block, part, 8, 10));
  EXPECT_EQ(0, m.ReadBlockPart(0, part, 8, 0));
  EXPECT_EQ(3, m.WriteBlockPart(block, "abcdef", 6, 7));
  std::vector<uint8_t> out;
  EXPECT_EQ(10, m.ReadBlockRaw(block, out));
  EXPECT_EQ(Bytes("0123456abc"), out);

  auto content = SampleContent(70000, 9);
  ASSERT_GT(m.WriteEntry("big", content.data(), 70000), 0);
  std::ostringstream s;
  s << "pre";
  EXPECT_EQ(70003, m.ReadEntryToStream("big", s));
  EXPECT_EQ(content, Bytes(s.str().substr(3)));
}

// --- Compact image

TEST(CompactImage, StripAndRestoreRoundTrip) {
  auto image = OneFileImage(SampleContent(900, 2), 3);
  StorageManager m = NewPackage();
  std::vector<uint8_t> compact, restored;
  ASSERT_EQ(static_cast<int32_t>(image.size() - 120), StorageManager::StripHeader(image, compact));
  EXPECT_TRUE(std::equal(image.begin() + 92, image.begin() + 100, compact.begin()));
  ASSERT_EQ(static_cast<int32_t>(image.size()), m.RestoreHeader(compact, restored));
  EXPECT_EQ(image, restored);
  std::vector<uint8_t> header(image.begin(), image.begin() + 128);
  EXPECT_EQ(0, StorageManager::StripHeader(header, compact));
  EXPECT_TRUE(compact.empty());
  EXPECT_EQ(0, m.RestoreHeader({}, restored));
  EXPECT_TRUE(restored.empty());
  EXPECT_EQ(0, m.RestoreHeader({1, 2, 3}, restored));
}

TEST(CompactImage, RestoreTakesSignatureFromTheObjectAndDropsTheDescription) {
  auto image = OneFileImage(Bytes("abc"));
  image[10] = 0x77;  // description byte
  std::vector<uint8_t> compact, restored;
  StorageManager::StripHeader(image, compact);
  StorageManager other(0x1234, 0x0101);
  other.RestoreHeader(compact, restored);
  EXPECT_EQ(0x34, restored[0]);
  EXPECT_EQ(0x12, restored[1]);
  EXPECT_EQ(0x01, restored[2]);
  EXPECT_EQ(0, restored[10]);
}

}  // namespace
