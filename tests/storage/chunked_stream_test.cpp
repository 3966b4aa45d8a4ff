// Chunked streams: splitting requests into chunks, both kinds, resizing, the index cache
// and its eviction, repair of damaged indexes, and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>

#include "storage/storage_manager.h"
#include "tests/storage/test_util.h"

#ifndef _WIN32
#include <sys/resource.h>

#include <unistd.h>

#include <csignal>
#include <filesystem>
#endif

using tolvane::test::SampleContent;
using tolvane::test::U32At;

namespace {

class Chunked : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    m.SetRequestedOptions(GetParam());
    ASSERT_TRUE(m.Open(bytes, CreateNew));
  }

  // Closes and opens again: the cache is gone and every index is read from the archive.
  void Reopen() {
    ASSERT_TRUE(m.Close());
    ASSERT_TRUE(m.Open(bytes, OpenReadWrite));
    ASSERT_TRUE(m.ChunkCache().empty());
  }

  std::vector<uint8_t> ReadAll(uint32_t block) {
    int32_t length = m.GetChunkedStreamLength(block);
    EXPECT_GE(length, 0);
    std::vector<uint8_t> out(static_cast<size_t>(std::max(length, 0)));
    EXPECT_EQ(length, m.ReadChunkedStream(block, out.data(), static_cast<uint32_t>(out.size()), 0));
    return out;
  }

  std::vector<uint32_t> Chunks(uint32_t block) {
    std::vector<uint32_t> out;
    const ChunkedStream* s = m.LookupChunkedStream(block);
    EXPECT_NE(nullptr, s);
    if (s) {
      EXPECT_EQ(static_cast<int32_t>(s->chunks.size()), StorageManager::ListChunks(*s, out));
    }
    return out;
  }

  // Blocks in use besides the directory and the root list.
  size_t DataBlocks() const {
    const auto& d = m.Directory();
    if (d.size() < 3) return 0;
    return static_cast<size_t>(
        std::count_if(d.begin() + 2, d.end(), [](const BlockRecord& r) { return r.type == BlockData; }));
  }

  std::vector<uint8_t> bytes;
  StorageManager m{kPackageSignature, kPackageVersion};
};

// --- Splitting requests -------------------------------------------------------------------

TEST_P(Chunked, TenThousandBytesInThreeChunksReadFromTheEnd) {
  for (uint16_t kind : {ChunkKindPlain, ChunkKindCompressed}) {
    auto content = SampleContent(10000, kind);
    int32_t block = m.CreateChunkedStream(content.data(), 10000, 4092, kind);
    ASSERT_GE(block, 2);
    for (int pass = 0; pass < 2; ++pass) {
      EXPECT_EQ(3u, Chunks(block).size());
      EXPECT_EQ(10000, m.GetChunkedStreamLength(block));
      std::vector<uint8_t> tail(100);
      ASSERT_EQ(100, m.ReadChunkedStream(block, tail.data(), 100, -100));
      EXPECT_TRUE(std::equal(tail.begin(), tail.end(), content.end() - 100));
      // A request that runs past the end is cut there.
      std::vector<uint8_t> across(5000);
      ASSERT_EQ(1908, m.ReadChunkedStream(block, across.data(), 5000, 8092));
      EXPECT_TRUE(std::equal(across.begin(), across.begin() + 1908, content.begin() + 8092));
      EXPECT_EQ(content, ReadAll(block));
      Reopen();
    }
  }
}

