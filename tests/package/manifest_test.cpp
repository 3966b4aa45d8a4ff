#include "package/manifest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

bool CountOf(const Bytes& bytes, uint32_t& count, size_t* left = nullptr) {
  ByteInputStream in(bytes.data(), bytes.size());
  bool ok = ReadCompactCount(in, count);
  if (left) *left = in.Remaining();
  return ok;
}

Bytes Header(uint16_t version, uint32_t reserved, uint64_t total) {
  Bytes b;
  for (int i = 0; i < 2; ++i) b.push_back(uint8_t(version >> (8 * i)));
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(reserved >> (8 * i)));
  for (int i = 0; i < 8; ++i) b.push_back(uint8_t(total >> (8 * i)));
  return b;
}

void AppendEntry(Bytes& b, const std::u16string& name, uint32_t kind) {
  WriteCompactCount(b, uint32_t(name.size()));
  for (char16_t c : name) {
    b.push_back(uint8_t(c));
    b.push_back(uint8_t(c >> 8));
  }
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(kind >> (8 * i)));
}

void AppendKeyBlock(Bytes& b, size_t size = 128) {
  for (size_t i = 0; i < size; ++i) b.push_back(uint8_t(0xA0 + i));
}

PackageManifest Sample() {
  PackageManifest m;
  m.Version = 263;
  m.Reserved = 0;
  m.TotalBytes = 6901058;
  m.Entries = {{u"quavserver.exe", TopLevelFile},
               {u"database", Folder},
               {u"database\\terms.db", SubfolderFile},
               {u"", SubfolderFile},
               {u"odd\u4E2D\U0001F600", 7}};
  for (size_t i = 0; i < m.KeyBlock.size(); ++i) m.KeyBlock[i] = uint8_t(i * 7);
  return m;
}

