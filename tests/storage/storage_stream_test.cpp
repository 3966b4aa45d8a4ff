// The memory and file streams, and archives kept in files.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "storage/storage_manager.h"
#include "storage/storage_stream.h"
#include "tests/storage/test_util.h"

namespace fs = std::filesystem;
using tolvane::test::Bytes;
using tolvane::test::SampleContent;

namespace {

// --- Memory stream

TEST(MemoryStream, ShortReadCopiesWhatIsThereAndTheNextReadFails) {
  std::vector<uint8_t> v(30, 7);
  StorageManagerMemoryStream s;
  ASSERT_EQ(OpenedExisting, s.Open(v, OpenRead));
  ASSERT_TRUE(s.Seek(20));
  std::vector<uint8_t> buf(100, 0);
  EXPECT_TRUE(s.Read(buf.data(), 100));
  EXPECT_EQ(30u, s.Tell());
  EXPECT_EQ(std::vector<uint8_t>(10, 7), std::vector<uint8_t>(buf.begin(), buf.begin() + 10));
  EXPECT_EQ(0, buf[10]);
  EXPECT_FALSE(s.Read(buf.data(), 1));
}

TEST(MemoryStream, SeekClampsToTheSize) {
  std::vector<uint8_t> v(10);
  StorageManagerMemoryStream s;
  s.Open(v, OpenReadWrite);
  EXPECT_TRUE(s.Seek(1000));
  EXPECT_EQ(10u, s.Tell());
}

TEST(MemoryStream, SetSizeMovesThePositionAndAppendsZeros) {
  std::vector<uint8_t> v(20, 1);
  StorageManagerMemoryStream s;
  s.Open(v, OpenReadWrite);
  s.Seek(15);
  EXPECT_TRUE(s.SetSize(8, false));
  EXPECT_EQ(8u, s.Tell());
  EXPECT_EQ(8u, v.size());
  EXPECT_TRUE(s.SetSize(12, false));
  EXPECT_EQ((std::vector<uint8_t>{1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0}), v);
  EXPECT_EQ(8u, s.Tell());
}

TEST(MemoryStream, WritingAtTheEndGrowsByExactlyTheBytesWritten) {
  std::vector<uint8_t> v(5, 0);
  StorageManagerMemoryStream s;
  s.Open(v, OpenReadWrite);
  s.Seek(5);
  EXPECT_TRUE(s.Write("abc", 3));
  EXPECT_EQ(8u, v.size());
  EXPECT_EQ(8u, s.GetSize());
  s.Seek(2);
  EXPECT_TRUE(s.Write("XYZW", 4));
  EXPECT_EQ(8u, v.size());
  EXPECT_EQ('W', v[5]);
}

TEST(MemoryStream, OpenModes) {
  std::vector<uint8_t> empty, full{1, 2, 3};
  StorageManagerMemoryStream s;
  EXPECT_EQ(CreatedNew, s.Open(empty, OpenOrCreate));
  EXPECT_EQ(OpenedExisting, s.Open(full, OpenOrCreate));
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), full);
  EXPECT_EQ(CreatedNew, s.Open(full, CreateNew));
  EXPECT_TRUE(full.empty());
  s.Close();
  s.Close();
  EXPECT_FALSE(s.Read(nullptr, 0));
  EXPECT_FALSE(s.Write("a", 1));
}

// --- File stream