TEST_P(Chunked, OffsetsAtAndBeyondTheEnd) {
  auto content = SampleContent(300, 1);
  int32_t block = m.CreateChunkedStream(content.data(), 300, 128, ChunkKindPlain);
  ASSERT_GE(block, 2);
  uint8_t buffer[16];
  EXPECT_EQ(0, m.ReadChunkedStream(block, buffer, 16, 300));
  EXPECT_EQ(StorageChunkOffsetOutside, m.ReadChunkedStream(block, buffer, 16, 301));
  EXPECT_EQ(StorageChunkOffsetOutside, m.ReadChunkedStream(block, buffer, 16, -301));
  EXPECT_EQ(16, m.ReadChunkedStream(block, buffer, 16, -300));
  EXPECT_EQ(0, m.WriteChunkedStream(block, buffer, 16, 300));
  EXPECT_EQ(StorageChunkOffsetOutside, m.WriteChunkedStream(block, buffer, 16, 301));
  // Writing never extends a stream.
  EXPECT_EQ(6, m.WriteChunkedStream(block, "abcdefgh", 8, 294));
  EXPECT_EQ(300, m.GetChunkedStreamLength(block));
  EXPECT_EQ(0, m.ReadChunkedStream(block, buffer, 0, 10));
}

TEST_P(Chunked, CompressedStreamGrowsWithoutAnyChunkBlock) {
  int32_t block = m.CreateChunkedStream(nullptr, 0, 4092, ChunkKindCompressed);
  ASSERT_GE(block, 2);
  size_t blocksBefore = DataBlocks();
  ASSERT_TRUE(m.ResizeChunkedStream(block, 8184));
  EXPECT_EQ((std::vector<uint32_t>{0, 0}), Chunks(block));
  EXPECT_EQ(blocksBefore, DataBlocks());
  Reopen();
  EXPECT_EQ(std::vector<uint8_t>(8184, 0), ReadAll(block));
  EXPECT_EQ(blocksBefore, DataBlocks());
}

TEST_P(Chunked, PartialWritesKeepTheNeighbouringBytes) {
  for (uint16_t kind : {ChunkKindPlain, ChunkKindCompressed}) {
    auto model = SampleContent(250, 5);
    int32_t block = m.CreateChunkedStream(model.data(), 250, 100, kind);
    ASSERT_GE(block, 2);
    std::vector<uint8_t> piece(50, 'P');
    ASSERT_EQ(50, m.WriteChunkedStream(block, piece.data(), 50, 0));
    std::copy(piece.begin(), piece.end(), model.begin());
    EXPECT_EQ(model, ReadAll(block));
    // Across a chunk boundary, and a piece that ends the stream in its last chunk.
    std::vector<uint8_t> across(120, 'Q');
    ASSERT_EQ(120, m.WriteChunkedStream(block, across.data(), 120, 70));
    std::copy(across.begin(), across.end(), model.begin() + 70);
    std::vector<uint8_t> last(50, 'R');
    ASSERT_EQ(50, m.WriteChunkedStream(block, last.data(), 50, -50));
    std::copy(last.begin(), last.end(), model.begin() + 200);
    EXPECT_EQ(model, ReadAll(block));
    Reopen();
    EXPECT_EQ(model, ReadAll(block));
    EXPECT_EQ(0, m.CheckIntegrity());
  }
}

TEST_P(Chunked, CompressedChunksOfZerosGetBlocksOnlyWhenWritten) {
  int32_t block = m.CreateChunkedStream(nullptr, 0, 1000, ChunkKindCompressed);
  ASSERT_TRUE(m.ResizeChunkedStream(block, 3000));
  ASSERT_EQ(4, m.WriteChunkedStream(block, "data", 4, 1500));
  auto chunks = Chunks(block);
  ASSERT_EQ(3u, chunks.size());
  EXPECT_EQ(0u, chunks[0]);
  EXPECT_GE(chunks[1], 2u);
  EXPECT_EQ(0u, chunks[2]);
  // The new number was saved with the index.
  Reopen();
  EXPECT_EQ(chunks, Chunks(block));
  auto all = ReadAll(block);
  EXPECT_EQ(0, std::memcmp(all.data() + 1500, "data", 4));
  EXPECT_EQ(3000 - 4, std::count(all.begin(), all.end(), 0));
}

// --- Resizing and deleting ----------------------------------------------------------------

