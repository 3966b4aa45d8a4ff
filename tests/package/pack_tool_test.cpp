// tolvane-pack's package commands run as the vendor runs them, on real folders.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "package/key_provider.h"
#include "package/manifest.h"
#include "package/payload_cipher.h"
#include "storage/storage_manager.h"
#include "tests/package/pack_test_files.h"

namespace {

namespace fs = std::filesystem;
using namespace pack_test;

constexpr char kKey[] = "133457799BBCDFF1";

struct Result {
  int status;
  std::string out, err;
};

class PackTool : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) / ("pack_tool_" + std::to_string(::getpid()) + "_" +
                                           testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  Result Pack(const std::string& args) {
    std::string command = std::string("'") + TOLVANE_PACK_EXE + "' " + args + " >'" + (dir_ / "stdout").string() +
                          "' 2>'" + (dir_ / "stderr").string() + "'";
    int status = std::system(command.c_str());
    Bytes out = Slurp(dir_ / "stdout"), err = Slurp(dir_ / "stderr");
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::string(out.begin(), out.end()),
            std::string(err.begin(), err.end())};
  }

  std::string P(const fs::path& p) { return "'" + p.string() + "'"; }

  // A small product with a top-level file, nested folders, an empty folder and a Chinese name.
  fs::path SmallProduct() {
    fs::path root = dir_ / "small";
    Put(root / "server.exe", std::string(5000, 'M'));
    Put(root / "docs" / "readme.txt", "read me\r\n");
    Put(root / "docs" / "deep" / "data.bin", std::string(70000, '\x42'));
    Put(root / "文档" / "说明.txt", "中文说明");
    fs::create_directories(root / "empty");
    return root;
  }

  // Builds root into out; expects failure naming `mention` when it is given.
  void ExpectBuildFails(const fs::path& root, const std::string& mention, const std::string& extra = "") {
    fs::path out = dir_ / "out_fail";
    fs::create_directories(out);
    Put(out / "manifest.bin", "old");
    Result r = Pack("build " + P(root) + " --version 1 --key " + kKey + " -o " + P(out) + " " + extra);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(mention), std::string::npos) << r.err;
    // Nothing half-written: the old file is untouched and no other file appeared.
    EXPECT_EQ(Slurp(out / "manifest.bin"), Bytes({'o', 'l', 'd'}));
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1);
  }

  fs::path dir_;
};

TEST_F(PackTool, SampleProductRoundTripsWithItsFigures) {
  std::mt19937 rng(1);
  Bytes server(150000);
  for (uint8_t& b : server) b = uint8_t(rng() % 7 ? rng() : 0);
  PutBytes(dir_ / "server.exe", server);
  fs::path product = dir_ / "product", order = dir_ / "order.txt";
  std::string generate = std::string("'") + TOLVANE_SAMPLE_PRODUCT_EXE + "' " + P(dir_ / "server.exe") + " " +
                         P(product) + " " + P(order);
  ASSERT_EQ(std::system(generate.c_str()), 0);
  EXPECT_EQ(Slurp(product / "quavserver.exe"), server);

  std::string build = "build " + P(product) + " --version 263 --key " + kKey + " --order " + P(order) + " -o ";
  Result r = Pack(build + P(dir_ / "a"));
  ASSERT_EQ(r.status, 0) << r.err;
  Bytes manifest = Slurp(dir_ / "a" / "manifest.bin");
  ASSERT_EQ(manifest.size(), 7897u);
  EXPECT_EQ(Bytes(manifest.begin(), manifest.begin() + 16),
            (Bytes{0x07, 0x01, 0, 0, 0, 0, 0x42, 0x4D, 0x69, 0, 0, 0, 0, 0, 0x80, 0x9F}));

  r = Pack("list " + P(dir_ / "a" / "manifest.bin"));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("version 263\ntotal bytes 6901058\ntop-file quavserver.exe\ntop-file project_manager.mod\n"
                        "folder   database\nfolder   upload\nfolder   templates\nfolder   web\nfolder   files\nfolder   log\n",
                        0),
            0u)
      << r.out;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2 + 159);

  r = Pack("key " + P(dir_ / "a" / "manifest.bin"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string(kKey) + "\n");

  r = Pack("verify " + P(dir_ / "a" / "manifest.bin") + " " + P(dir_ / "a" / "payload.bin"));
  EXPECT_EQ(r.status, 0) << r.err;

  r = Pack("extract " + P(dir_ / "a" / "manifest.bin") + " " + P(dir_ / "a" / "payload.bin") + " " + P(dir_ / "x"));
  ASSERT_EQ(r.status, 0) << r.err;
  size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(product)) {
    fs::path twin = dir_ / "x" / fs::relative(e.path(), product);
    ASSERT_TRUE(fs::exists(twin)) << twin;
    if (e.is_regular_file()) {
      ++files;
      EXPECT_EQ(Slurp(e.path()), Slurp(twin)) << twin;
    }
  }
  EXPECT_EQ(files, 142u);

  // The same inputs give the same bytes.
  ASSERT_EQ(Pack(build + P(dir_ / "b")).status, 0);
  EXPECT_EQ(Slurp(dir_ / "b" / "manifest.bin"), manifest);
  EXPECT_EQ(Slurp(dir_ / "b" / "payload.bin"), Slurp(dir_ / "a" / "payload.bin"));
}

