// Space management: best fit, merging, trimming, moving, tail give-back, copies and the
// refusals of the writing operations.
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdint>

#include "storage/storage_manager.h"
#include "tests/storage/test_util.h"

using tolvane::test::Bytes;
using tolvane::test::FreeRegions;
using tolvane::test::ImageBuilder;
using tolvane::test::SampleContent;
using tolvane::test::U32At;

namespace {

using Regions = std::vector<std::pair<uint32_t, uint32_t>>;

class Space : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m.Open(bytes, CreateNew)); }

  // A block whose region is exactly size bytes (16, 32, 48 or 64).
  int32_t Block(uint32_t size, char fill = 'x') {
    std::string payload(size - 7, fill);
    int32_t b = m.CreateBlockRaw(payload.data(), static_cast<uint32_t>(payload.size()));
    EXPECT_GE(b, 2);
    EXPECT_EQ(size, m.Directory()[b].size);
    return b;
  }
  const BlockRecord& Rec(int32_t b) { return m.Directory()[static_cast<size_t>(b)]; }

  std::vector<uint8_t> bytes;
  StorageManager m{kPackageSignature, kPackageVersion};
};

TEST_F(Space, DeletingTheLastBlockShortensTheArchive) {
  Block(16);
  int32_t b = Block(16);
  EXPECT_EQ(160u, m.End());
  EXPECT_EQ(1, m.DeleteBlock(b));
  EXPECT_EQ(144u, m.End());
  EXPECT_EQ(144u, bytes.size());
  EXPECT_TRUE(FreeRegions(m).empty());
  EXPECT_EQ(0, m.CheckIntegrity());
}

TEST_F(Space, DeletingInTheMiddleLeavesAFreeRecordAndNeighboursMerge) {
  int32_t a = Block(16), b = Block(16), c = Block(16);
  Block(16);
  EXPECT_EQ(1, m.DeleteBlock(b));
  EXPECT_EQ((Regions{{144, 16}}), FreeRegions(m));
  EXPECT_EQ(BlockFree, Rec(b).type);  // the freed number records the space
  EXPECT_EQ(1, m.DeleteBlock(c));
  EXPECT_EQ((Regions{{144, 32}}), FreeRegions(m));
  EXPECT_EQ(BlockFree, Rec(b).type);
  EXPECT_EQ(BlockVacant, Rec(c).type);
  EXPECT_EQ(1, m.DeleteBlock(a));
  EXPECT_EQ((Regions{{128, 48}}), FreeRegions(m));
  EXPECT_EQ(0, m.CheckIntegrity());
}

TEST_F(Space, MergingBothNeighboursKeepsTheLowerRecordNumber) {
  Block(16);                            // block 2 at 128
  int64_t p = m.AllocateSpace(16, StorageManager::kNoRecord);  // 144, held by nobody
  int64_t q = m.AllocateSpace(16, StorageManager::kNoRecord);  // 160
  int64_t r = m.AllocateSpace(16, StorageManager::kNoRecord);  // 176
  Block(16);                            // block 3 at 192
  ASSERT_EQ(144, p);
  ASSERT_TRUE(m.ReleaseSpace(static_cast<uint32_t>(r), 16, StorageManager::kNoRecord));  // record 4
  ASSERT_TRUE(m.ReleaseSpace(static_cast<uint32_t>(p), 16, StorageManager::kNoRecord));  // record 5
  ASSERT_EQ(BlockFree, m.Directory()[4].type);
  ASSERT_EQ(144u, m.Directory()[5].offset);
  // The region between them: prev is record 5, next record 4; the merge lands in 4.
  ASSERT_TRUE(m.ReleaseSpace(static_cast<uint32_t>(q), 16, StorageManager::kNoRecord));
  EXPECT_EQ(BlockFree, m.Directory()[4].type);
  EXPECT_EQ(144u, m.Directory()[4].offset);
  EXPECT_EQ(48u, m.Directory()[4].size);
  EXPECT_EQ(BlockVacant, m.Directory()[5].type);
  EXPECT_EQ(0, m.CheckIntegrity());
}