TEST_P(Chunked, ShrinkingFreesChunksAndGrowingShowsZeros) {
  for (uint16_t kind : {ChunkKindPlain, ChunkKindCompressed}) {
    auto content = SampleContent(1000, 9);
    int32_t block = m.CreateChunkedStream(content.data(), 1000, 300, kind);
    ASSERT_GE(block, 2);
    auto chunks = Chunks(block);
    ASSERT_EQ(4u, chunks.size());
    ASSERT_TRUE(m.ResizeChunkedStream(block, 450));
    EXPECT_EQ(2u, Chunks(block).size());
    EXPECT_NE(BlockData, m.Directory()[chunks[2]].type);
    EXPECT_NE(BlockData, m.Directory()[chunks[3]].type);
    // What the last chunk kept beyond the shorter end does not come back.
    ASSERT_TRUE(m.ResizeChunkedStream(block, 1000));
    auto all = ReadAll(block);
    EXPECT_TRUE(std::equal(content.begin(), content.begin() + 450, all.begin()));
    EXPECT_EQ(std::vector<uint8_t>(550, 0), std::vector<uint8_t>(all.begin() + 450, all.end()));
    EXPECT_TRUE(m.ResizeChunkedStream(block, 1000));  // same length: nothing to do
    EXPECT_EQ(0, m.CheckIntegrity());
  }
}

TEST_P(Chunked, NewPlainChunksAreZeroFilledOverFreedSpace) {
  std::vector<uint8_t> secret(4000, 0xEE);
  int32_t old = m.CreateBlockRaw(secret.data(), 4000);
  m.CreateBlockRaw("keep the space from being cut off", 33);
  ASSERT_EQ(1, m.DeleteBlock(static_cast<uint32_t>(old)));
  int32_t block = m.CreateChunkedStream(nullptr, 0, 1000, ChunkKindPlain);
  ASSERT_TRUE(m.ResizeChunkedStream(block, 3500));
  EXPECT_EQ(std::vector<uint8_t>(3500, 0), ReadAll(block));
}

TEST_P(Chunked, DeletingFreesEveryBlockAndTheIndex) {
  size_t before = DataBlocks();
  uint32_t end = m.End();
  auto content = SampleContent(5000, 2);
  int32_t plain = m.CreateChunkedStream(content.data(), 5000, 512, ChunkKindPlain);
  int32_t packed = m.CreateChunkedStream(content.data(), 5000, 512, ChunkKindCompressed);
  ASSERT_GE(plain, 2);
  ASSERT_GE(packed, 2);
  ASSERT_TRUE(m.ResizeChunkedStream(packed, 9000));  // some chunks of zeros among them
  EXPECT_TRUE(m.DeleteChunkedStream(packed));
  EXPECT_TRUE(m.DeleteChunkedStream(plain));
  EXPECT_EQ(before, DataBlocks());
  EXPECT_EQ(end, m.End());
  EXPECT_TRUE(m.ChunkCache().empty());
  EXPECT_FALSE(m.DeleteChunkedStream(plain));
  EXPECT_EQ(StorageNoChunkedStream, m.GetChunkedStreamLength(plain));
}

TEST_P(Chunked, TheIndexIsStoredCompressedOnlyWhenTheArchiveSaysSo) {
  auto content = SampleContent(3000, 4);
  int32_t block = m.CreateChunkedStream(content.data(), 3000, 1000, ChunkKindPlain);
  std::vector<uint8_t> stored, expected(8 + 3 * 4);
  ASSERT_GT(m.ReadBlockRaw(block, stored), 0);
  auto chunks = Chunks(block);
  expected[0] = 0x56, expected[1] = 0x52, expected[2] = 1000 & 0xFF, expected[3] = 1000 >> 8;
  tolvane::test::PutU32At(expected, 4, 3000);
  for (size_t i = 0; i < 3; ++i) tolvane::test::PutU32At(expected, 8 + 4 * i, chunks[i]);
  if (GetParam() & OptionCompressChunkIndex) {
    EXPECT_EQ(tolvane::test::Stored(expected), stored);
    EXPECT_EQ(4u, U32At(bytes, 96) & 4u);
  } else {
    EXPECT_EQ(expected, stored);
  }
}