TEST(CompactCount, ReadsEveryForm) {
  struct Case {
    Bytes bytes;
    uint32_t value;
  } cases[] = {{{0x00}, 0},
               {{0x7F}, 127},
               {{0x80, 0x80}, 128},
               {{0x80, 0x9A}, 154},
               {{0xFF, 0xFF}, 32767},
               {{0x80, 0x05}, 5},  // a longer form than needed is still read
               {{0x80, 0x00, 0x00, 0x00, 0x01, 0x00}, 65536},
               {{0x80, 0x00, 0x07, 0x00, 0x00, 0x00}, 7},
               {{0x80, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFu}};
  for (const Case& c : cases) {
    uint32_t count = 12345;
    size_t left = 99;
    EXPECT_TRUE(CountOf(c.bytes, count, &left)) << c.value;
    EXPECT_EQ(count, c.value);
    EXPECT_EQ(left, 0u) << "every byte of the form is consumed for " << c.value;
  }
}

TEST(CompactCount, LeavesTheFollowingBytes) {
  uint32_t count = 0;
  size_t left = 0;
  EXPECT_TRUE(CountOf({0x80, 0x9A, 0x0E, 0x71}, count, &left));
  EXPECT_EQ(count, 154u);
  EXPECT_EQ(left, 2u);
}

TEST(CompactCount, ShortInputFailsWithZero) {
  for (const Bytes& bytes : {Bytes{}, Bytes{0x80}, Bytes{0x91}, Bytes{0x80, 0x00},
                             Bytes{0x80, 0x00, 0x01, 0x02, 0x03}}) {
    uint32_t count = 77;
    EXPECT_FALSE(CountOf(bytes, count)) << bytes.size();
    EXPECT_EQ(count, 0u);
  }
}

TEST(CompactCount, WriterUsesTheShortestForm) {
  struct Case {
    uint32_t value;
    Bytes bytes;
  } cases[] = {{0, {0x00}},
               {127, {0x7F}},
               {128, {0x80, 0x80}},
               {154, {0x80, 0x9A}},
               {32767, {0xFF, 0xFF}},
               {32768, {0x80, 0x00, 0x00, 0x80, 0x00, 0x00}},
               {0xFFFFFFFFu, {0x80, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}}};
  for (const Case& c : cases) {
    Bytes out;
    WriteCompactCount(out, c.value);
    EXPECT_EQ(out, c.bytes) << c.value;
    uint32_t back = 0;
    EXPECT_TRUE(CountOf(out, back));
    EXPECT_EQ(back, c.value);
  }
}

TEST(ByteInputStream, FailureSticks) {
  Bytes bytes{1, 2, 3};
  ByteInputStream in(bytes.data(), bytes.size());
  uint8_t buf[4] = {};
  EXPECT_FALSE(in.ReadExact(buf, 4));
  EXPECT_TRUE(in.Failed());
  // Three bytes are still there, but the stream stays failed.
  EXPECT_FALSE(in.ReadExact(buf, 1));
  EXPECT_FALSE(in.ReadExact(buf, 0));
  EXPECT_EQ(in.Remaining(), 0u);
}

TEST(ByteInputStream, ReadsExactlyToTheEnd) {
  Bytes bytes{1, 2, 3};
  ByteInputStream in(bytes.data(), bytes.size());
  uint8_t buf[3] = {};
  EXPECT_TRUE(in.ReadExact(buf, 2));
  EXPECT_TRUE(in.ReadExact(buf + 2, 1));
  EXPECT_EQ(buf[2], 3);
  EXPECT_TRUE(in.ReadExact(buf, 0));
  EXPECT_FALSE(in.ReadExact(buf, 1));
}

TEST(CompactString, KeepsEmbeddedZeroUnits) {
  Bytes bytes{0x03, 'a', 0, 0, 0, 'b', 0};
  ByteInputStream in(bytes.data(), bytes.size());
  std::u16string text = u"stale";
  ASSERT_TRUE(ReadCompactString(in, text));
  EXPECT_EQ(text, std::u16string(u"a\0b", 3));
}

TEST(CompactString, ZeroLengthIsEmptyAndClearsOldText) {
  Bytes bytes{0x00, 0x41};
  ByteInputStream in(bytes.data(), bytes.size());
  std::u16string text = u"stale";
  ASSERT_TRUE(ReadCompactString(in, text));
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(in.Remaining(), 1u);
}

TEST(CompactString, ShortTextFailsAndStaysEmpty) {
  Bytes bytes{0x04, 'a', 0, 'b', 0, 'c'};
  ByteInputStream in(bytes.data(), bytes.size());
  std::u16string text = u"stale";
  EXPECT_FALSE(ReadCompactString(in, text));
  EXPECT_TRUE(text.empty());
  EXPECT_TRUE(in.Failed());
}

TEST(CompactString, HugeLengthFailsWithoutAllocating) {
  Bytes bytes{0x80, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 0};
  ByteInputStream in(bytes.data(), bytes.size());
  std::u16string text;
  EXPECT_FALSE(ReadCompactString(in, text));
  EXPECT_TRUE(text.empty());
}

TEST(CompactString, LongNamesRoundTrip) {
  // Lengths on both sides of the stack buffer's limit.
  for (uint32_t length : {65535u, 65536u, 70001u}) {
    std::u16string name(length, u'x');
    for (uint32_t i = 0; i < length; i += 97) name[i] = char16_t(0x4E00 + i % 500);
    Bytes bytes;
    AppendEntry(bytes, name, 0);
    ByteInputStream in(bytes.data(), bytes.size());
    std::u16string text;
    ASSERT_TRUE(ReadCompactString(in, text)) << length;
    EXPECT_EQ(text, name);
  }
}

TEST(Manifest, RoundTripsThroughTheWriter) {
  PackageManifest m = Sample();
  Bytes bytes = WriteManifest(m);
  ByteInputStream in(bytes.data(), bytes.size());
  PackageManifest back;
  ASSERT_TRUE(ReadManifest(in, back));
  EXPECT_EQ(back.Version, m.Version);
  EXPECT_EQ(back.Reserved, m.Reserved);
  EXPECT_EQ(back.TotalBytes, m.TotalBytes);
  ASSERT_EQ(back.Entries.size(), m.Entries.size());
  for (size_t i = 0; i < m.Entries.size(); ++i) {
    EXPECT_EQ(back.Entries[i].Name, m.Entries[i].Name) << i;
    EXPECT_EQ(back.Entries[i].Kind, m.Entries[i].Kind) << i;
  }
  EXPECT_EQ(back.KeyBlock, m.KeyBlock);
  EXPECT_EQ(in.Remaining(), 0u);
}

TEST(Manifest, StoredLayout) {
  PackageManifest m;
  m.Version = 263;
  m.TotalBytes = 6901058;
  m.Entries.assign(154, ManifestEntry{u"a", SubfolderFile});
  m.Entries[0] = {u"quavserver.exe", TopLevelFile};
  Bytes bytes = WriteManifest(m);
  const Bytes head{0x07, 0x01, 0, 0, 0, 0, 0x42, 0x4D, 0x69, 0, 0, 0, 0, 0, 0x80, 0x9A, 0x0E};
  ASSERT_GE(bytes.size(), head.size());
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + head.size()), head);
  EXPECT_EQ(bytes[17], 'q');
  EXPECT_EQ(bytes[18], 0);
  EXPECT_EQ(Bytes(bytes.begin() + 45, bytes.begin() + 49), (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(bytes.size(), 16 + (1 + 28 + 4) + 153 * (1 + 2 + 4) + 128u);
}

TEST(Manifest, ZeroEntriesThenKeyBlock) {
  Bytes bytes = Header(1, 2, 3);
  bytes.push_back(0x00);
  AppendKeyBlock(bytes);
  ByteInputStream in(bytes.data(), bytes.size());
  PackageManifest m;
  ASSERT_TRUE(ReadManifest(in, m));
  EXPECT_TRUE(m.Entries.empty());
  EXPECT_EQ(m.Version, 1);
  EXPECT_EQ(m.Reserved, 2u);
  EXPECT_EQ(m.TotalBytes, 3u);
  EXPECT_EQ(m.KeyBlock[0], 0xA0);
  EXPECT_EQ(m.KeyBlock[127], uint8_t(0xA0 + 127));
}

TEST(Manifest, EmptyNameAndUnknownKindAreRead) {
  Bytes bytes = Header(263, 0, 10);
  bytes.push_back(0x02);
  AppendEntry(bytes, u"", 1);
  AppendEntry(bytes, u"x", 7);
  AppendKeyBlock(bytes);
  ByteInputStream in(bytes.data(), bytes.size());
  PackageManifest m;
  ASSERT_TRUE(ReadManifest(in, m));
  ASSERT_EQ(m.Entries.size(), 2u);
  EXPECT_TRUE(m.Entries[0].Name.empty());
  EXPECT_EQ(m.Entries[0].Kind, 1u);
  EXPECT_EQ(m.Entries[1].Kind, 7u);
}

TEST(Manifest, KeyBlockOneByteShortFailsAfterAllEntries) {
  Bytes bytes = Header(263, 0, 10);
  bytes.push_back(0x02);
  AppendEntry(bytes, u"a", 1);
  AppendEntry(bytes, u"b", 1);
  AppendKeyBlock(bytes, 127);
  ByteInputStream in(bytes.data(), bytes.size());
  PackageManifest m;
  EXPECT_FALSE(ReadManifest(in, m));
  EXPECT_EQ(m.Entries.size(), 2u);
}

TEST(Manifest, BytesAfterTheKeyBlockAreIgnored) {
  Bytes bytes = WriteManifest(Sample());
  bytes.insert(bytes.end(), {0xDE, 0xAD, 0xBE, 0xEF});
  ByteInputStream in(bytes.data(), bytes.size());
  PackageManifest m;
  ASSERT_TRUE(ReadManifest(in, m));
  EXPECT_EQ(m.KeyBlock, Sample().KeyBlock);
  EXPECT_EQ(in.Remaining(), 4u);
}

TEST(Manifest, ReadingReplacesOldEntries) {
  PackageManifest m;
  m.Entries = {{u"old1", 0}, {u"old2", 2}, {u"old3", 1}};
  Bytes bytes = Header(5, 0, 0);
  bytes.push_back(0x01);
  AppendEntry(bytes, u"new", 2);
  AppendKeyBlock(bytes);
  ByteInputStream in(bytes.data(), bytes.size());
  ASSERT_TRUE(ReadManifest(in, m));
  ASSERT_EQ(m.Entries.size(), 1u);
  EXPECT_EQ(m.Entries[0].Name, u"new");
}

TEST(Manifest, EveryTruncationFailsAndKeepsOnlyWholeEntries) {
  const PackageManifest sample = Sample();
  Bytes full = WriteManifest(sample);
  // Offsets at which each entry is complete.
  std::vector<size_t> entryEnds;
  size_t at = 15;
  for (const ManifestEntry& e : sample.Entries) {
    at += 1 + 2 * e.Name.size() + 4;
    entryEnds.push_back(at);
  }
  for (size_t cut = 0; cut < full.size(); ++cut) {
    PackageManifest m;
    m.Entries = {{u"left over", 0}};
    ByteInputStream in(full.data(), cut);
    EXPECT_FALSE(ReadManifest(in, m)) << "cut at " << cut;
    size_t whole = 0;
    while (whole < entryEnds.size() && entryEnds[whole] <= cut) ++whole;
    if (cut >= 14) {
      EXPECT_EQ(m.Entries.size(), whole) << "cut at " << cut;
      EXPECT_EQ(m.TotalBytes, sample.TotalBytes);
      for (size_t i = 0; i < m.Entries.size(); ++i) EXPECT_EQ(m.Entries[i].Name, sample.Entries[i].Name);
    } else {
      EXPECT_EQ(m.Entries.size(), 1u) << "entries untouched before the count, cut at " << cut;
    }
    if (cut >= 2) {
      EXPECT_EQ(m.Version, sample.Version);
    }
  }
}

TEST(Manifest, CountBeyondTheInputFailsCleanly) {
  Bytes bytes = Header(263, 0, 0);
  bytes.insert(bytes.end(), {0x80, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});
  AppendEntry(bytes, u"a", 1);
  AppendKeyBlock(bytes);
  ByteInputStream in(bytes.data(), bytes.size());
  PackageManifest m;
  EXPECT_FALSE(ReadManifest(in, m));
  // The entries that were there were read before the input ran out.
  ASSERT_FALSE(m.Entries.empty());
  EXPECT_EQ(m.Entries[0].Name, u"a");
}

}  // namespace