TEST_F(Space, ReleasingTheLastRegionTrimsInsteadOfRecording) {
  Block(16);
  int64_t p = m.AllocateSpace(32, StorageManager::kNoRecord);
  EXPECT_EQ(176u, m.End());
  ASSERT_TRUE(m.ReleaseSpace(static_cast<uint32_t>(p), 32, StorageManager::kNoRecord));
  EXPECT_EQ(144u, m.End());
  EXPECT_TRUE(FreeRegions(m).empty());
}

TEST_F(Space, BestFitTakesTheSmallestRegionAndLeavesItsTail) {
  int32_t a = Block(48);
  Block(16);
  int32_t b = Block(64);
  Block(16);
  m.DeleteBlock(b);
  m.DeleteBlock(a);
  ASSERT_EQ((Regions{{128, 48}, {192, 64}}), FreeRegions(m));
  int32_t n = m.CreateBlockRaw(std::string(28, 'n').data(), 28);  // needs 32
  EXPECT_EQ(128u, Rec(n).offset);
  EXPECT_EQ(32u, Rec(n).size);
  EXPECT_EQ((Regions{{160, 16}, {192, 64}}), FreeRegions(m));
  EXPECT_EQ(0, m.CheckIntegrity());
}

TEST_F(Space, EqualFitsGoToTheLowerOffsetWhateverTheRecordNumber) {
  Block(16);                                                   // 128
  int64_t p = m.AllocateSpace(16, StorageManager::kNoRecord);  // 144
  Block(16);                                                   // 160
  int64_t q = m.AllocateSpace(16, StorageManager::kNoRecord);  // 176
  Block(16);                                                   // 192
  m.ReleaseSpace(static_cast<uint32_t>(q), 16, StorageManager::kNoRecord);  // lower number
  m.ReleaseSpace(static_cast<uint32_t>(p), 16, StorageManager::kNoRecord);  // higher number
  int32_t n = m.CreateBlockRaw("abc", 3);
  EXPECT_EQ(144u, Rec(n).offset);
  EXPECT_EQ((Regions{{176, 16}}), FreeRegions(m));
}

TEST_F(Space, ExactFitVacatesTheFreeRecord) {
  Block(16);
  int32_t b = Block(32);
  Block(16);
  m.DeleteBlock(b);
  int32_t n = m.CreateBlockRaw(std::string(20, 'q').data(), 20);
  EXPECT_EQ(b, n);  // the free record was vacated and its number reused
  EXPECT_TRUE(FreeRegions(m).empty());
  EXPECT_EQ(0, m.CheckIntegrity());
}

TEST_F(Space, GrowingABlockInTheMiddleMovesItAndGrowingTheLastExtends) {
  int32_t a = Block(16);
  Block(16);
  std::string grown(20, 'g');
  ASSERT_EQ(20, m.RewriteBlockRaw(a, grown.data(), 20));
  EXPECT_EQ(160u, Rec(a).offset);
  EXPECT_EQ(32u, Rec(a).size);
  EXPECT_EQ((Regions{{128, 16}}), FreeRegions(m));
  std::string last(40, 'L');
  ASSERT_EQ(40, m.RewriteBlockRaw(a, last.data(), 40));
  EXPECT_EQ(160u, Rec(a).offset);
  EXPECT_EQ(48u, Rec(a).size);
  EXPECT_EQ(208u, m.End());
  std::vector<uint8_t> out;
  EXPECT_EQ(40, m.ReadBlockRaw(a, out));
  EXPECT_EQ(Bytes(last), out);
  EXPECT_EQ(0, m.CheckIntegrity());
}

TEST_F(Space, ShorterRewriteGivesTheTailToAFollowingFreeRegion) {
  int32_t a = Block(48);
  int32_t b = Block(16);
  Block(16);
  m.DeleteBlock(b);
  ASSERT_EQ(20, m.RewriteBlockRaw(a, std::string(20, 's').data(), 20));
  EXPECT_EQ(128u, Rec(a).offset);
  EXPECT_EQ(32u, Rec(a).size);
  EXPECT_EQ((Regions{{160, 32}}), FreeRegions(m));
  EXPECT_EQ(0, m.CheckIntegrity());
}

TEST_F(Space, ShorterRewriteGivesTheTailToANewFreeRecordBeforeAUsedBlock) {
  int32_t a = Block(48);
  Block(16);
  ASSERT_EQ(20, m.RewriteBlockRaw(a, std::string(20, 's').data(), 20));
  EXPECT_EQ(32u, Rec(a).size);
  EXPECT_EQ((Regions{{160, 16}}), FreeRegions(m));
  EXPECT_EQ(0, m.CheckIntegrity());
}