// --- Refusals -----------------------------------------------------------------------------

TEST_P(Chunked, BlocksThatAreNoStreamAreRefused) {
  auto content = SampleContent(2000, 3);
  int32_t file = m.WriteEntry("file", content.data(), 2000) > 0 ? static_cast<int32_t>(m.Root().entries["file"]) : -1;
  ASSERT_GE(file, 2);
  uint8_t buffer[8];
  for (uint32_t block : {0u, 1u, static_cast<uint32_t>(file), 999u}) {
    EXPECT_EQ(StorageNoChunkedStream, m.GetChunkedStreamLength(block)) << block;
    EXPECT_EQ(StorageNoChunkedStream, m.ReadChunkedStream(block, buffer, 8, 0)) << block;
    EXPECT_EQ(StorageNoChunkedStream, m.WriteChunkedStream(block, buffer, 8, 0)) << block;
    EXPECT_FALSE(m.ResizeChunkedStream(block, 10)) << block;
    EXPECT_FALSE(m.DeleteChunkedStream(block)) << block;
    EXPECT_EQ(0, m.RepairChunkedStream(block)) << block;
  }
  // Creation: no chunk size, no such kind.
  size_t records = m.Directory().size();
  EXPECT_EQ(StorageWriteFailed, m.CreateChunkedStream(content.data(), 10, 0, ChunkKindPlain));
  EXPECT_EQ(StorageWriteFailed, m.CreateChunkedStream(content.data(), 10, 100, 0x1234));
  EXPECT_EQ(records, m.Directory().size());
  EXPECT_EQ(0, m.CheckIntegrity());
}

TEST_P(Chunked, IndexesThatWouldAliasBlocksAreRefused) {
  auto content = SampleContent(600, 8);
  int32_t block = m.CreateChunkedStream(content.data(), 600, 200, ChunkKindPlain);
  auto chunks = Chunks(block);
  ASSERT_EQ(3u, chunks.size());
  auto rewrite = [&](std::vector<uint32_t> list, uint16_t chunkSize = 200, uint32_t length = 600) {
    std::vector<uint8_t> index(8 + 4 * list.size());
    index[0] = 0x56, index[1] = 0x52, index[2] = static_cast<uint8_t>(chunkSize), index[3] = chunkSize >> 8;
    tolvane::test::PutU32At(index, 4, length);
    for (size_t i = 0; i < list.size(); ++i) tolvane::test::PutU32At(index, 8 + 4 * i, list[i]);
    auto size = static_cast<uint32_t>(index.size());
    bool packed = (GetParam() & OptionCompressChunkIndex) != 0;
    ASSERT_GT(packed ? m.RewriteBlock(block, index.data(), size) : m.RewriteBlockRaw(block, index.data(), size), 0);
    ASSERT_TRUE(m.Close());
    ASSERT_TRUE(m.Open(bytes, OpenReadWrite));
  };
  // A chunk named twice: writing the first would change the second.
  rewrite({chunks[0], chunks[1], chunks[0]});
  EXPECT_EQ(StorageNoChunkedStream, m.GetChunkedStreamLength(block));
  // The index as its own chunk, and a chunk size of 0.
  rewrite({chunks[0], static_cast<uint32_t>(block), chunks[2]});
  EXPECT_EQ(StorageNoChunkedStream, m.GetChunkedStreamLength(block));
  rewrite({}, 0, 0);
  EXPECT_EQ(StorageNoChunkedStream, m.GetChunkedStreamLength(block));
  EXPECT_EQ(0, m.RepairChunkedStream(block));
  // Fewer chunks than the length needs.
  rewrite({chunks[0], chunks[1]});
  EXPECT_EQ(StorageNoChunkedStream, m.GetChunkedStreamLength(block));
  EXPECT_EQ(1, m.RepairChunkedStream(block));
  EXPECT_EQ(400, m.GetChunkedStreamLength(block));
}