class FileStream : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("tolvane_storage_" + std::to_string(rd()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::wstring Path(const std::string& name) const { return (dir_ / name).wstring(); }
  fs::path FsPath(const std::string& name) const { return dir_ / name; }
  void WriteFile(const std::string& name, const std::string& content) const {
    std::ofstream(FsPath(name), std::ios::binary) << content;
  }

  fs::path dir_;
};

TEST_F(FileStream, OpenModes) {
  StorageManagerFileStream s;
  EXPECT_EQ(OpenFailed, s.Open(Path("missing"), OpenRead));
  EXPECT_EQ(OpenFailed, s.Open(Path("missing"), OpenReadWrite));
  EXPECT_FALSE(s.IsOpen());
  WriteFile("old", "previous content");
  EXPECT_EQ(CreatedNew, s.Open(Path("old"), CreateNew));
  EXPECT_EQ(0u, s.GetSize());
  s.Close();
  EXPECT_EQ(0u, fs::file_size(FsPath("old")));
  EXPECT_EQ(CreatedNew, s.Open(Path("fresh"), OpenOrCreate));
  EXPECT_TRUE(s.Write("abc", 3));
  EXPECT_EQ(OpenedExisting, s.Open(Path("fresh"), OpenOrCreate));  // the old handle is closed first
  EXPECT_EQ(3u, s.GetSize());
  EXPECT_EQ(OpenFailed, s.Open(Path("fresh"), static_cast<StorageOpenMode>(7)));
  s.Close();
  s.Close();
}

TEST_F(FileStream, CreatingNeverWritesThroughALinkAtTheName) {
  WriteFile("victim", "not yours");
  fs::create_symlink(FsPath("victim"), FsPath("archive-new"));
  fs::create_symlink(FsPath("nowhere"), FsPath("dangling"));
  StorageManagerFileStream s;
  for (const char* name : {"archive-new", "dangling"}) {
    ASSERT_EQ(CreatedNew, s.Open(Path(name), CreateNew)) << name;
    EXPECT_TRUE(s.Write("abc", 3));
    s.Close();
    EXPECT_FALSE(fs::is_symlink(FsPath(name))) << name;
    EXPECT_EQ(3u, fs::file_size(FsPath(name))) << name;
  }
  std::ifstream in(FsPath("victim"), std::ios::binary);
  EXPECT_EQ("not yours", std::string(std::istreambuf_iterator<char>(in), {}));
  EXPECT_FALSE(fs::exists(FsPath("nowhere")));
}

#ifdef _WIN32
// Renaming a new file into place moves that file, not whatever its name leads to by then
// (here another file, as if put there by someone who can write the folder).
TEST_F(FileStream, RenameMovesOnlyTheOpenFile) {
  WriteFile("theirs", "theirs");
  StorageManagerFileStream s;
  ASSERT_EQ(CreatedNew, s.Open(Path("mine"), CreateNew));
  ASSERT_TRUE(s.Write("abc", 3));
  EXPECT_FALSE(s.Rename(Path("theirs"), Path("archive")));
  EXPECT_FALSE(fs::exists(FsPath("archive")));
  EXPECT_EQ(3u, fs::file_size(FsPath("mine")));
}
#endif

TEST_F(FileStream, ReadsAreAllOrNothing) {
  WriteFile("f", "0123456789");
  StorageManagerFileStream s;
  ASSERT_EQ(OpenedExisting, s.Open(Path("f"), OpenRead));
  char buf[8] = {};
  ASSERT_TRUE(s.Seek(2));
  EXPECT_TRUE(s.Read(buf, 4));
  EXPECT_EQ("2345", std::string(buf, 4));
  EXPECT_EQ(6u, s.Tell());
  EXPECT_FALSE(s.Read(buf, 8));  // would cross the end
  EXPECT_FALSE(s.Write("x", 1));  // opened for reading
}

TEST_F(FileStream, SetSizeGrowsAndShrinks) {
  StorageManagerFileStream s;
  ASSERT_EQ(CreatedNew, s.Open(Path("g"), CreateNew));
  ASSERT_TRUE(s.Write("abcdef", 6));
  EXPECT_TRUE(s.SetSize(64, false));
  EXPECT_EQ(64u, s.GetSize());
  EXPECT_TRUE(s.SetSize(4, false));
  EXPECT_EQ(4u, s.GetSize());
  EXPECT_EQ(4u, s.Tell());
  s.Flush();
}

TEST_F(FileStream, PositionsUpTo4GiBWorkAndWritesReachingItAreRefused) {
  StorageManagerFileStream s;
  ASSERT_EQ(CreatedNew, s.Open(Path("far"), CreateNew));
  ASSERT_TRUE(s.Seek(0x90000000u));
  EXPECT_EQ(0x90000000u, s.Tell());
  ASSERT_TRUE(s.Seek(0xFFFFFFF8u));
  EXPECT_FALSE(s.Write("12345678", 8));  // the file would reach 4 GiB
  EXPECT_EQ(0u, s.GetSize());
}

TEST_F(FileStream, FilesOf4GiBAreRefused) {
  {
    std::ofstream(FsPath("huge"), std::ios::binary).put('x');
  }
  std::error_code ec;
  fs::resize_file(FsPath("huge"), 0x100000010ull, ec);
  if (ec) GTEST_SKIP() << "cannot make a sparse 4 GiB file here: " << ec.message();
  StorageManagerFileStream s;
  EXPECT_EQ(OpenFailed, s.Open(Path("huge"), OpenRead));
  StorageManager m(kPackageSignature, kPackageVersion);
  EXPECT_FALSE(m.Open(Path("huge"), OpenReadWrite));
}

TEST_F(FileStream, ArchiveInAFileRoundTrips) {
  auto content = SampleContent(50000, 11);
  {
    StorageManager m(kPackageSignature, kPackageVersion);
    ASSERT_TRUE(m.Open(Path("a.arc"), OpenOrCreate));
    ASSERT_GT(m.WriteEntry("data.bin", content.data(), 50000), 0);
    StorageFolder* f = m.CreateFolder("sub");
    ASSERT_NE(nullptr, f);
    ASSERT_GT(m.WriteEntry(*f, "inner", "hello", 5), 0);
    ASSERT_TRUE(m.Close());
  }
  StorageManager m(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(m.Open(Path("a.arc"), OpenReadWrite));
  EXPECT_EQ(0, m.CheckIntegrity());
  std::vector<uint8_t> out;
  EXPECT_EQ(50000, m.ReadEntry("data.bin", out));
  EXPECT_EQ(content, out);
  StorageFolder* f = m.OpenFolder("sub");
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(5, m.ReadEntry(*f, "inner", out));
  ASSERT_EQ(0, m.DeleteEntry("data.bin"));
  ASSERT_TRUE(m.Close());

  StorageManagerFileStream target;
  ASSERT_TRUE(m.Open(Path("a.arc"), OpenRead));
  ASSERT_EQ(CreatedNew, target.Open(Path("copy.arc"), CreateNew));
  EXPECT_EQ(0, m.CopyTo(target, false));
  target.Close();
  StorageManager c(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(c.Open(Path("copy.arc"), OpenRead));
  EXPECT_EQ(0, c.CheckIntegrity());
  // The deleted entry's space stays free in place; the copy leaves it out.
  EXPECT_GT(fs::file_size(FsPath("a.arc")), 9000u);
  EXPECT_LT(fs::file_size(FsPath("copy.arc")), 300u);
  f = c.OpenFolder("sub");
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(5, c.ReadEntry(*f, "inner", out));
}

TEST_F(FileStream, CloseReportsAFailedWriteBack) {
  {
    StorageManager m(kPackageSignature, kPackageVersion);
    ASSERT_TRUE(m.Open(Path("ro.arc"), CreateNew));
    ASSERT_GT(m.WriteEntry("a", "abc", 3), 0);
    ASSERT_TRUE(m.Close());
  }
  auto before = fs::file_size(FsPath("ro.arc"));
  StorageManager m(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(m.Open(Path("ro.arc"), OpenRead));
  // Creating a folder touches only memory; writing it back needs the file.
  ASSERT_NE(nullptr, m.CreateFolder("later"));
  EXPECT_FALSE(m.Close());
  EXPECT_TRUE(m.IsClosed());
  EXPECT_EQ(before, fs::file_size(FsPath("ro.arc")));
  ASSERT_TRUE(m.Open(Path("ro.arc"), OpenRead));
  EXPECT_EQ(0u, m.Root().entries.count("later"));
  EXPECT_EQ(StorageNoSpace, m.WriteEntryRaw("b", "xyz", 3));  // the file cannot grow
}

TEST_F(FileStream, MissingOrDamagedFilesAreRefused) {
  StorageManager m(kPackageSignature, kPackageVersion);
  EXPECT_FALSE(m.Open(Path("none.arc"), OpenRead));
  WriteFile("short.arc", std::string("VR\0\x06", 4));
  EXPECT_FALSE(m.Open(Path("short.arc"), OpenRead));
  EXPECT_FALSE(m.Open(Path("short.arc"), OpenOrCreate));
  EXPECT_EQ(4u, fs::file_size(FsPath("short.arc")));
  EXPECT_TRUE(m.IsClosed());
}

}  // namespace
