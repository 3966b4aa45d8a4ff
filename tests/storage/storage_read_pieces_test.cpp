// Piecewise entry reads (ReadEntryTo) against whole reads, and the read-only opens over a
// stream.
#include <gtest/gtest.h>

#include <sstream>

#include "storage/storage_format.h"
#include "storage/storage_manager.h"
#include "tests/storage/test_util.h"

using tolvane::test::SampleContent;

namespace {

struct CollectSink final : EntrySink {
  std::vector<uint8_t> bytes;
  size_t pieces = 0, largest = 0;
  size_t refuseAfter = SIZE_MAX;  // pieces taken before refusing
  bool Take(const uint8_t* data, size_t length) override {
    if (pieces == refuseAfter) return false;
    ++pieces;
    largest = std::max(largest, length);
    bytes.insert(bytes.end(), data, data + length);
    return true;
  }
};

// Random bytes do not compress: a stored payload of several input pieces.
std::vector<uint8_t> Noise(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(size);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

std::vector<uint8_t> MakeArchive() {
  std::vector<uint8_t> bytes;
  StorageManager m(kPackageSignature, kPackageVersion);
  EXPECT_TRUE(m.Open(bytes, OpenOrCreate));
  const auto text = SampleContent(1'500'000, 1);  // inflates to many output pieces
  const auto noise = Noise(700'000, 2);
  EXPECT_GT(m.WriteEntry("text", text.data(), static_cast<uint32_t>(text.size())), 0);
  EXPECT_GT(m.WriteEntry("noise", noise.data(), static_cast<uint32_t>(noise.size())), 0);
  EXPECT_GT(m.WriteEntry("small", "abc", 3), 0);
  EXPECT_TRUE(m.Close());
  return bytes;
}

TEST(ReadEntryTo, GivesWhatReadEntryGivesInBoundedPieces) {
  std::vector<uint8_t> bytes = MakeArchive();
  StorageManagerConstMemoryStream stream(bytes.data(), static_cast<uint32_t>(bytes.size()));
  StorageManager m(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(m.OpenForReading(stream));
  for (const char* name : {"text", "noise", "small"}) {
    std::vector<uint8_t> whole;
    const int32_t length = m.ReadEntry(name, whole);
    ASSERT_GT(length, 0) << name;
    CollectSink sink;
    EXPECT_EQ(length, m.ReadEntryTo(name, sink)) << name;
    EXPECT_EQ(whole, sink.bytes) << name;
    EXPECT_LE(sink.largest, tolvane::PieceInflater::kOutputPiece);
    if (whole.size() > 1'000'000) {
      EXPECT_GT(sink.pieces, 4u) << name;
    }
  }
  CollectSink none;
  EXPECT_EQ(StorageNoEntry, m.ReadEntryTo("absent", none));
  EXPECT_EQ(0u, none.pieces);
  // A refusal stops the read at once, first piece or later.
  for (size_t after : {size_t{0}, size_t{3}}) {
    CollectSink refusing;
    refusing.refuseAfter = after;
    EXPECT_EQ(StorageWriteFailed, m.ReadEntryTo("text", refusing));
    EXPECT_EQ(after, refusing.pieces);
  }
}

TEST(ReadEntryTo, DamageIsReportedAsReadEntryReportsIt) {
  std::vector<uint8_t> bytes = MakeArchive();
  uint32_t block = 0;
  {
    StorageManager m(kPackageSignature, kPackageVersion);
    ASSERT_TRUE(m.OpenForReading(bytes));
    block = m.Root().entries.find("text")->second & kEntryBlockMask;
  }
  StorageManager probe(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(probe.OpenForReading(bytes));
  const BlockRecord record = probe.Directory()[block];
  probe.Close();
  const uint32_t stored = tolvane::storage_format::LoadLe32(bytes.data() + record.offset);

  // The checksum is the stream's last four bytes: pieces were taken before it fails.
  std::vector<uint8_t> trailer = bytes;
  trailer[record.offset + 4 + stored - 1] ^= 1;
  // A stored length that reaches the region's size.
  std::vector<uint8_t> length = bytes;
  tolvane::storage_format::StoreLe32(length.data() + record.offset, record.size);
  struct Case {
    std::vector<uint8_t>* image;
    int32_t code;
  } cases[] = {{&trailer, StorageInflateFailed}, {&length, StorageBadBlock}};
  for (const Case& c : cases) {
    StorageManager m(kPackageSignature, kPackageVersion);
    ASSERT_TRUE(m.OpenForReading(*c.image));
    std::vector<uint8_t> whole;
    CollectSink sink;
    std::ostringstream stream;
    EXPECT_EQ(c.code, m.ReadEntry("text", whole));
    EXPECT_EQ(c.code, m.ReadEntryTo("text", sink));
    EXPECT_EQ(c.code, m.ReadEntryToStream("text", stream));
    if (c.image == &trailer) {
      EXPECT_GT(sink.bytes.size(), 1'000'000u);
      EXPECT_LT(sink.bytes.size(), 1'500'000u);
    }
  }
  // Reads that fail inside the payload (the open reads none of it) are a short read.
  struct FailingStream final : StorageManagerStream {
    StorageManagerConstMemoryStream inner;
    uint32_t badFrom;
    FailingStream(const std::vector<uint8_t>& b, uint32_t from)
        : inner(b.data(), static_cast<uint32_t>(b.size())), badFrom(from) {}
    bool Read(void* buffer, uint32_t n) override {
      const uint32_t at = inner.Tell();
      if (at <= badFrom + 100 && at + n > badFrom) return false;
      return inner.Read(buffer, n);
    }
    bool Write(const void*, uint32_t) override { return false; }
    bool Seek(uint32_t p) override { return inner.Seek(p); }
    uint32_t Tell() override { return inner.Tell(); }
    uint32_t GetSize() override { return inner.GetSize(); }
    bool SetSize(uint32_t, bool) override { return false; }
    void Close() override {}
  } failing(bytes, record.offset + 4 + stored / 2);
  StorageManager m(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(m.OpenForReading(failing));
  std::vector<uint8_t> whole;
  CollectSink sink;
  EXPECT_EQ(StorageReadFailed, m.ReadEntry("text", whole));
  EXPECT_EQ(StorageReadFailed, m.ReadEntryTo("text", sink));
  EXPECT_LT(sink.bytes.size(), 1'500'000u);
}

TEST(ReadOnlyOpen, RefusesToCreateAndNeverWrites) {
  std::vector<uint8_t> bytes = MakeArchive();
  const std::vector<uint8_t> before = bytes;
  StorageManager m(kPackageSignature, kPackageVersion);
  EXPECT_FALSE(m.OpenForReading(std::make_unique<StorageManagerMemoryStream>(), CreatedNew));
  auto owned = std::make_unique<StorageManagerMemoryStream>();
  const int opened = owned->Open(bytes, OpenReadWrite);
  ASSERT_TRUE(m.OpenForReading(std::move(owned), opened));
  EXPECT_TRUE(m.Close());
  EXPECT_EQ(before, bytes);

  StorageManagerConstMemoryStream s(bytes.data(), 10);
  uint8_t b[8];
  EXPECT_FALSE(s.Read(b, 11));
  EXPECT_TRUE(s.Read(b, 8));
  EXPECT_FALSE(s.Read(b, 3));
  EXPECT_FALSE(s.Seek(11));
  EXPECT_FALSE(s.Write(b, 1));
}

}  // namespace

// Operations that change records after a read-only open (the writing side is then made at
// its first use) are never written back: Close leaves the bytes as they were.
TEST(ReadOnlyOpen, ChangesAfterItAreNeverWrittenBack) {
  std::vector<uint8_t> bytes = MakeArchive();
  const std::vector<uint8_t> before = bytes;
  StorageManager m(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(m.OpenForReading(bytes));
  ASSERT_NE(nullptr, m.CreateFolder("added"));
  EXPECT_EQ(nullptr, m.LookupChunkedStream(2));
  EXPECT_TRUE(m.ChunkCache().empty());
  EXPECT_EQ(1u, m.Root().flags & 1);  // the root list changed, in memory
  EXPECT_TRUE(m.Close());
  EXPECT_EQ(before, bytes);
  ASSERT_TRUE(m.OpenForReading(bytes));
  EXPECT_EQ(nullptr, m.OpenFolder("added"));
  std::vector<uint8_t> small;
  EXPECT_EQ(3, m.ReadEntry("small", small));
}
