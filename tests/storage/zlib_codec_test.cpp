// The zlib streams kept for reuse: the same bytes and the same verdicts as the one-shot
// functions, stream after stream, damaged ones in between.
#include <gtest/gtest.h>

#include "storage/zlib_codec.h"
#include "tests/storage/test_util.h"

using tolvane::test::SampleContent;

namespace tolvane {
namespace {

TEST(Deflater, GivesTheBytesOfAFreshStreamInputAfterInput) {
  Deflater deflater;
  for (size_t size : {1u, 100u, 4092u, 70000u, 3u, 4092u}) {
    const auto content = SampleContent(size, static_cast<uint32_t>(size));
    std::vector<uint8_t> fresh;
    ASSERT_TRUE(DeflateLevel9(content.data(), static_cast<uint32_t>(size), fresh));
    size_t length = 0;
    const uint8_t* reused = deflater.Deflate(content.data(), static_cast<uint32_t>(size), length);
    ASSERT_NE(nullptr, reused);
    EXPECT_EQ(fresh, std::vector<uint8_t>(reused, reused + length)) << size;
  }
}

// What InflateZlibTo says of a stored payload with a sink that takes at most capacity bytes.
Inflater::Result OneShot(const std::vector<uint8_t>& stored, size_t capacity) {
  std::vector<uint8_t> z = {0x78, 0xDA};
  z.insert(z.end(), stored.begin(), stored.end());
  size_t got = 0;
  bool tooLong = false;
  bool ok = InflateZlibTo(z.data(), static_cast<uint32_t>(z.size()), [&](const uint8_t*, size_t n) {
    if (n > capacity - got) return !(tooLong = true);
    got += n;
    return true;
  });
  return tooLong ? Inflater::TooLong : ok ? Inflater::Ended : Inflater::Damaged;
}

TEST(Inflater, JudgesEveryStreamAsTheOneShotInflateDoes) {
  const auto small = SampleContent(4092, 1), large = SampleContent(60000, 2);
  const auto stored = tolvane::test::Stored(small), storedLarge = tolvane::test::Stored(large);
  auto flipLast = [](std::vector<uint8_t> v) {
    if (!v.empty()) v.back() ^= 1;
    return v;
  };
  const auto badCheck = flipLast(stored);
  auto truncated = stored;
  truncated.resize(truncated.size() / 2);
  // Too long and damaged at its very end: the damage lies beyond the first 16 KiB of
  // output, so too long is seen first; for a chunk of 30000 bytes the damage comes first.
  const auto largeBadCheck = flipLast(storedLarge);
  struct Case {
    const std::vector<uint8_t>* stored;
    size_t capacity;
    Inflater::Result expected;
  } cases[] = {
      {&stored, 4092, Inflater::Ended},        {&stored, 4091, Inflater::TooLong},
      {&badCheck, 4092, Inflater::Damaged},    {&truncated, 4092, Inflater::Damaged},
      {&stored, 65535, Inflater::Ended},       {&storedLarge, 4092, Inflater::TooLong},
      {&largeBadCheck, 4092, Inflater::TooLong}, {&largeBadCheck, 59999, Inflater::Damaged},
      {&badCheck, 100, Inflater::Damaged},     {&stored, 4092, Inflater::Ended},
  };
  Inflater inflater;
  std::vector<uint8_t> out(65535);
  for (const Case& c : cases) {
    size_t produced = 0;
    const Inflater::Result r = inflater.InflateStored(c.stored->data(), static_cast<uint32_t>(c.stored->size()),
                                                      out.data(), c.capacity, produced);
    EXPECT_EQ(c.expected, r) << c.stored->size() << " into " << c.capacity;
    EXPECT_EQ(OneShot(*c.stored, c.capacity), r) << c.stored->size() << " into " << c.capacity;
    if (r == Inflater::Ended) {
      EXPECT_EQ(small.size(), produced);
      EXPECT_TRUE(std::equal(small.begin(), small.end(), out.begin()));
    }
  }
}

}  // namespace
}  // namespace tolvane