// --- Repair -------------------------------------------------------------------------------

TEST_P(Chunked, RepairCutsAPlainStreamBeforeItsFirstDamagedChunk) {
  auto content = SampleContent(5000, 6);
  int32_t block = m.CreateChunkedStream(content.data(), 5000, 1000, ChunkKindPlain);
  auto chunks = Chunks(block);
  ASSERT_EQ(5u, chunks.size());
  ASSERT_EQ(999, m.RewriteBlockRaw(chunks[2], content.data(), 999));  // third chunk: wrong length
  Reopen();
  EXPECT_EQ(StorageNoChunkedStream, m.GetChunkedStreamLength(block));
  EXPECT_EQ(1, m.RepairChunkedStream(block));
  EXPECT_EQ(2000, m.GetChunkedStreamLength(block));
  EXPECT_EQ((std::vector<uint32_t>{chunks[0], chunks[1]}), Chunks(block));
  EXPECT_EQ(std::vector<uint8_t>(content.begin(), content.begin() + 2000), ReadAll(block));
  EXPECT_EQ(0, m.RepairChunkedStream(block));
  Reopen();
  EXPECT_EQ(2000, m.GetChunkedStreamLength(block));
}

TEST_P(Chunked, RepairTurnsUnreadableCompressedChunksIntoZeros) {
  auto content = SampleContent(3000, 7);
  int32_t block = m.CreateChunkedStream(content.data(), 3000, 1000, ChunkKindCompressed);
  auto chunks = Chunks(block);
  ASSERT_EQ(3u, chunks.size());
  // The chunk's block goes away behind the stream's back.
  ASSERT_GE(m.DeleteBlock(chunks[1]), 0);
  Reopen();
  EXPECT_EQ(StorageNoChunkedStream, m.GetChunkedStreamLength(block));
  EXPECT_EQ(1, m.RepairChunkedStream(block));
  auto all = ReadAll(block);
  EXPECT_TRUE(std::equal(content.begin(), content.begin() + 1000, all.begin()));
  EXPECT_EQ(std::vector<uint8_t>(1000, 0), std::vector<uint8_t>(all.begin() + 1000, all.begin() + 2000));
  EXPECT_TRUE(std::equal(content.begin() + 2000, content.end(), all.begin() + 2000));
}

TEST_P(Chunked, OverlongCompressedChunkIsRefusedWhenRead) {
  int32_t block = m.CreateChunkedStream(nullptr, 0, 100, ChunkKindCompressed);
  ASSERT_TRUE(m.ResizeChunkedStream(block, 200));
  ASSERT_EQ(10, m.WriteChunkedStream(block, "0123456789", 10, 0));
  uint32_t chunk = Chunks(block)[0];
  auto overlong = SampleContent(101, 1);
  ASSERT_GT(m.RewriteBlock(chunk, overlong.data(), 101), 0);
  uint8_t buffer[10];
  EXPECT_EQ(StorageNoChunkedStream, m.ReadChunkedStream(block, buffer, 10, 0));
  EXPECT_EQ(StorageNoChunkedStream, m.WriteChunkedStream(block, buffer, 10, 5));
  EXPECT_EQ(10, m.ReadChunkedStream(block, buffer, 10, 100));  // the other chunk is fine
  std::vector<uint8_t> garbage(40, 0x33);
  ASSERT_GT(m.RewriteBlockRaw(chunk, garbage.data(), 40), 0);
  EXPECT_EQ(StorageReadFailed, m.ReadChunkedStream(block, buffer, 10, 0));
}

