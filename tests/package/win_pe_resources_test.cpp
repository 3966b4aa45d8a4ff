// The packaging tool's PE resource rewriting, checked against Windows itself (under Wine):
// the loader's resource lookup, the image-help checksum and the version API read what the
// portable code wrote and parsed.
#include <windows.h>
#include <imagehlp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "resources/resource_ids.h"
#include "package/file_version.h"
#include "tools/tolvane_pack/pe_resources.h"

namespace {

using tolvane::pack::pe::Bytes;
using tolvane::pack::pe::Image;
namespace pe = tolvane::pack::pe;

Bytes Slurp(const wchar_t* path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::wstring TempFile(const wchar_t* name) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  return std::wstring(dir) + name;
}

void Spill(const std::wstring& path, const Bytes& data) {
  std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

Bytes Noise(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (uint8_t& x : b) x = uint8_t(rng());
  return b;
}

uint32_t Get32(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; }
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

// A resource as the Windows loader finds it in a file mapped as data.
Bytes LoadedResource(HMODULE module, int type, int id) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
  if (!found) return {};
  const uint8_t* p = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
  return p ? Bytes(p, p + SizeofResource(module, found)) : Bytes();
}

class PeResources : public testing::Test {
 protected:
  void SetUp() override {
    std::string problem;
    ASSERT_TRUE(stub_.Parse(Slurp(TOLVANE_STUB_EXE), problem)) << problem;
  }
  Image stub_;
};

TEST_F(PeResources, RewrittenResourcesAreWhatTheLoaderFindsAndNothingElseChanges) {
  const Bytes manifest = Noise(7769, 1), payload = Noise(3 * 65536 + 5, 2), license = Noise(4001, 3);
  Image changed = stub_;
  changed.Put(pe::kRtRcdata, IDR_MANIFEST, manifest, 0x804);
  changed.Put(pe::kRtRcdata, IDR_PAYLOAD, payload, 0x804);
  changed.Put(pe::kRtRcdata, IDR_LICENSE_RTF, license, 0x409);
  Bytes out;
  std::string problem;
  ASSERT_TRUE(changed.Write(out, problem)) << problem;

  // Read back by this code: the same tree, and writing it again gives the same bytes.
  Image again;
  ASSERT_TRUE(again.Parse(out, problem)) << problem;
  EXPECT_EQ(again.Resources().size(), changed.Resources().size());
  for (const auto& [type, names] : changed.Resources())
    for (const auto& [name, languages] : names)
      for (const auto& [language, data] : languages)
        EXPECT_EQ(again.Resources().at(type).at(name).at(language).bytes, data.bytes) << type.id << "/" << name.id;
  Bytes twice;
  ASSERT_TRUE(again.Write(twice, problem)) << problem;
  EXPECT_EQ(twice, out);

  // Every section before the resources keeps its header and its bytes.
  for (size_t i = 0; i < stub_.ResourceSectionIndex(); ++i) {
    const pe::Section &a = stub_.Sections()[i], &b = again.Sections()[i];
    EXPECT_EQ(a.virtualAddress, b.virtualAddress) << a.name;
    ASSERT_EQ(a.rawPointer, b.rawPointer) << a.name;
    ASSERT_EQ(a.rawSize, b.rawSize) << a.name;
    EXPECT_TRUE(std::equal(out.begin() + b.rawPointer, out.begin() + b.rawPointer + b.rawSize,
                           stub_.File().begin() + a.rawPointer))
        << a.name;
  }

  // Read back by Windows: the licence kept its existing language, the new ones are found.
  const std::wstring file = TempFile(L"tolvane-pe-roundtrip.exe");
  Spill(file, out);
  HMODULE module = LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_TRUE(module) << GetLastError();
  EXPECT_EQ(LoadedResource(module, 10, IDR_MANIFEST), manifest);
  EXPECT_EQ(LoadedResource(module, 10, IDR_PAYLOAD), payload);
  EXPECT_EQ(LoadedResource(module, 10, IDR_LICENSE_RTF), license);
  EXPECT_EQ(LoadedResource(module, 2, IDB_WATERMARK), stub_.Find(pe::kRtBitmap, IDB_WATERMARK)->bytes);
  EXPECT_EQ(stub_.Resources().at(pe::ResourceKey::Id(10)).at(pe::ResourceKey::Id(IDR_LICENSE_RTF)).begin()->first,
            again.Resources().at(pe::ResourceKey::Id(10)).at(pe::ResourceKey::Id(IDR_LICENSE_RTF)).begin()->first);
  FreeLibrary(module);
  DeleteFileW(file.c_str());
}

// Growing and shrinking the resources: sizes and alignment in the headers, the moved
// sections' data directory entries, and the checksum as image help computes it.
TEST_F(PeResources, HeadersFollowTheNewSizeAndTheChecksumIsWindowsOwn) {
  for (size_t payloadSize : {size_t(5 * 1024 * 1024 + 3), size_t(0)}) {
    Image changed = stub_;
    if (payloadSize) changed.Put(pe::kRtRcdata, IDR_PAYLOAD, Noise(payloadSize, 4), 0x804);
    changed.Remove(pe::kRtBitmap, IDB_HEADER);
    Bytes out;
    std::string problem;
    ASSERT_TRUE(changed.Write(out, problem)) << problem;
    Image image;
    ASSERT_TRUE(image.Parse(out, problem)) << problem;

    const uint32_t pe = Get32(out, 0x3C), opt = pe + 24;
    const uint32_t sectionAlign = Get32(out, opt + 32), fileAlign = Get32(out, opt + 36);
    uint64_t end = 0;
    for (const pe::Section& s : image.Sections()) {
      EXPECT_EQ(s.virtualAddress % sectionAlign, 0u) << s.name;
      EXPECT_EQ(s.rawPointer % fileAlign, 0u) << s.name;
      EXPECT_EQ(s.rawSize % fileAlign, 0u) << s.name;
      EXPECT_LE(uint64_t(s.rawPointer) + s.rawSize, out.size()) << s.name;
      end = std::max<uint64_t>(end, (uint64_t(s.virtualAddress) + std::max(s.virtualSize, s.rawSize) + sectionAlign - 1) /
                                        sectionAlign * sectionAlign);
    }
    const pe::Section& rsrc = image.Sections()[image.ResourceSectionIndex()];
    EXPECT_EQ(Get32(out, opt + 56), end) << "SizeOfImage";
    EXPECT_EQ(Get32(out, opt + 96 + 8 * 2), rsrc.virtualAddress);
    EXPECT_EQ(Get32(out, opt + 96 + 8 * 2 + 4), rsrc.virtualSize);
    const int64_t grown = int64_t(rsrc.rawSize) - int64_t(stub_.Sections()[stub_.ResourceSectionIndex()].rawSize);
    EXPECT_EQ(int64_t(Get32(out, opt + 8)), int64_t(Get32(stub_.File(), opt + 8)) + grown) << "SizeOfInitializedData";
    // The relocations moved with their section.
    for (const pe::Section& s : image.Sections()) {
      if (s.name == ".reloc") EXPECT_EQ(Get32(out, opt + 96 + 8 * 5), s.virtualAddress);
    }

    DWORD stored = 0, computed = 0;
    ASSERT_TRUE(CheckSumMappedFile(out.data(), DWORD(out.size()), &stored, &computed));
    EXPECT_EQ(stored, computed);
    // As inspect computes it: the file with its checksum field zeroed.
    Put32(out, image.ChecksumFieldOffset(), 0);
    pe::ChecksumAccumulator sum;
    sum.Add(out.data(), out.size());
    EXPECT_EQ(sum.Finish(), computed);
  }
}

// A payload handed over in pieces while the file is written gives the file of one held in
// memory, and a file read in parts finds it where it lies.
TEST_F(PeResources, StreamedPayloadGivesTheSameFileAndIsFoundInPlace) {
  const Bytes payload = Noise(2 * 65536 + 8, 5);
  Image held = stub_, streamed = stub_;
  held.Put(pe::kRtRcdata, IDR_PAYLOAD, payload, 0x409);
  streamed.PutStreamed(
      pe::kRtRcdata, IDR_PAYLOAD, uint32_t(payload.size()),
      [&](pe::OutputSink& sink, std::string&) {
        // Odd pieces: words of the checksum straddle them.
        for (size_t at = 0; at < payload.size(); at += 1001)
          if (!sink.Put(payload.data() + at, std::min<size_t>(1001, payload.size() - at))) return false;
        return true;
      },
      0x409);
  Bytes a, b;
  std::string problem;
  ASSERT_TRUE(held.Write(a, problem)) << problem;
  ASSERT_TRUE(streamed.Write(b, problem)) << problem;
  EXPECT_EQ(a, b);
  EXPECT_EQ(streamed.WrittenSize(), b.size());

  const std::wstring file = TempFile(L"tolvane-pe-parts.exe");
  Spill(file, b);
  Image parts;
  ASSERT_TRUE(parts.ParseFile(std::filesystem::path(file), 4096, problem)) << problem;
  const pe::ResourceData* found = parts.Find(pe::kRtRcdata, IDR_PAYLOAD);
  ASSERT_TRUE(found && found->external && found->bytes.empty());
  ASSERT_EQ(found->Size(), payload.size());
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), b.begin() + long(found->fileOffset)));
  EXPECT_EQ(parts.FileSize(), b.size());
  EXPECT_EQ(parts.ImageSize(), Get32(b, Get32(b, 0x3C) + 24 + 56));
  EXPECT_EQ(parts.ImageSize(), streamed.WrittenImageSize());
  for (size_t i = 0; i < parts.Sections().size(); ++i) {
    const pe::Section& s = parts.Sections()[i];
    if (i == parts.ResourceSectionIndex() || !s.rawSize) continue;
    ASSERT_TRUE(parts.SectionBytes(i)) << s.name;
    EXPECT_TRUE(std::equal(b.begin() + s.rawPointer, b.begin() + s.rawPointer + s.rawSize, parts.SectionBytes(i))) << s.name;
  }
  std::string refused;
  Bytes none;
  EXPECT_FALSE(parts.Write(none, refused));
  DeleteFileW(file.c_str());
}