TEST_F(PackTool, ArchiveNamesAreCodePage936AndFoldersComeFirst) {
  fs::path root = SmallProduct();
  ASSERT_EQ(Pack("build " + P(root) + " --version 7 --key " + kKey + " -o " + P(dir_ / "o")).status, 0);
  Bytes manifestBytes = Slurp(dir_ / "o" / "manifest.bin");
  ByteInputStream in(manifestBytes.data(), manifestBytes.size());
  PackageManifest m;
  ASSERT_TRUE(ReadManifest(in, m));
  EXPECT_EQ(m.Version, 7);
  EXPECT_EQ(m.TotalBytes, 5000u + 9 + 70000 + 12);
  std::vector<std::pair<std::u16string, uint32_t>> entries;
  for (const ManifestEntry& e : m.Entries) entries.push_back({e.Name, e.Kind});
  // Level by level: files before folders, names in byte order.
  std::vector<std::pair<std::u16string, uint32_t>> expected = {
      {u"server.exe", TopLevelFile}, {u"docs", Folder}, {u"empty", Folder}, {u"\u6587\u6863", Folder},
      {u"docs\\readme.txt", SubfolderFile}, {u"docs\\deep", Folder},
      {u"\u6587\u6863\\\u8BF4\u660E.txt", SubfolderFile}, {u"docs\\deep\\data.bin", SubfolderFile}};
  EXPECT_EQ(entries, expected);

  Bytes payload = Slurp(dir_ / "o" / "payload.bin");
  PayloadKey key;
  ASSERT_TRUE(KeyProvider(m.KeyBlock, key));
  ASSERT_TRUE(DecipherBuffer(payload.data(), payload.size(), key.data()));
  StorageManager archive(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(archive.Open(payload, OpenRead));
  Bytes content;
  ASSERT_GT(archive.ReadEntry("\xCE\xC4\xB5\xB5\\\xCB\xB5\xC3\xF7.txt", content, 0xFFFFFFFFu), 0);
  EXPECT_EQ(std::string(content.begin(), content.end()), "中文说明");
  ASSERT_GT(archive.ReadEntry("docs\\deep\\data.bin", content, 0xFFFFFFFFu), 0);
  EXPECT_EQ(content.size(), 70000u);
  EXPECT_EQ(archive.Root().entries.size(), 4u) << "folders have no archive entries";
}

TEST_F(PackTool, RefusesBadProducts) {
  ExpectBuildFails(dir_ / "nowhere", "nowhere: no such folder");

  fs::path empty = SmallProduct();
  Put(empty / "docs" / "zero.txt", "");
  ExpectBuildFails(empty, "docs/zero.txt: the file is empty");
  fs::remove(empty / "docs" / "zero.txt");

  fs::create_symlink(empty / "docs" / "readme.txt", empty / "docs" / "link.txt");
  ExpectBuildFails(empty, "docs/link.txt: is a link");
  fs::remove(empty / "docs" / "link.txt");

  Put(empty / "smile\U0001F600.txt", "x");
  ExpectBuildFails(empty, "cannot be written in code page 936");
  fs::remove(empty / "smile\U0001F600.txt");

  // 80 + 50 Chinese characters: 240 and 150 bytes in UTF-8, 261 bytes in code page 936.
  std::string longFolder, longFile;
  for (int i = 0; i < 80; ++i) longFolder += "长";
  for (int i = 0; i < 50; ++i) longFile += "名";
  Put(empty / longFolder / longFile, "x");
  ExpectBuildFails(empty, "261 bytes long in code page 936");
  fs::remove_all(empty / longFolder);

  Put(empty / "Docs" / "other.txt", "x");
  ExpectBuildFails(empty, "same name in other letter case");
  fs::remove_all(empty / "Docs");

  Put(empty / "what?.txt", "x");
  ExpectBuildFails(empty, "character that Windows does not allow");
  fs::remove(empty / "what?.txt");

  // More than 4 GiB in all (sparse files: nothing is really written).
  fs::create_directories(empty / "big");
  for (const char* name : {"a.bin", "b.bin"}) {
    std::ofstream(empty / "big" / name) << "x";
    fs::resize_file(empty / "big" / name, 0x90000000ull);
  }
  ExpectBuildFails(empty, "more than 4 GiB");
  fs::remove_all(empty / "big");

  // The product itself is fine now.
  EXPECT_EQ(Pack("build " + P(empty) + " --version 1 --key " + kKey + " -o " + P(dir_ / "ok")).status, 0);
}

TEST_F(PackTool, RefusesWhatCannotInstall) {
  // "C:\Program Files (x86)\QUAV_SRV\" is 32 characters: a name of 228 reaches 260.
  fs::path root = SmallProduct();
  const std::string folder(120, 'f');
  Put(root / folder / std::string(106, 'n'), "x");  // 120 + 1 + 106 = 227: a path of 259
  Result r = Pack("build " + P(root) + " --version 1 --key " + kKey + " -o " + P(dir_ / "short"));
  EXPECT_EQ(r.status, 0) << r.err;
  Put(root / folder / std::string(107, 'n'), "x");
  ExpectBuildFails(root, folder + "\\" + std::string(107, 'n') + "\": its path under C:\\Program Files (x86)\\QUAV_SRV\\ is 260 characters long");
  r = Pack("build " + P(root) + " --version 1 --key " + kKey + " -o " + P(dir_ / "long") + " --allow-long-paths");
  EXPECT_EQ(r.status, 0) << r.err;

  // A product whose setup.exe would pass the limit stops, naming the limit.
  fs::remove_all(root / folder);
  ExpectBuildFails(root, "more than the 4194400 bytes", "--setup-limit 4194400");
}

TEST_F(PackTool, LargeFilesAreOneStreamMadeInChunks) {
  // Past the size compressed whole: compressible text, a run of random bytes across a
  // chunk's end, text again.
  fs::path root = dir_ / "large";
  std::mt19937 rng(5);
  Bytes big;
  const std::string words[] = {"server ", "model ", "vector ", "0x1F ", "\r\n", "[section]"};
  while (big.size() < (5u << 20)) {
    const std::string& w = words[rng() % 6];
    big.insert(big.end(), w.begin(), w.end());
  }
  for (size_t i = (1u << 20) - 5000; i < (1u << 20) + (300u << 10); ++i) big[i] = uint8_t(rng());
  fs::create_directories(root);
  PutBytes(root / "big.bin", big);
  Put(root / "small.txt", "small");
  std::string build = "build " + P(root) + " --version 1 --key " + kKey + " -o ";
  Result r = Pack(build + P(dir_ / "a"));
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(Pack(build + P(dir_ / "b")).status, 0);
  EXPECT_EQ(Slurp(dir_ / "a" / "payload.bin"), Slurp(dir_ / "b" / "payload.bin"));
  // The archive reader inflates it with zlib, Adler-32 checked.
  r = Pack("extract " + P(dir_ / "a" / "manifest.bin") + " " + P(dir_ / "a" / "payload.bin") + " " + P(dir_ / "x"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Slurp(dir_ / "x" / "big.bin") == big);
  EXPECT_LT(Slurp(dir_ / "a" / "payload.bin").size(), big.size() / 2);
}

TEST_F(PackTool, OrderFileMustDescribeTheTreeExactly) {
  fs::path root = SmallProduct();
  const std::string good = "server.exe\ndocs\ndocs/deep\ndocs/deep/data.bin\ndocs/readme.txt\nempty\n文档\n文档/说明.txt\n";
  Put(dir_ / "order.txt", "# comment\n" + good);
  Result r = Pack("build " + P(root) + " --version 1 --key " + kKey + " -o " + P(dir_ / "ok") + " --order " +
                  P(dir_ / "order.txt"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(Pack("list " + P(dir_ / "ok" / "manifest.bin")).out.find("folder   docs\\deep\nfile     docs\\deep\\data.bin\n"),
            std::string::npos);

  struct Case {
    std::string order, mention;
  } cases[] = {
      {good + "docs/deep/data.bin\n", "twice"},
      {"docs/../server.exe\n" + good, "\"..\" component"},
      {"docs/extra.txt\n" + good, "which is not in"},
      {good.substr(good.find('\n') + 1), "does not list"},
      {"docs/readme.txt\n" + good, "comes before its folder"},
  };
  for (const Case& c : cases) {
    Put(dir_ / "order.txt", c.order);
    ExpectBuildFails(root, c.mention, "--order " + P(dir_ / "order.txt"));
  }
}

TEST_F(PackTool, RefusesBadArguments) {
  fs::path root = SmallProduct();
  std::string head = "build " + P(root) + " -o " + P(dir_ / "o");
  EXPECT_EQ(Pack(head + " --version 1 --key 0000000000000000").status, 1);
  EXPECT_EQ(Pack(head + " --version 1 --key 12345").status, 1);
  EXPECT_EQ(Pack(head + " --version 1 --key 133457799BBCDFFG").status, 1);
  EXPECT_EQ(Pack(head + " --version 65536 --key " + kKey).status, 1);
  EXPECT_EQ(Pack(head + " --version -1 --key " + kKey).status, 1);
  EXPECT_EQ(Pack(head + " --key " + kKey).status, 2);
  EXPECT_EQ(Pack(head + " --version 1 --key " + kKey + " --bogus 1").status, 2);
  EXPECT_FALSE(fs::exists(dir_ / "o" / "manifest.bin"));
  EXPECT_EQ(Pack("list").status, 2);
  EXPECT_EQ(Pack("frobnicate").status, 2);
}

TEST_F(PackTool, DamagedPackagesAreNamed) {
  fs::path root = SmallProduct();
  ASSERT_EQ(Pack("build " + P(root) + " --version 1 --key " + kKey + " -o " + P(dir_ / "p")).status, 0);
  ASSERT_EQ(Pack("build " + P(root) + " --version 1 --key 0123456789ABCDEF -o " + P(dir_ / "q")).status, 0);
  const Bytes manifest = Slurp(dir_ / "p" / "manifest.bin"), payload = Slurp(dir_ / "p" / "payload.bin");
  fs::path m = dir_ / "m.bin", pl = dir_ / "pl.bin";
  auto verify = [&](const Bytes& mb, const Bytes& pb) {
    PutBytes(m, mb);
    PutBytes(pl, pb);
    return Pack("verify " + P(m) + " " + P(pl));
  };

  Result r = verify(Bytes(manifest.begin(), manifest.end() - 1), payload);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("m.bin: not a package manifest"), std::string::npos) << r.err;

  Bytes flipped = manifest;
  flipped[flipped.size() - 60] ^= 0x10;
  r = verify(flipped, payload);
  EXPECT_NE(r.err.find("m.bin: the key block yields no key"), std::string::npos) << r.err;
  EXPECT_EQ(Pack("key " + P(m)).status, 1);

  r = verify(manifest, Bytes(payload.begin(), payload.end() - 3));
  EXPECT_NE(r.err.find("pl.bin: " + std::to_string(payload.size() - 3) + " bytes, not a whole number"),
            std::string::npos)
      << r.err;

  r = verify(manifest, Slurp(dir_ / "q" / "payload.bin"));
  EXPECT_NE(r.err.find("pl.bin: does not decipher to a package archive"), std::string::npos) << r.err;

  // One damaged block inside the stored data of a file.
  Bytes damaged = payload;
  damaged[256] ^= 0xFF;
  r = verify(manifest, damaged);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("pl.bin"), std::string::npos) << r.err;

  // Extraction of a damaged package leaves nothing behind.
  r = Pack("extract " + P(m) + " " + P(pl) + " " + P(dir_ / "x"));
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(dir_ / "x"));
  for (const auto& e : fs::directory_iterator(dir_))
    EXPECT_EQ(e.path().filename().string().find(".partial"), std::string::npos) << e.path();

  // Nor does it write into a folder that holds something.
  Put(dir_ / "full" / "keep.txt", "keep");
  r = Pack("extract " + P(dir_ / "p" / "manifest.bin") + " " + P(dir_ / "p" / "payload.bin") + " " + P(dir_ / "full"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("full: already exists"), std::string::npos) << r.err;
  // An empty folder is filled.
  fs::create_directories(dir_ / "empty_target");
  EXPECT_EQ(Pack("extract " + P(dir_ / "p" / "manifest.bin") + " " + P(dir_ / "p" / "payload.bin") + " " +
                 P(dir_ / "empty_target"))
                .status,
            0);
  EXPECT_EQ(Slurp(dir_ / "empty_target" / "docs" / "readme.txt"), Slurp(root / "docs" / "readme.txt"));
}

// A crafted package or archive names its entries so that they would land outside the
// target folder (or on a device): refused with the entry's name, nothing written outside.
TEST_F(PackTool, ExtractAndGetKeepEveryEntryInsideTheTarget) {
  fs::path root = SmallProduct();
  ASSERT_EQ(Pack("build " + P(root) + " --version 1 --key " + kKey + " -o " + P(dir_ / "p")).status, 0);
  PackageManifest good;
  Bytes bytes = Slurp(dir_ / "p" / "manifest.bin");
  ByteInputStream in(bytes.data(), bytes.size());
  ASSERT_TRUE(ReadManifest(in, good));
  fs::create_directories(dir_ / "inner");
  const char16_t* const names[] = {u"..\\evil.txt", u"docs\\..\\..\\evil.txt", u"C:evil.txt", u"c:\\evil.txt",
                                   u"\\evil.txt", u"\\\\server\\share\\evil.txt", u"../evil.txt", u"docs/evil.txt",
                                   u"CON", u"nul.txt", u"docs\\COM1", u"Lpt9 .log"};
  for (const char16_t* name : names) {
    PackageManifest crafted = good;
    crafted.Entries.push_back({name, TopLevelFile});
    PutBytes(dir_ / "m.bin", WriteManifest(crafted));
    Result r = Pack("extract " + P(dir_ / "m.bin") + " " + P(dir_ / "p" / "payload.bin") + " " + P(dir_ / "inner" / "x"));
    std::string shown(name, name + std::char_traits<char16_t>::length(name));
    EXPECT_EQ(r.status, 1) << shown;
    EXPECT_NE(r.err.find("entry \"" + shown + "\""), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(dir_ / "inner")) << shown;
  }

  const std::string archive = P(dir_ / "a.arc");
  ASSERT_EQ(Pack("archive create " + archive).status, 0);
  PutBytes(dir_ / "content", Bytes(100, 'c'));
  for (const char* name : {"..", "../evil.txt", "..\\evil.txt", "C:evil.txt", "\\evil.txt", "\\\\s\\evil.txt", "a/b",
                           "CON", "nul.txt", "com1.log"}) {
    ASSERT_EQ(Pack("archive put " + archive + " '" + name + "' " + P(dir_ / "content")).status, 0) << name;
    Result r = Pack("archive get " + archive + " '" + name + "' " + P(dir_ / "inner"));
    EXPECT_EQ(r.status, 1) << name;
    std::string shown = name;
    for (size_t at = 0; (at = shown.find('\\', at)) != std::string::npos; at += 4) shown.replace(at, 1, "\\x5C");
    EXPECT_NE(r.err.find("'" + shown + "'"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(dir_ / "inner")) << name;
  }
  // A plain name goes into the folder; a file name as OUT is taken as it is.
  ASSERT_EQ(Pack("archive put " + archive + " plain.txt " + P(dir_ / "content")).status, 0);
  EXPECT_EQ(Pack("archive get " + archive + " plain.txt " + P(dir_ / "inner")).status, 0);
  EXPECT_EQ(Slurp(dir_ / "inner" / "plain.txt"), Bytes(100, 'c'));
  EXPECT_EQ(Pack("archive get " + archive + " CON " + P(dir_ / "con.out")).status, 0);
  EXPECT_FALSE(fs::exists(dir_ / "evil.txt"));
}

// Long work shows one line of progress when standard error is a terminal (script(1) gives
// the tool one), and nothing in a log or with --quiet.
TEST_F(PackTool, ProgressLineOnlyOnATerminal) {
  fs::path root = SmallProduct();
  auto onTerminal = [&](const std::string& args) {
    std::string command = "script -qec \"'" + std::string(TOLVANE_PACK_EXE) + "' " + args + " >/dev/null\" /dev/null >" +
                          P(dir_ / "tty.txt") + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << args;
    Bytes shown = Slurp(dir_ / "tty.txt");
    return std::string(shown.begin(), shown.end());
  };
  std::string shown = onTerminal("build " + P(root) + " --version 1 --key " + kKey + " -o " + P(dir_ / "t"));
  EXPECT_NE(shown.find("\rbuild: 0.1 of 0.1 MiB, 4 of 4 files"), std::string::npos) << shown;
  shown = onTerminal("extract " + P(dir_ / "t" / "manifest.bin") + " " + P(dir_ / "t" / "payload.bin") + " " + P(dir_ / "x"));
  EXPECT_NE(shown.find("\rextract: 0.1 of 0.1 MiB, 4 of 4 files"), std::string::npos) << shown;
  shown = onTerminal("build " + P(root) + " --version 1 --key " + kKey + " -o " + P(dir_ / "q") + " --quiet");
  EXPECT_EQ(shown.find('\r'), std::string::npos) << shown;
  Result r = Pack("build " + P(root) + " --version 1 --key " + kKey + " -o " + P(dir_ / "l"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST_F(PackTool, EncipherAndDecipherWholeBlocksLikeOpenSsl) {
  std::mt19937 rng(9);
  Bytes data(1003);
  for (uint8_t& b : data) b = uint8_t(rng());
  PutBytes(dir_ / "plain.bin", data);
  ASSERT_EQ(Pack("encipher --key " + std::string(kKey) + " " + P(dir_ / "plain.bin") + " " + P(dir_ / "c.bin")).status, 0);
  Bytes cipher = Slurp(dir_ / "c.bin");
  ASSERT_EQ(cipher.size(), data.size());
  EXPECT_TRUE(std::equal(data.end() - 3, data.end(), cipher.end() - 3)) << "the tail is copied";

  PutBytes(dir_ / "blocks.bin", Bytes(data.begin(), data.end() - 3));
  std::string openssl = "openssl enc -des-ecb -nopad -provider legacy -provider default -K " + std::string(kKey) +
                        " -in " + P(dir_ / "blocks.bin") + " -out " + P(dir_ / "ref.bin");
  ASSERT_EQ(std::system(openssl.c_str()), 0);
  EXPECT_EQ(Bytes(cipher.begin(), cipher.end() - 3), Slurp(dir_ / "ref.bin"));

  ASSERT_EQ(Pack("decipher --key " + std::string(kKey) + " " + P(dir_ / "c.bin") + " " + P(dir_ / "back.bin")).status, 0);
  EXPECT_EQ(Slurp(dir_ / "back.bin"), data);

  Result r = Pack("decipher --key " + std::string(kKey) + " " + P(dir_ / "missing.bin") + " " + P(dir_ / "o.bin"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("missing.bin: no such file"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir_ / "o.bin"));
}

}  // namespace