// Reads keep inflated chunks and trust the checked lengths of plain chunks; a change made
// through the block operations must show in the next read all the same.
TEST_P(Chunked, ChangesThroughTheBlockOperationsShowInTheNextRead) {
  auto a = SampleContent(300, 1), b = SampleContent(100, 2);
  int32_t packed = m.CreateChunkedStream(a.data(), 300, 100, ChunkKindCompressed);
  int32_t plain = m.CreateChunkedStream(a.data(), 300, 100, ChunkKindPlain);
  ASSERT_GE(packed, 2);
  ASSERT_GE(plain, 2);
  uint8_t piece[10];
  ASSERT_EQ(10, m.ReadChunkedStream(packed, piece, 10, 5));
  ASSERT_EQ(10, m.ReadChunkedStream(packed, piece, 10, 105));
  ASSERT_EQ(250, m.ReadChunkedStream(plain, std::vector<uint8_t>(250).data(), 250, 20));

  ASSERT_GT(m.WriteBlock(Chunks(packed)[0], b.data(), 100), 0);
  ASSERT_EQ(10, m.ReadChunkedStream(packed, piece, 10, 5));
  EXPECT_TRUE(std::equal(piece, piece + 10, b.begin() + 5));
  ASSERT_EQ(4, m.WriteBlockPart(Chunks(packed)[1], "\xFF\xFF\xFF\xFF", 4, 0));
  EXPECT_EQ(StorageReadFailed, m.ReadChunkedStream(packed, piece, 10, 105));

  ASSERT_EQ(3, m.WriteBlockPart(Chunks(plain)[1], "xyz", 3, 0));
  ASSERT_EQ(10, m.ReadChunkedStream(plain, piece, 10, 95));
  EXPECT_EQ(0, std::memcmp(piece + 5, "xyz", 3));
  ASSERT_EQ(50, m.RewriteBlockRaw(Chunks(plain)[1], b.data(), 50));
  EXPECT_EQ(StorageReadFailed, m.ReadChunkedStream(plain, piece, 10, 145));
  EXPECT_EQ(10, m.ReadChunkedStream(plain, piece, 10, 140));
}

#ifndef _WIN32
// Over a file, neighbouring plain chunks are read with one gathering call and whole
// compressed chunks are inflated straight into the caller's buffer: reads of every size
// at every kind of offset give the stream's bytes.
TEST(ChunkedFile, ReadsOfAnySizeGiveTheStreamsBytes) {
  namespace fs = std::filesystem;
  fs::path file = fs::temp_directory_path() / ("tolvane_chunked_reads_" + std::to_string(::getpid()));
  auto content = SampleContent(5000, 3);
  StorageManager m(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(m.Open(file.wstring(), CreateNew));
  const int32_t blocks[] = {m.CreateChunkedStream(content.data(), 5000, 100, ChunkKindPlain),
                            m.CreateChunkedStream(content.data(), 5000, 100, ChunkKindCompressed)};
  ASSERT_TRUE(m.Close());
  ASSERT_TRUE(m.Open(file.wstring(), OpenRead));
  for (int32_t block : blocks) {
    ASSERT_GE(block, 2);
    for (uint32_t step : {37u, 100u, 1700u, 5000u}) {
      for (uint32_t at = step % 100; at < 5000; at += step) {
        std::vector<uint8_t> out(step);
        const uint32_t expected = std::min(step, 5000 - at);
        ASSERT_EQ(static_cast<int32_t>(expected), m.ReadChunkedStream(block, out.data(), step, at));
        ASSERT_TRUE(std::equal(out.begin(), out.begin() + expected, content.begin() + at)) << step << " at " << at;
      }
    }
  }
  m.Close();
  fs::remove(file);
}
#endif

// --- The cache ----------------------------------------------------------------------------

class ChunkCache : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m.Open(bytes, CreateNew));
    m.SetTickSource([this] { return now; });
  }
  std::vector<uint8_t> bytes;
  StorageManager m{kPackageSignature, kPackageVersion};
  uint32_t now = 0;
};