TEST(PeVersion, FileVersionIsReadAsTheVersionApiReadsIt) {
  Image server;
  std::string problem;
  ASSERT_TRUE(server.Parse(Slurp(TOLVANE_QUAVSERVER), problem)) << problem;
  const pe::ResourceData* info = server.Find(pe::kRtVersion, 1);
  ASSERT_TRUE(info);
  std::u16string text;
  ASSERT_TRUE(pe::FindFileVersionText(info->bytes, text));

  DWORD ignored = 0, size = GetFileVersionInfoSizeW(TOLVANE_QUAVSERVER, &ignored);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(TOLVANE_QUAVSERVER, 0, size, block.data()));
  wchar_t* value = nullptr;
  UINT units = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\FileVersion", reinterpret_cast<void**>(&value), &units));
  EXPECT_EQ(std::wstring(text.begin(), text.end()), std::wstring(value));
  // The rule itself is tested on its table with the state tests.
  EXPECT_EQ(tolvane::FileVersionNumber(text), 263);
}

// Damaged files are refused with a reason, never read out of bounds (run under the
// program's own checks: every offset below points somewhere it must not).
TEST_F(PeResources, DamagedFilesAreRefused) {
  const Bytes& good = stub_.File();
  const uint32_t pe = Get32(good, 0x3C), opt = pe + 24;
  const pe::Section& rsrc = stub_.Sections()[stub_.ResourceSectionIndex()];
  std::string problem;
  auto refused = [&](Bytes bytes) {
    Image image;
    problem.clear();
    return !image.Parse(std::move(bytes), problem) && !problem.empty();
  };
  for (size_t cut : {size_t(10), size_t(pe + 10), size_t(opt + 50), size_t(rsrc.rawPointer + 30)}) {
    EXPECT_TRUE(refused(Bytes(good.begin(), good.begin() + cut))) << "cut at " << cut;
  }
  Bytes noResources = good;
  Put32(noResources, opt + 96 + 8 * 2, 0);
  EXPECT_TRUE(refused(noResources));
  EXPECT_NE(problem.find("no resource section"), std::string::npos) << problem;

  Bytes loop = good;  // the first type's name table is the root itself
  Put32(loop, rsrc.rawPointer + 16 + 4, 0x80000000u);
  EXPECT_TRUE(refused(loop));
  Bytes outside = good;  // the first type's table lies beyond the section
  Put32(outside, rsrc.rawPointer + 16 + 4, 0x80000000u | 0x7FFFFFF0u);
  EXPECT_TRUE(refused(outside));
  Bytes elf(good.size(), 0x7F);
  EXPECT_TRUE(refused(elf));

  // Parsed, but not to be rewritten: a 64-bit file, and a used section after the resources.
  Bytes plus = good;
  plus[opt] = 0x0B;
  plus[opt + 1] = 0x02;
  Image image;
  Bytes out;
  EXPECT_TRUE(!image.Parse(plus, problem) || !image.Write(out, problem));
  Bytes keptAfter = good;
  const size_t table = opt + (good[pe + 20] | good[pe + 21] << 8);
  const size_t next = table + 40 * (stub_.ResourceSectionIndex() + 1) + 36;
  ASSERT_LT(stub_.ResourceSectionIndex() + 1, stub_.Sections().size()) << "the stub has nothing after its resources";
  Put32(keptAfter, next, Get32(keptAfter, next) & ~0x02000000u);
  ASSERT_TRUE(image.Parse(keptAfter, problem)) << problem;
  EXPECT_FALSE(image.Write(out, problem));
  EXPECT_NE(problem.find("not discardable"), std::string::npos) << problem;
}

}  // namespace
