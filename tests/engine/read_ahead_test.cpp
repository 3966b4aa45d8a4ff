// The files of an archive as ReadAhead hands them over: read ahead on its thread, and read
// on the caller's thread when no thread could be had (a ReadAhead never started). Both
// give every file whole and in order, and the same result for a missing one.
#include <gtest/gtest.h>

#include "engine/extract_pipeline.h"
#include "storage/storage_manager.h"

namespace {

struct Collect final : EntrySink {
  std::vector<uint8_t> bytes;
  size_t pieces = 0;
  bool Take(const uint8_t* data, size_t length) override {
    bytes.insert(bytes.end(), data, data + length);
    ++pieces;
    return true;
  }
};

std::vector<uint8_t> Content(size_t size, uint32_t seed) {
  std::vector<uint8_t> out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
  return out;
}

TEST(ReadAhead, ThreadOrNotGivesEveryFileWholeInOrder) {
  const std::vector<uint8_t> big = Content(3 * tolvane::ReadAhead::kPieceBytes + 17, 1);
  const std::vector<uint8_t> small = Content(100, 2);
  std::vector<uint8_t> bytes;
  {
    StorageManager writer(0x5256, 0x0600);
    ASSERT_TRUE(writer.Open(bytes, CreateNew));
    ASSERT_GT(writer.WriteEntry("big", big.data(), static_cast<uint32_t>(big.size())), 0);
    ASSERT_GT(writer.WriteEntry("small", small.data(), static_cast<uint32_t>(small.size())), 0);
    ASSERT_TRUE(writer.Close());
  }
  const std::vector<std::string> names = {"big", "", "missing", "small"};
  for (const bool threaded : {true, false}) {
    SCOPED_TRACE(threaded ? "read ahead" : "read inline");
    StorageManager archive(0x5256, 0x0600);
    ASSERT_TRUE(archive.OpenForReading(bytes));
    tolvane::ReadAhead ahead(archive, names);
    if (threaded) {
      ASSERT_TRUE(ahead.Start());
    }
    Collect first, unnamed, missing, last;
    EXPECT_EQ(ahead.ReadNext(first), static_cast<int32_t>(big.size()));
    EXPECT_EQ(first.bytes, big);
    EXPECT_EQ(ahead.ReadNext(unnamed), StorageNoEntry);
    EXPECT_EQ(ahead.ReadNext(missing), StorageNoEntry);
    EXPECT_EQ(unnamed.pieces + missing.pieces, 0u);
    EXPECT_EQ(ahead.ReadNext(last), static_cast<int32_t>(small.size()));
    EXPECT_EQ(last.bytes, small);
  }
}

// A worker that has to wait sleeps until a batch of pieces is read; when the files end
// short of one (here one file of one piece, asked for at once), it is woken all the same.
TEST(ReadAhead, TheLastFilesWakeAWorkerWaitingForABatch) {
  const std::vector<uint8_t> only = Content(tolvane::ReadAhead::kPieceBytes / 2, 3);
  std::vector<uint8_t> bytes;
  {
    StorageManager writer(0x5256, 0x0600);
    ASSERT_TRUE(writer.Open(bytes, CreateNew));
    ASSERT_GT(writer.WriteEntry("only", only.data(), static_cast<uint32_t>(only.size())), 0);
    ASSERT_TRUE(writer.Close());
  }
  const std::vector<std::string> names = {"only"};
  for (int round = 0; round < 20; ++round) {
    StorageManager archive(0x5256, 0x0600);
    ASSERT_TRUE(archive.OpenForReading(bytes));
    tolvane::ReadAhead ahead(archive, names);
    ASSERT_TRUE(ahead.Start());
    Collect got;
    ASSERT_EQ(ahead.ReadNext(got), static_cast<int32_t>(only.size()));  // (hangs without the wake)
    ASSERT_EQ(got.bytes, only);
  }
}

}  // namespace