TEST_F(ChunkCache, TheLookupBeyondTheLimitEvictsTheOneUsedLongestAgo) {
  // Ticks run up to the wrap: the oldest entry has the largest tick value.
  std::vector<int32_t> blocks;
  for (uint32_t i = 0; i < 257; ++i) {
    now = 0xFFFFFF00u + i;
    blocks.push_back(m.CreateChunkedStream("abc", 3, 16, ChunkKindPlain));
    ASSERT_GE(blocks.back(), 2);
  }
  // Creating the 257th already evicted the first.
  EXPECT_EQ(256u, m.ChunkCache().size());
  EXPECT_EQ(0u, m.ChunkCache().count(blocks[0]));
  // Use all but blocks[5] after the tick count has wrapped.
  now = 0x00000010u;
  for (int i = 1; i < 257; ++i) {
    if (i != 5) {
      ASSERT_NE(nullptr, m.LookupChunkedStream(blocks[i]));
    }
  }
  now = 0x00000020u;
  ASSERT_NE(nullptr, m.LookupChunkedStream(blocks[0]));  // the 257th
  EXPECT_EQ(256u, m.ChunkCache().size());
  EXPECT_EQ(0u, m.ChunkCache().count(blocks[5]));
  EXPECT_EQ(1u, m.ChunkCache().count(blocks[0]));
  EXPECT_EQ(0x20u, m.ChunkCache().at(blocks[0]).lastAccess);
  // The evicted stream loads again from its index.
  uint8_t out[3];
  EXPECT_EQ(3, m.ReadChunkedStream(blocks[5], out, 3, 0));
  EXPECT_EQ(0, std::memcmp(out, "abc", 3));
}

TEST_F(ChunkCache, EqualAgesEvictTheLaterBlockNumber) {
  std::vector<int32_t> blocks;
  for (int i = 0; i < 256; ++i) blocks.push_back(m.CreateChunkedStream(nullptr, 0, 8, ChunkKindCompressed));
  now = 100;
  for (int i = 0; i < 256; ++i) m.LookupChunkedStream(blocks[i]);
  m.LookupChunkedStream(blocks[7]);  // same tick: every entry is as old as any other
  now = 200;
  int32_t extra = m.CreateChunkedStream(nullptr, 0, 8, ChunkKindCompressed);
  ASSERT_GE(extra, 2);
  EXPECT_EQ(0u, m.ChunkCache().count(*std::max_element(blocks.begin(), blocks.end())));
  EXPECT_EQ(256u, m.ChunkCache().size());
}

TEST_F(ChunkCache, DeletingAnIndexBlockDirectlyDropsItsEntry) {
  int32_t block = m.CreateChunkedStream("abc", 3, 16, ChunkKindPlain);
  ASSERT_EQ(1u, m.ChunkCache().count(block));
  ASSERT_GE(m.DeleteBlock(block), 0);
  EXPECT_EQ(0u, m.ChunkCache().count(block));
  EXPECT_EQ(StorageNoChunkedStream, m.GetChunkedStreamLength(block));
}

TEST_F(ChunkCache, AChunkBlockDeletedDirectlyTakesItsStreamOutOfTheCache) {
  int32_t block = m.CreateChunkedStream(nullptr, 0, 100, ChunkKindCompressed);
  ASSERT_TRUE(m.ResizeChunkedStream(block, 200));
  ASSERT_EQ(3, m.WriteChunkedStream(block, "abc", 3, 0));
  uint32_t first = m.LookupChunkedStream(block)->chunks[0];
  ASSERT_GE(m.DeleteBlock(first), 0);
  EXPECT_EQ(0u, m.ChunkCache().count(block));
  // Its stored index names a block that is gone: refused until repaired.
  EXPECT_EQ(StorageNoChunkedStream, m.WriteChunkedStream(block, "xyz", 3, 100));
  EXPECT_EQ(1, m.RepairChunkedStream(block));
  // The freed number may come back for the other chunk, but never twice in one stream.
  ASSERT_EQ(3, m.WriteChunkedStream(block, "xyz", 3, 100));
  ASSERT_EQ(3, m.WriteChunkedStream(block, "abc", 3, 0));
  const ChunkedStream* s = m.LookupChunkedStream(block);
  ASSERT_NE(nullptr, s);
  EXPECT_NE(s->chunks[0], s->chunks[1]);
  uint8_t out[3];
  ASSERT_EQ(3, m.ReadChunkedStream(block, out, 3, 100));
  EXPECT_EQ(0, std::memcmp(out, "xyz", 3));
  ASSERT_EQ(3, m.ReadChunkedStream(block, out, 3, 0));
  EXPECT_EQ(0, std::memcmp(out, "abc", 3));
}

