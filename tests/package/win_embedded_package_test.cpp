// The package as a Windows program carries it: resources 218 and 219 read the way the
// installer reads them, under the code page of a Simplified-Chinese system.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "common/text_conversion.h"
#include "common/win_owners.h"
#include "package/key_provider.h"
#include "package/manifest.h"
#include "package/payload_cipher.h"
#include "storage/storage_manager.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Resource(int id) {
  HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(id), reinterpret_cast<LPCWSTR>(RT_RCDATA));
  if (!info) return {};
  HGLOBAL loaded = LoadResource(nullptr, info);
  const uint8_t* data = static_cast<const uint8_t*>(LockResource(loaded));
  Bytes out(data, data + SizeofResource(nullptr, info));
  FreeResource(loaded);
  return out;
}

std::wstring ProductPath(const std::u16string& name) {
  return std::wstring(TOLVANE_PRODUCT_DIR) + L"\\" + ToWide(name);
}

Bytes ReadFileBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  Bytes out(GetFileSize(file, nullptr));
  DWORD read = 0;
  if (!out.empty()) ReadFile(file, out.data(), DWORD(out.size()), &read, nullptr);
  CloseHandle(file);
  out.resize(read);
  return out;
}

TEST(EmbeddedPackage, ManifestHasThePackageFigures) {
  Bytes bytes = Resource(ManifestResourceId);
  ASSERT_EQ(bytes.size(), 7897u);
  const Bytes head{0x07, 0x01, 0, 0, 0, 0, 0x42, 0x4D, 0x69, 0, 0, 0, 0, 0, 0x80, 0x9F};
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 16), head);
  EXPECT_EQ(bytes[16], 0x0E);
  std::u16string first;
  for (int i = 0; i < 14; ++i) first += char16_t(bytes[17 + 2 * i] | bytes[18 + 2 * i] << 8);
  EXPECT_EQ(first, u"quavserver.exe");
  EXPECT_EQ(Bytes(bytes.begin() + 45, bytes.begin() + 49), (Bytes{1, 0, 0, 0}));

  ByteInputStream in(bytes.data(), bytes.size());
  PackageManifest m;
  ASSERT_TRUE(ReadManifest(in, m));
  EXPECT_EQ(in.Remaining(), 0u);
  EXPECT_EQ(m.Version, 263);
  EXPECT_EQ(m.Reserved, 0u);
  EXPECT_EQ(m.TotalBytes, 6901058u);
  ASSERT_EQ(m.Entries.size(), 159u);
  EXPECT_EQ(m.Entries[1].Name, u"project_manager.mod");
  EXPECT_EQ(m.Entries[1].Kind, uint32_t(TopLevelFile));
  const char16_t* top[] = {u"database", u"upload", u"templates", u"web", u"files", u"log"};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(m.Entries[2 + i].Name, top[i]);
    EXPECT_EQ(m.Entries[2 + i].Kind, uint32_t(Folder));
  }
  size_t subfolderFiles = 0, folders = 0, longest = 0, deepest = 0, chinese = 0;
  std::set<std::u16string> seenFolders;
  for (const ManifestEntry& e : m.Entries) {
    chinese += std::any_of(e.Name.begin(), e.Name.end(), [](char16_t c) { return c >= 0x80; });
    longest = std::max(longest, e.Name.size());
    deepest = std::max(deepest, size_t(std::count(e.Name.begin(), e.Name.end(), u'\\') + 1));
    size_t slash = e.Name.rfind(u'\\');
    if (slash != std::u16string::npos) {
      EXPECT_TRUE(seenFolders.count(e.Name.substr(0, slash))) << "folder first";
    }
    if (e.Kind == Folder) {
      ++folders;
      seenFolders.insert(e.Name);
    } else if (e.Kind == SubfolderFile) {
      ++subfolderFiles;
      EXPECT_NE(slash, std::u16string::npos);
    }
  }
  EXPECT_EQ(subfolderFiles, 140u);
  EXPECT_EQ(folders, 17u);
  EXPECT_EQ(chinese, 5u);
  EXPECT_EQ(longest, 56u);
  EXPECT_EQ(deepest, 5u);
}

TEST(EmbeddedPackage, PayloadHoldsEveryFileOfTheProduct) {
  Bytes manifestBytes = Resource(ManifestResourceId);
  ByteInputStream in(manifestBytes.data(), manifestBytes.size());
  PackageManifest m;
  ASSERT_TRUE(ReadManifest(in, m));
  PayloadKey key;
  ASSERT_TRUE(KeyProvider(m.KeyBlock, key));
  EXPECT_NE(key, PayloadKey{});

  Bytes payload = Resource(PayloadResourceId);
  ASSERT_FALSE(payload.empty());
  ASSERT_EQ(payload.size() % 8, 0u);
  ASSERT_TRUE(DecipherBuffer(payload.data(), payload.size(), key.data()));
  StorageManager archive(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(archive.Open(payload, OpenRead));
  EXPECT_GE(archive.CheckIntegrity(), 0);

  uint64_t total = 0;
  for (const ManifestEntry& e : m.Entries) {
    if (e.Kind == Folder) continue;
    Bytes content;
    std::string name;
    ASSERT_TRUE(ToArchiveName(e.Name, name));
    int32_t n = archive.ReadEntry(name, content, 0xFFFFFFFFu);
    ASSERT_GT(n, 0) << std::string(e.Name.begin(), e.Name.end());
    EXPECT_EQ(content, ReadFileBytes(ProductPath(e.Name))) << std::string(e.Name.begin(), e.Name.end());
    total += content.size();
  }
  EXPECT_EQ(total, m.TotalBytes);
}

TEST(EmbeddedPackage, WrongKeyDoesNotOpen) {
  Bytes payload = Resource(PayloadResourceId);
  PayloadKey wrong{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  ASSERT_TRUE(DecipherBuffer(payload.data(), payload.size(), wrong.data()));
  StorageManager archive(kPackageSignature, kPackageVersion);
  EXPECT_FALSE(archive.Open(payload, OpenRead));
}

TEST(EmbeddedPackage, ServerCarriesItsVersion) {
  std::wstring server = ProductPath(u"quavserver.exe");
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(server.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<uint8_t> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(server.c_str(), 0, size, info.data()));
  wchar_t* text = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904b0\\FileVersion", reinterpret_cast<void**>(&text), &length));
  EXPECT_EQ(std::wstring(text), L"1, 0, 7, 0");
  VS_FIXEDFILEINFO* fixed = nullptr;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00070000u);
}

}  // namespace

namespace {

Bytes ModuleResource(HMODULE module, int id) {
  const tolvane::LoadedResource resource(module, id, RT_RCDATA);
  if (!resource.found()) return {};
  return Bytes(resource.data(), resource.data() + resource.size());
}

TEST(EmbeddedPackage, SetupCarriesTheBuiltPackage) {
  const tolvane::UniqueModule setup(LoadLibraryExW(TOLVANE_SETUP_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_NE(setup.get(), nullptr);
  Bytes manifest = ModuleResource(setup.get(), ManifestResourceId);
  Bytes payload = ModuleResource(setup.get(), PayloadResourceId);
  EXPECT_EQ(manifest, ReadFileBytes(std::wstring(TOLVANE_PACKAGE_FILES) + L"\\manifest.bin"));
  EXPECT_EQ(payload, ReadFileBytes(std::wstring(TOLVANE_PACKAGE_FILES) + L"\\payload.bin"));
  EXPECT_EQ(manifest, Resource(ManifestResourceId));
  EXPECT_FALSE(payload.empty());
}

}  // namespace
