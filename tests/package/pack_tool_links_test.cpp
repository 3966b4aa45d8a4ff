// tolvane-pack on a shared machine: someone who can write to the output folder or the
// temporary folder plants links at the names the tool will try. The tool must neither
// write through them nor give up, and must leave nothing of its own behind.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/tolvane_pack/commands.h"
#include "tests/package/pack_test_files.h"
#include "tools/tolvane_pack/file_io.h"

namespace {

namespace fs = std::filesystem;
using pack_test::Bytes;
using pack_test::Put;
using pack_test::Slurp;

int Pack(std::vector<std::string> args) {
  args.insert(args.begin(), "tolvane-pack");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return tolvane::pack::Main(int(args.size()), argv.data());
}

class PlantedLinks : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) / ("pack_links_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "out");
    fs::create_directories(dir_ / "tmp");
    Put(dir_ / "victim.txt", "precious");
    fs::create_directories(dir_ / "victim_dir");
    ::setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
    // Every creation's first two names are taken by links; the third is free.
    tolvane::pack::SetTemporaryNameSource([this](int attempt) {
      return attempt == 0 ? std::string("trap") : attempt == 1 ? std::string("trap2") : "free" + std::to_string(++names_);
    });
  }
  void TearDown() override {
    tolvane::pack::SetTemporaryNameSource(nullptr);
    ::unsetenv("TMPDIR");
    fs::remove_all(dir_);
  }

  // Links at both names for a file or folder called `stem` in `folder`: one to the victim
  // file or folder, one dangling (the tool must not create its target).
  void Plant(const fs::path& folder, const std::string& stem, bool toFolder = false) {
    fs::create_symlink(dir_ / (toFolder ? "victim_dir" : "victim.txt"), folder / (stem + ".partial-trap"));
    fs::create_symlink(dir_ / ("gone-" + stem), folder / (stem + ".partial-trap2"));
    planted_.push_back(folder / (stem + ".partial-trap"));
    planted_.push_back(folder / (stem + ".partial-trap2"));
    dangling_.push_back(dir_ / ("gone-" + stem));
  }

  void ExpectUntouched() {
    EXPECT_EQ(Slurp(dir_ / "victim.txt"), Bytes({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
    EXPECT_TRUE(fs::is_empty(dir_ / "victim_dir"));
    for (const fs::path& p : planted_) EXPECT_TRUE(fs::is_symlink(p)) << p;
    for (const fs::path& p : dangling_) EXPECT_FALSE(fs::exists(fs::symlink_status(p))) << p;
    // Nothing of the tool's own is left: only the links planted and the outputs.
    for (const fs::path& folder : {dir_ / "out", dir_ / "tmp"})
      for (const auto& e : fs::directory_iterator(folder))
        EXPECT_EQ(e.path().filename().string().find(".partial-free"), std::string::npos) << e.path();
  }

  fs::path Product() {
    fs::path root = dir_ / "product";
    Put(root / "quavserver.exe", std::string(3000, 'Q'));
    Put(root / "docs" / "readme.txt", "read me\r\n");
    return root;
  }

  fs::path dir_;
  int names_ = 0;
  std::vector<fs::path> planted_, dangling_;
};

TEST_F(PlantedLinks, BuildExtractAndEncipherWriteAroundThem) {
  const fs::path out = dir_ / "out";
  for (const char* stem : {"manifest.bin", "payload.bin", "plain.enc"}) Plant(out, stem);
  Plant(out, "x", true);
  ASSERT_EQ(Pack({"build", Product().string(), "--version", "1", "--key", "133457799BBCDFF1", "-o", out.string()}), 0);
  ASSERT_EQ(Pack({"extract", (out / "manifest.bin").string(), (out / "payload.bin").string(), (out / "x").string()}), 0);
  EXPECT_EQ(Slurp(out / "x" / "docs" / "readme.txt"), Slurp(dir_ / "product" / "docs" / "readme.txt"));
  Put(dir_ / "plain.bin", "sixteen bytes!!!");
  ASSERT_EQ(Pack({"encipher", "--key", "133457799BBCDFF1", (dir_ / "plain.bin").string(), (out / "plain.enc").string()}), 0);
  EXPECT_EQ(Slurp(out / "plain.enc").size(), 16u);
  ExpectUntouched();
}

TEST_F(PlantedLinks, SetupSignAndInspectWriteAroundThem) {
  if (!fs::exists(TOLVANE_STUB_EXE) || !fs::exists(TOLVANE_QUAVSERVER_EXE))
    GTEST_SKIP() << "the Windows build (stub and server) is not here";
  const fs::path out = dir_ / "out";
  fs::path root = Product();
  fs::copy_file(TOLVANE_QUAVSERVER_EXE, root / "quavserver.exe", fs::copy_options::overwrite_existing);
  const std::string cert = (dir_ / "vendor").string();
  ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + cert + ".key' -out '" + cert +
                         ".pem' -days 2 -subj /CN=links 2>/dev/null && openssl pkcs12 -export -out '" + cert +
                         ".p12' -inkey '" + cert + ".key' -in '" + cert + ".pem' -passout pass: 2>/dev/null")
                            .c_str()),
            0);
  Plant(out, "setup.exe");
  Plant(dir_ / "tmp", "tolvane-verify", true);
  Put(dir_ / "key", "0123456789ABCDEF\n");
  ASSERT_EQ(Pack({"setup", root.string(), "-o", (out / "setup.exe").string(), "--key-file", (dir_ / "key").string(),
                 "--stub", TOLVANE_STUB_EXE, "--sign-pkcs12", cert + ".p12"}),
            0);
  EXPECT_EQ(Pack({"inspect", (out / "setup.exe").string(), "--stub", TOLVANE_STUB_EXE, "--ca", cert + ".pem"}), 0);
  ExpectUntouched();
}

}  // namespace