TEST_F(Space, ShorterRewriteOfTheLastBlockShortensTheArchive) {
  Block(16);
  int32_t a = Block(64);
  ASSERT_EQ(3, m.RewriteBlockRaw(a, "abc", 3));
  EXPECT_EQ(16u, Rec(a).size);
  EXPECT_EQ(160u, m.End());
  EXPECT_EQ(160u, bytes.size());
}

TEST_F(Space, ShorterRewriteWithoutCompactKeepsTheRegion) {
  int32_t a = Block(48);
  Block(16);
  ASSERT_EQ(3, m.RewriteBlockRaw(a, "abc", 3, false));
  EXPECT_EQ(48u, Rec(a).size);
  EXPECT_TRUE(FreeRegions(m).empty());
  std::vector<uint8_t> out;
  EXPECT_EQ(3, m.ReadBlockRaw(a, out));
}

TEST_F(Space, CompactRewriteMovesIntoASmallerFreeRegion) {
  int32_t a = Block(64);
  Block(16);
  int32_t c = Block(16);
  Block(16);
  m.DeleteBlock(c);  // free [208,16)
  ASSERT_EQ(5, m.RewriteBlockRaw(a, "small", 5));
  EXPECT_EQ(208u, Rec(a).offset);
  EXPECT_EQ(16u, Rec(a).size);
  EXPECT_EQ((Regions{{128, 64}}), FreeRegions(m));
  std::vector<uint8_t> out;
  EXPECT_EQ(5, m.ReadBlockRaw(a, out));
  EXPECT_EQ(Bytes("small"), out);
  EXPECT_EQ(0, m.CheckIntegrity());
}

TEST_F(Space, RewriteToEmptyKeepsASixteenByteRegion) {
  int32_t a = Block(48);
  Block(16);
  ASSERT_EQ(0, m.RewriteBlock(a, nullptr, 0));
  EXPECT_EQ(16u, Rec(a).size);
  EXPECT_EQ(0, m.GetBlockLength(a));
  EXPECT_EQ(StorageBadBlock, m.RewriteBlockRaw(0, "x", 1));
  EXPECT_EQ(0, m.RewriteBlockRaw(0, nullptr, 0));
  EXPECT_EQ(StorageBadBlock, m.RewriteBlockRaw(500, "x", 1));
}

TEST_F(Space, WriteBlockCreatesRewritesAndDeletes) {
  auto content = SampleContent(3000, 8);
  int32_t b = m.WriteBlock(0, content.data(), 3000);
  ASSERT_GE(b, 2);
  std::vector<uint8_t> out;
  EXPECT_EQ(3000, m.ReadBlock(b, out));
  EXPECT_EQ(content, out);
  EXPECT_EQ(b, m.WriteBlock(b, "abc", 3));
  EXPECT_EQ(3, m.ReadBlock(b, out));
  EXPECT_EQ(0, m.WriteBlock(b, nullptr, 0));
  EXPECT_EQ(BlockVacant, Rec(b).type);
  // A vacant number can be written again under the same number.
  EXPECT_EQ(4, m.RewriteBlockRaw(b, "abcd", 4));
  EXPECT_EQ(BlockData, Rec(b).type);
}

