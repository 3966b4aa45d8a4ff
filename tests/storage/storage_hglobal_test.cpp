// The COM stream variants of the reads (Windows only).
#include <objbase.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "storage/storage_manager.h"
#include "tests/storage/test_util.h"

namespace {

// Owner of a COM stream reference for the tests.
struct StreamOwner {
  IStream* p = nullptr;
  ~StreamOwner() {
    if (p) p->Release();
  }
};

class HGlobal : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m.Open(bytes, CreateNew));
    content = tolvane::test::SampleContent(100000, 21);
    ASSERT_GT(m.WriteEntry("big", content.data(), static_cast<uint32_t>(content.size())), 0);
  }
  std::vector<uint8_t> bytes, content;
  StorageManager m{kPackageSignature, kPackageVersion};
};

TEST_F(HGlobal, EntryComesBackAsAStreamPositionedAtItsEnd) {
  StreamOwner s{m.ReadEntryToHGlobal("big")};
  ASSERT_NE(nullptr, s.p);
  LARGE_INTEGER zero = {};
  ULARGE_INTEGER pos = {};
  ASSERT_EQ(S_OK, s.p->Seek(zero, STREAM_SEEK_CUR, &pos));
  EXPECT_EQ(content.size(), pos.QuadPart);
  std::vector<uint8_t> out;
  ASSERT_TRUE(StorageManager::StreamToVector(s.p, out));
  EXPECT_EQ(content, out);
  StreamOwner b{m.ReadBlockToHGlobal(m.Root().entries.at("big") & kEntryBlockMask)};
  ASSERT_TRUE(StorageManager::StreamToVector(b.p, out));
  EXPECT_EQ(content, out);
}

TEST_F(HGlobal, FailuresGiveNoStream) {
  EXPECT_EQ(nullptr, m.ReadEntryToHGlobal("absent"));
  auto stored = tolvane::test::Stored({});
  ASSERT_GT(m.WriteEntryRaw("empty", stored.data(), static_cast<uint32_t>(stored.size())), 0);
  EXPECT_EQ(nullptr, m.ReadEntryToHGlobal("empty"));
  EXPECT_EQ(nullptr, m.ReadBlockToHGlobal(999));
  std::vector<uint8_t> out{1};
  EXPECT_FALSE(StorageManager::StreamToVector(nullptr, out));
  EXPECT_TRUE(out.empty());
}

TEST_F(HGlobal, StreamsOver16MiBAreRefused) {
  StreamOwner s;
  ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &s.p));
  ULARGE_INTEGER size;
  size.QuadPart = 0x1000001;
  ASSERT_EQ(S_OK, s.p->SetSize(size));
  std::vector<uint8_t> out;
  EXPECT_FALSE(StorageManager::StreamToVector(s.p, out));
  size.QuadPart = 0x1000000;
  ASSERT_EQ(S_OK, s.p->SetSize(size));
  EXPECT_TRUE(StorageManager::StreamToVector(s.p, out));
  EXPECT_EQ(0x1000000u, out.size());
}

}  // namespace