#ifndef _WIN32
// Growth that the file system refuses: the stream keeps its length and every block made
// for it is given back.
TEST(ChunkedFailure, GrowthThatCannotBeStoredLeavesTheStreamAsItWas) {
  namespace fs = std::filesystem;
  fs::path file = fs::temp_directory_path() / ("tolvane_chunked_" + std::to_string(::getpid()));
  StorageManager m(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(m.Open(file.wstring(), CreateNew));
  auto content = SampleContent(3000, 1);
  int32_t block = m.CreateChunkedStream(content.data(), 3000, 1000, ChunkKindPlain);
  ASSERT_GE(block, 2);
  const size_t records = m.Directory().size();
  const uint32_t end = m.End();

  rlimit old{};
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit tight = old;
  tight.rlim_cur = end + 2048;  // room for two more chunks, not for ten
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &tight));
  bool grown = m.ResizeChunkedStream(block, 13000);
  int32_t created = m.CreateChunkedStream(content.data(), 3000, 100, ChunkKindPlain);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(grown);
  EXPECT_EQ(StorageWriteFailed, created);
  EXPECT_EQ(3000, m.GetChunkedStreamLength(block));
  EXPECT_EQ(3u, m.LookupChunkedStream(block)->chunks.size());
  size_t vacant = 0;
  for (size_t i = records; i < m.Directory().size(); ++i) vacant += m.Directory()[i].type == BlockVacant;
  EXPECT_EQ(m.Directory().size() - records, vacant);
  EXPECT_EQ(0, m.CheckIntegrity());
  ASSERT_TRUE(m.Close());
  ASSERT_TRUE(m.Open(file.wstring(), OpenRead));
  std::vector<uint8_t> out(3000);
  EXPECT_EQ(3000, m.ReadChunkedStream(block, out.data(), 3000, 0));
  EXPECT_EQ(content, out);
  m.Close();
  fs::remove(file);
}
#endif

TEST(ChunkedClosed, OperationsOnAClosedArchiveFail) {
  StorageManager m(kPackageSignature, kPackageVersion);
  uint8_t buffer[4];
  EXPECT_EQ(StorageNotOpen, m.CreateChunkedStream("abc", 3, 16, ChunkKindPlain));
  EXPECT_EQ(StorageNotOpen, m.GetChunkedStreamLength(2));
  EXPECT_EQ(StorageNotOpen, m.ReadChunkedStream(2, buffer, 4, 0));
  EXPECT_EQ(StorageNotOpen, m.WriteChunkedStream(2, buffer, 4, 0));
  EXPECT_EQ(StorageNotOpen, m.RepairChunkedStream(2));
  EXPECT_FALSE(m.ResizeChunkedStream(2, 4));
  EXPECT_FALSE(m.DeleteChunkedStream(2));
  EXPECT_EQ(nullptr, m.LookupChunkedStream(2));
}

INSTANTIATE_TEST_SUITE_P(IndexOptions, Chunked,
                         ::testing::Values(0u, uint32_t{OptionCompressChunkIndex},
                                           uint32_t{OptionCompressDirectory | OptionCompressFolders |
                                                    OptionCompressChunkIndex}));

}  // namespace