TEST_F(Space, CheckIntegrityFindsGapsOverlapsAndAWrongEnd) {
  std::vector<uint8_t> image;
  {
    ImageBuilder b;
    uint32_t x = b.Place(Bytes("one"));
    uint32_t y = b.Place(Bytes("two"));
    b.Data(2, x, 16);
    b.Data(3, y, 32);  // runs into the directory's region
    image = b.Finish();
  }
  StorageManager damaged(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(damaged.Open(image, OpenRead));
  uint32_t first = 0;
  EXPECT_EQ(StorageIntegrityFailed, damaged.CheckIntegrity(&first));
  EXPECT_EQ(0u, first);  // the directory starts inside block 3
  image.resize(image.size() + 16);  // now also too long
  ASSERT_TRUE(damaged.Open(image, OpenRead));
  EXPECT_EQ(StorageIntegrityFailed, damaged.CheckIntegrity(&first));
}

// --- Refusals of the writing operations

TEST_F(Space, EmptyAndOverlongNamesAreRefused) {
  std::string longest(255, 'n'), tooLong(256, 'n');
  EXPECT_EQ(0, m.WriteEntry("", "abc", 3));
  EXPECT_EQ(0, m.WriteEntryRaw("", "abc", 3));
  EXPECT_EQ(0, m.WriteEntry(tooLong, "abc", 3));
  EXPECT_EQ(0, m.WriteEntryRaw(tooLong, "abc", 3));
  EXPECT_EQ(nullptr, m.CreateFolder(""));
  EXPECT_EQ(nullptr, m.CreateFolder(tooLong));
  EXPECT_TRUE(m.Root().entries.empty());
  EXPECT_TRUE(m.Directory().empty());
  ASSERT_GT(m.WriteEntry(longest, "abc", 3), 0);
  ASSERT_TRUE(m.Close());
  ASSERT_TRUE(m.Open(bytes, OpenRead));
  std::vector<uint8_t> out;
  EXPECT_EQ(3, m.ReadEntry(longest, out));
}

TEST_F(Space, SubfolderNamesCannotBeOverwrittenOrDeletedAsFiles) {
  ASSERT_NE(nullptr, m.CreateFolder("dir"));
  auto before = m.Directory();
  EXPECT_EQ(0, m.WriteEntryRaw("dir", "abc", 3));  // never saved: no block yet
  EXPECT_EQ(0, m.WriteEntry("dir", "abc", 3));
  EXPECT_EQ(before.size(), m.Directory().size());
  EXPECT_EQ(kEntryFolder, m.Root().entries.at("dir"));
  EXPECT_EQ(0, m.DeleteEntry("dir"));
  EXPECT_EQ(1u, m.Root().entries.count("dir"));

  StorageFolder* dir = m.Root().subfolders.at("dir");
  ASSERT_GT(m.WriteEntry(*dir, "inner", "content", 7), 0);
  ASSERT_TRUE(m.CloseFolder(dir));  // saved: now it has a block
  EXPECT_NE(0u, m.Root().entries.at("dir") & kEntryBlockMask);
  EXPECT_EQ(0, m.WriteEntryRaw("dir", "abc", 3));
  EXPECT_EQ(0, m.DeleteEntry("dir"));
  EXPECT_EQ(0, m.WriteEntry("dir", nullptr, 0));
  StorageFolder* again = m.OpenFolder("dir");
  ASSERT_NE(nullptr, again);
  std::vector<uint8_t> out;
  EXPECT_EQ(7, m.ReadEntry(*again, "inner", out));
}

TEST_F(Space, DeletingANeverSavedSubfolderIsRefused) {
  StorageFolder* f = m.CreateFolder("new");
  ASSERT_NE(nullptr, f);
  ASSERT_GT(m.WriteEntry(*f, "x", "abc", 3), 0);
  EXPECT_FALSE(m.DeleteFolder(f));
  EXPECT_EQ(1u, m.Root().entries.count("new"));
  // Once saved it can be deleted, and its blocks go with it.
  ASSERT_TRUE(m.CloseFolder(f));
  f = m.OpenFolder("new");
  ASSERT_NE(nullptr, f);
  EXPECT_TRUE(m.DeleteFolder(f));
  EXPECT_EQ(0u, m.Root().entries.count("new"));
  ASSERT_TRUE(m.Close());
  ASSERT_TRUE(m.Open(bytes, OpenRead));
  EXPECT_TRUE(m.Directory().empty());
  EXPECT_EQ(128u, bytes.size());
}

TEST_F(Space, NameRefusedWhenAlreadyTakenByAFileOrFolder) {
  ASSERT_GT(m.WriteEntry("file", "abc", 3), 0);
  EXPECT_EQ(nullptr, m.CreateFolder("file"));
  ASSERT_NE(nullptr, m.CreateFolder("dir"));
  EXPECT_EQ(nullptr, m.CreateFolder("dir"));
  EXPECT_EQ(nullptr, m.OpenFolder("file"));
}

// --- Copies

TEST_F(Space, CopyDropsFreeSpaceAndHasTheExpectedLength) {
  std::vector<std::vector<uint8_t>> contents;
  for (int i = 0; i < 12; ++i) {
    contents.push_back(SampleContent(200 + 300 * i, i));
    ASSERT_GT(m.WriteEntry("e" + std::to_string(i), contents.back().data(),
                           static_cast<uint32_t>(contents.back().size())),
              0);
  }
  for (int i = 0; i < 12; i += 3) ASSERT_EQ(0, m.DeleteEntry("e" + std::to_string(i)));
  ASSERT_TRUE(m.Close());
  ASSERT_TRUE(m.Open(bytes, OpenRead));
  ASSERT_FALSE(FreeRegions(m).empty());
  uint64_t blocks = 0;
  for (size_t i = 1; i < m.Directory().size(); ++i) {
    if (m.Directory()[i].type == BlockData) blocks += m.Directory()[i].size;
  }
  std::vector<uint8_t> copy;
  StorageManagerMemoryStream target;
  target.Open(copy, CreateNew);
  ASSERT_EQ(0, m.CopyTo(target, false));

  StorageManager c(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(c.Open(copy, OpenRead));
  EXPECT_TRUE(FreeRegions(c).empty());
  EXPECT_EQ(0, c.CheckIntegrity());
  EXPECT_EQ(128 + blocks + c.Directory()[0].size, copy.size());
  EXPECT_EQ(copy.size(), c.Directory()[0].offset + c.Directory()[0].size);
  for (int i = 0; i < 12; ++i) {
    std::vector<uint8_t> out;
    if (i % 3 == 0) {
      EXPECT_EQ(StorageNoEntry, c.ReadEntry("e" + std::to_string(i), out));
    } else {
      EXPECT_EQ(static_cast<int32_t>(contents[i].size()), c.ReadEntry("e" + std::to_string(i), out));
      EXPECT_EQ(contents[i], out);
    }
  }
}

TEST_F(Space, CopyWithCompressedDirectoryEndsAtRecordZerosRegion) {
  // Many archives of different shapes: record 0's declared region must end exactly where
  // each copy ends, whatever the last compression came to.
  for (int n = 2; n < 120; n += 7) {
    std::vector<uint8_t> src;
    StorageManager s(kPackageSignature, kPackageVersion);
    s.SetRequestedOptions(OptionCompressDirectory | OptionCompressFolders);
    ASSERT_TRUE(s.Open(src, CreateNew));
    for (int i = 0; i < n; ++i) {
      std::string name = "entry" + std::to_string(i * 7919 % 1000);
      auto content = SampleContent(17 + (i * 131) % 900, i);
      ASSERT_GT(s.WriteEntryRaw(name, content.data(), static_cast<uint32_t>(content.size())), 0);
    }
    for (int i = 0; i < n; i += 2) s.DeleteEntry("entry" + std::to_string(i * 7919 % 1000));
    std::vector<uint8_t> copy;
    StorageManagerMemoryStream target;
    target.Open(copy, CreateNew);
    ASSERT_EQ(0, s.CopyTo(target, false)) << n;
    StorageManager c(kPackageSignature, kPackageVersion);
    ASSERT_TRUE(c.Open(copy, OpenRead)) << n;
    EXPECT_EQ(0, c.CheckIntegrity()) << n;
    ASSERT_FALSE(c.Directory().empty()) << n;
    EXPECT_EQ(copy.size(), uint64_t{c.Directory()[0].offset} + c.Directory()[0].size) << n;
    EXPECT_EQ(uint32_t{OptionCompressDirectory}, c.Options() & OptionCompressDirectory);
  }
}

TEST_F(Space, CopyOfAnEmptiedArchiveIsTheHeaderAlone) {
  ASSERT_GT(m.WriteEntry("a", "abc", 3), 0);
  ASSERT_TRUE(m.Close());
  ASSERT_TRUE(m.Open(bytes, OpenReadWrite));
  ASSERT_NE(0u, U32At(bytes, 92));
  ASSERT_EQ(0, m.DeleteEntry("a"));
  std::vector<uint8_t> copy(1000, 0xEE);
  StorageManagerMemoryStream target;
  target.Open(copy, OpenReadWrite);
  ASSERT_EQ(0, m.CopyTo(target, false));
  EXPECT_EQ(128u, copy.size());
  EXPECT_EQ(0u, U32At(copy, 92));
}

TEST(SpaceCopy, UnreadableBlockIsLostWhenToleratedAndFailsOtherwise) {
  ImageBuilder b;
  uint32_t good = b.Place(tolvane::test::Stored(Bytes("good content")));
  b.Data(2, good, 32);
  b.Data(3, 4096, 64);  // far beyond the end of the stream
  auto list = tolvane::test::FolderList({{"bad", 3}, {"good", 2}});
  uint32_t at = b.Place(list);
  b.Data(1, at, 32);
  auto image = b.Finish();
  StorageManager m(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(m.Open(image, OpenRead));
  std::vector<uint8_t> copy;
  StorageManagerMemoryStream target;
  target.Open(copy, CreateNew);
  EXPECT_EQ(StorageReadFailed, m.CopyTo(target, false));
  ASSERT_EQ(StorageBlockLost, m.CopyTo(target, true));
  StorageManager c(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(c.Open(copy, OpenRead));
  EXPECT_EQ(BlockLost, c.Directory()[3].type);
  EXPECT_EQ(0, c.CheckIntegrity());
  std::vector<uint8_t> out;
  EXPECT_EQ(StorageBadBlock, c.ReadEntry("bad", out));
  EXPECT_EQ(12, c.ReadEntry("good", out));
}

TEST(SpaceCopy, LastRegionCutByTheStreamIsCopiedWhenItsPayloadIsThere) {
  std::vector<uint8_t> bytes;
  StorageManager m(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(m.Open(bytes, CreateNew));
  ASSERT_GT(m.WriteEntry("a", "abc", 3), 0);
  ASSERT_TRUE(m.Close());
  bytes.resize(bytes.size() - 3);  // padding of the directory's region
  ASSERT_TRUE(m.Open(bytes, OpenRead));
  EXPECT_TRUE(m.Status() & StatusSpaceLost);
  std::vector<uint8_t> copy;
  StorageManagerMemoryStream target;
  target.Open(copy, CreateNew);
  ASSERT_EQ(0, m.CopyTo(target, false));
  StorageManager c(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(c.Open(copy, OpenRead));
  EXPECT_EQ(0u, copy.size() % 16);
  EXPECT_EQ(0, c.CheckIntegrity());
}

TEST(SpaceClosed, OperationsOnAClosedArchiveReportNotOpen) {
  StorageManager m(kPackageSignature, kPackageVersion);
  std::vector<uint8_t> out;
  StorageManagerMemoryStream target;
  EXPECT_EQ(StorageNotOpen, m.ReadEntry("a", out));
  EXPECT_EQ(StorageNotOpen, m.WriteEntry("a", "x", 1));
  EXPECT_EQ(StorageNotOpen, m.CreateBlockRaw("x", 1));
  EXPECT_EQ(StorageNotOpen, m.DeleteBlock(2));
  EXPECT_EQ(StorageNotOpen, m.CopyTo(target, false));
  EXPECT_EQ(StorageNotOpen, m.CheckIntegrity());
  EXPECT_EQ(nullptr, m.CreateFolder("f"));
  EXPECT_TRUE(m.Close());
}

}  // namespace

namespace {

TEST_F(Space, FolderOpenCountsAndClosingOrder) {
  StorageFolder* a = m.CreateFolder("A");
  StorageFolder* b = m.CreateFolder(*a, "B");
  ASSERT_TRUE(a && b);
  ASSERT_GT(m.WriteEntry(*b, "leaf", "data", 4), 0);
  EXPECT_FALSE(m.CloseFolder(&m.Root()));
  EXPECT_FALSE(m.CloseFolder(a));  // B is still open
  EXPECT_EQ(b, m.OpenFolder(*a, "B"));
  EXPECT_EQ(2, b->openCount);
  EXPECT_TRUE(m.CloseFolder(b));
  EXPECT_EQ(b, a->subfolders.at("B"));  // still open once
  EXPECT_TRUE(m.CloseFolder(b));
  EXPECT_EQ(nullptr, a->subfolders.at("B"));
  EXPECT_TRUE(m.CloseFolder(a));
  EXPECT_FALSE(m.CloseFolder(a));  // no longer open: refused, not touched
  ASSERT_TRUE(m.Close());

  // Lists were written deepest first, so the whole path reads back.
  ASSERT_TRUE(m.Open(bytes, OpenRead));
  EXPECT_EQ(0, m.CheckIntegrity());
  StorageFolder* a2 = m.OpenFolder("A");
  ASSERT_NE(nullptr, a2);
  StorageFolder* b2 = m.OpenFolder(*a2, "B");
  ASSERT_NE(nullptr, b2);
  std::vector<uint8_t> out;
  EXPECT_EQ(4, m.ReadEntry(*b2, "leaf", out));
}

TEST_F(Space, CompressedFolderListsRoundTrip) {
  ASSERT_TRUE(m.Close());
  m.SetRequestedOptions(OptionCompressFolders | OptionCompressDirectory);
  ASSERT_TRUE(m.Open(bytes, CreateNew));
  EXPECT_EQ(3u, tolvane::test::U32At(bytes, 96));
  StorageFolder* f = m.CreateFolder("docs");
  for (int i = 0; i < 50; ++i) ASSERT_GT(m.WriteEntry(*f, "page" + std::to_string(i), "text", 4), 0);
  ASSERT_GT(m.WriteEntry("top", "t", 1), 0);
  ASSERT_TRUE(m.Close());
  StorageManager r(kPackageSignature, kPackageVersion);  // requests nothing: the header decides
  ASSERT_TRUE(r.Open(bytes, OpenRead));
  EXPECT_NE(0u, r.Root().entries.at("docs") & kEntryFolderCompressed);
  StorageFolder* docs = r.OpenFolder("docs");
  ASSERT_NE(nullptr, docs);
  EXPECT_EQ(50u, docs->entries.size());
  std::vector<uint8_t> out;
  EXPECT_EQ(4, r.ReadEntry(*docs, "page49", out));
}

TEST_F(Space, DetachedFolderLeavesItsParentAndKeepsItsBlocks) {
  StorageFolder* f = m.CreateFolder("gone");
  ASSERT_GT(m.WriteEntry(*f, "x", "abc", 3), 0);
  size_t records = m.Directory().size();
  EXPECT_TRUE(m.DetachFolder(f));
  EXPECT_EQ(0u, m.Root().entries.count("gone"));
  EXPECT_EQ(nullptr, f->parent);
  EXPECT_FALSE(m.DeleteFolder(f));
  EXPECT_TRUE(m.CloseFolder(f));
  EXPECT_GE(m.Directory().size(), records);
  ASSERT_NE(nullptr, m.CreateFolder("empty"));
  EXPECT_FALSE(m.DetachFolder("empty"));  // still open
  ASSERT_TRUE(m.CloseFolder(m.Root().subfolders.at("empty")));
  EXPECT_TRUE(m.DetachFolder("empty"));
  EXPECT_EQ(0, m.CheckIntegrity());
}

}  // namespace

namespace {

// The directory of this 128-byte archive lies in the header's description bytes and its
// record 0 has a type no writer makes; record 1 has no region yet.
std::vector<uint8_t> OddRecordZeroImage() {
  ImageBuilder b;
  auto& image = b.image();
  tolvane::test::PutU32At(image, 92, 4);
  tolvane::test::PutU32At(image, 4, 20);
  std::vector<BlockRecord> records(2);
  records[0] = BlockRecord{37, 0, 65536, 0};
  records[1] = BlockRecord{BlockData, 0, 0, 0};
  auto dir = ImageBuilder::DirectoryBytes(records);
  std::copy(dir.begin(), dir.end(), image.begin() + 8);
  return image;
}

TEST(SpaceDamaged, RecordZeroOfAnyTypeStillTakesTheDirectory) {
  auto bytes = OddRecordZeroImage();
  StorageManager m(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(m.Open(bytes, OpenReadWrite));
  ASSERT_EQ(0, m.CheckIntegrity());
  ASSERT_GT(m.WriteEntry("a", "content", 7), 0);
  EXPECT_TRUE(m.Close());
  ASSERT_TRUE(m.Open(bytes, OpenRead));
  EXPECT_EQ(0, m.CheckIntegrity());
  EXPECT_EQ(BlockData, m.Directory()[0].type);
  std::vector<uint8_t> out;
  EXPECT_EQ(7, m.ReadEntry("a", out));
}

TEST(SpaceDamaged, AFolderWhoseListBlockWasFreedGetsANewOne) {
  std::vector<uint8_t> bytes;
  StorageManager m(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(m.Open(bytes, CreateNew));
  StorageFolder* f = m.CreateFolder("f");
  ASSERT_GT(m.WriteEntry(*f, "x", "abc", 3), 0);
  ASSERT_GT(m.WriteEntry("pad", "abc", 3), 0);
  ASSERT_TRUE(m.Close());
  ASSERT_TRUE(m.Open(bytes, OpenReadWrite));
  uint32_t list = m.Root().entries.at("f") & kEntryBlockMask;
  f = m.OpenFolder("f");
  ASSERT_NE(nullptr, f);
  ASSERT_EQ(1, m.DeleteBlock(list));  // its number now records the freed space
  ASSERT_EQ(BlockFree, m.Directory()[list].type);
  ASSERT_GT(m.WriteEntry(*f, "y", "defg", 4), 0);
  EXPECT_TRUE(m.Close());
  ASSERT_TRUE(m.Open(bytes, OpenRead));
  EXPECT_EQ(0, m.CheckIntegrity());
  f = m.OpenFolder("f");
  ASSERT_NE(nullptr, f);
  std::vector<uint8_t> out;
  EXPECT_EQ(4, m.ReadEntry(*f, "y", out));
  EXPECT_EQ(3, m.ReadEntry(*f, "x", out));
}

}  // namespace

namespace {

using Payload = std::vector<uint8_t>;

// Hands out a payload in pieces of `piece` bytes; fails instead of the piece `failAt`.
class Pieces final : public StorageManager::PayloadSource {
 public:
  Pieces(const Payload& data, size_t piece, size_t failAt = SIZE_MAX) : data_(data), piece_(piece), failAt_(failAt) {}
  bool Next(const uint8_t*& data, uint32_t& length) override {
    if (count_++ == failAt_) return false;
    length = static_cast<uint32_t>(std::min(piece_, data_.size() - at_));
    data = data_.data() + at_;
    at_ += length;
    return true;
  }

 private:
  const Payload& data_;
  size_t piece_, failAt_, at_ = 0, count_ = 0;
};

TEST(AppendEntry, GivesTheBytesOfWrittenEntriesAndUndoesAFailedAppend) {
  const Payload a = SampleContent(70001, 1), b = SampleContent(13, 2), c = SampleContent(40000, 3);
  Payload written, appended;
  {
    StorageManager m(kPackageSignature, kPackageVersion);
    ASSERT_TRUE(m.Open(written, CreateNew));
    ASSERT_EQ(m.WriteEntryRaw("a", a.data(), uint32_t(a.size())), int32_t(a.size()));
    ASSERT_EQ(m.WriteEntryRaw("b", b.data(), uint32_t(b.size())), int32_t(b.size()));
    ASSERT_EQ(m.WriteEntryRaw("c", c.data(), uint32_t(c.size())), int32_t(c.size()));
    ASSERT_TRUE(m.Close());
  }
  StorageManager m(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(m.Open(appended, CreateNew));
  Pieces pa(a, 4096), pb(b, 1);
  ASSERT_EQ(m.AppendEntryRaw("a", pa), int32_t(a.size()));
  ASSERT_EQ(m.AppendEntryRaw("b", pb), int32_t(b.size()));
  // A source that fails half-way leaves the archive as it was, and so does an empty one.
  const uint32_t end = m.End();
  const size_t records = m.Directory().size();
  const Payload nothing;
  Pieces failing(c, 1000, 7), empty(nothing, 10), again(a, 10);
  EXPECT_EQ(m.AppendEntryRaw("c", failing), StorageWriteFailed);
  EXPECT_EQ(m.AppendEntryRaw("c", empty), 0);
  EXPECT_EQ(m.AppendEntryRaw("a", again), 0) << "only new names are appended";
  EXPECT_EQ(m.End(), end);
  EXPECT_EQ(appended.size(), end);
  EXPECT_EQ(m.Directory().size(), records);
  EXPECT_EQ(m.GetEntryLength("c"), StorageNoEntry);
  Pieces pc(c, 333);
  ASSERT_EQ(m.AppendEntryRaw("c", pc), int32_t(c.size()));
  EXPECT_EQ(m.CheckIntegrity(), 0);
  ASSERT_TRUE(m.Close());
  EXPECT_EQ(appended, written);
}

}  // namespace
