// tolvane-pack archive, driven end to end on files as a vendor would use it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>

#include "storage/storage_manager.h"
#include "tests/storage/archive_bombs.h"
#include "tests/storage/test_util.h"

namespace fs = std::filesystem;

namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

class ArchiveTool : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("tolvane_tool_" + std::to_string(rd()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string P(const std::string& name) const { return (dir_ / name).string(); }

  // Runs tolvane-pack with args (each quoted), capturing both outputs and the exit status.
  Result Run(const std::vector<std::string>& args) const {
    std::string cmd = "'" + std::string(TOLVANE_PACK_PATH) + "'";
    for (const auto& a : args) cmd += " '" + a + "'";
    cmd += " 2>'" + P("stderr.txt") + "'";
    Result r;
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) r.out.append(buf, n);
    int raw = pclose(pipe);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.err = ReadText("stderr.txt");
    return r;
  }

  void WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes) const {
    std::ofstream(P(name), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                   static_cast<std::streamsize>(bytes.size()));
  }
  std::vector<uint8_t> ReadBytes(const std::string& name) const {
    std::ifstream in(P(name), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::string ReadText(const std::string& name) const {
    auto b = ReadBytes(name);
    return std::string(b.begin(), b.end());
  }

  // Runs a command that must succeed.
  Result Ok(const std::vector<std::string>& args) const {
    Result r = Run(args);
    EXPECT_EQ(0, r.status) << args[1] << ": " << r.err;
    return r;
  }

  fs::path dir_;
};

TEST_F(ArchiveTool, PutGetAndListRoundTrip) {
  auto text = tolvane::test::SampleContent(40000, 3);
  std::vector<uint8_t> binary(3000);
  std::mt19937 rng(5);
  for (auto& b : binary) b = static_cast<uint8_t>(rng());
  WriteBytes("text.txt", text);
  WriteBytes("binary.dat", binary);
  const std::string arc = P("a.arc");
  Ok({"archive", "create", arc});
  EXPECT_EQ(128u, fs::file_size(arc));
  Ok({"archive", "put", arc, "bin\\text.txt", P("text.txt")});
  Ok({"archive", "put", "--raw", arc, "binary.dat", P("binary.dat")});
  Ok({"archive", "get", arc, "bin\\text.txt", P("text.out")});
  EXPECT_EQ(text, ReadBytes("text.out"));
  Result stdoutGet = Ok({"archive", "get", "--raw", arc, "binary.dat"});
  EXPECT_EQ(binary, std::vector<uint8_t>(stdoutGet.out.begin(), stdoutGet.out.end()));

  Result ls = Ok({"archive", "ls", arc});
  std::istringstream lines(ls.out);
  std::string line1, line2, extra;
  std::getline(lines, line1);
  std::getline(lines, line2);
  EXPECT_FALSE(std::getline(lines, extra));
  EXPECT_EQ("binary.dat\tfile\t3\t3000", line2);
  // The compressed entry's stored length is what --raw hands out.
  Ok({"archive", "get", "--raw", arc, "bin\\text.txt", P("text.stored")});
  EXPECT_EQ("bin\\x5Ctext.txt\tfile\t2\t" + std::to_string(fs::file_size(P("text.stored"))), line1);

  // The library reads what the tool wrote.
  StorageManager m(kPackageSignature, kPackageVersion);
  std::vector<uint8_t> bytes = ReadBytes("a.arc");
  ASSERT_TRUE(m.Open(bytes, OpenRead));
  std::vector<uint8_t> out;
  EXPECT_EQ(40000, m.ReadEntry("bin\\text.txt", out));
  EXPECT_EQ(text, out);
  EXPECT_EQ(0, m.CheckIntegrity());
}

TEST_F(ArchiveTool, FoldersNestAndRemove) {
  WriteBytes("f", tolvane::test::Bytes("folder content"));
  const std::string arc = P("f.arc");
  Ok({"archive", "create", arc});
  Ok({"archive", "mkdir", arc, "A"});
  Ok({"archive", "mkdir", "--folder", "A", arc, "B"});
  Ok({"archive", "put", "--folder", "A/B", arc, "deep", P("f")});
  Result got = Ok({"archive", "get", "--folder", "A/B", arc, "deep"});
  EXPECT_EQ("folder content", got.out);
  EXPECT_EQ(0u, Ok({"archive", "ls", arc}).out.find("A\tfolder\t"));

  Result taken = Run({"archive", "mkdir", "--folder", "A", arc, "B"});
  EXPECT_EQ(1, taken.status);
  Result fileOverFolder = Run({"archive", "put", "--folder", "A", arc, "B", P("f")});
  EXPECT_EQ(1, fileOverFolder.status);
  Result holdsFolders = Run({"archive", "rm", arc, "A"});
  EXPECT_EQ(1, holdsFolders.status);
  EXPECT_NE(std::string::npos, holdsFolders.err.find("holds folders"));
  Result missingFolder = Run({"archive", "ls", "--folder", "A/C", arc});
  EXPECT_EQ(1, missingFolder.status);
  EXPECT_NE(std::string::npos, missingFolder.err.find("A/C"));

  Ok({"archive", "rm", "--folder", "A", arc, "B"});
  Ok({"archive", "mkdir", "--folder", "A", arc, "empty"});
  Ok({"archive", "rm", "--folder", "A", arc, "empty"});
  EXPECT_EQ("", Ok({"archive", "ls", "--folder", "A", arc}).out);
  Ok({"archive", "rm", arc, "A"});
  Ok({"archive", "check", arc});
  EXPECT_EQ(128u, fs::file_size(arc));
}

TEST_F(ArchiveTool, ErrorsNameTheArchiveCode) {
  const std::string arc = P("e.arc");
  Ok({"archive", "create", arc});
  Result missing = Run({"archive", "get", arc, "nothing"});
  EXPECT_EQ(1, missing.status);
  EXPECT_NE(std::string::npos, missing.err.find("error -15 (no entry of that name)"));
  Result rm = Run({"archive", "rm", arc, "nothing"});
  EXPECT_EQ(1, rm.status);
  EXPECT_NE(std::string::npos, rm.err.find("-15"));
  WriteBytes("x", {1});
  Result longName = Run({"archive", "put", arc, std::string(256, 'n'), P("x")});
  EXPECT_EQ(1, longName.status);
  Ok({"archive", "put", arc, std::string(255, 'n'), P("x")});
}

TEST_F(ArchiveTool, DamagedAndForeignFilesAreRefusedWithoutCrashing) {
  WriteBytes("garbage", std::vector<uint8_t>(300, 0x41));
  WriteBytes("short", {0x56, 0x52, 0x00, 0x06});
  for (const char* name : {"garbage", "short", "does-not-exist"}) {
    for (const char* cmd : {"ls", "check", "dump"}) {
      Result r = Run({"archive", cmd, P(name)});
      EXPECT_EQ(1, r.status) << cmd << " " << name;
      EXPECT_NE(std::string::npos, r.err.find("cannot open")) << r.err;
    }
  }
  // A block whose stored length is beyond its region: reading it reports -7.
  const std::string arc = P("d.arc");
  WriteBytes("v", tolvane::test::SampleContent(100, 1));
  Ok({"archive", "create", arc});
  Ok({"archive", "put", arc, "v", P("v")});
  auto bytes = ReadBytes("d.arc");
  tolvane::test::PutU32At(bytes, 128, 0xFFFFFF00u);
  WriteBytes("d.arc", bytes);
  Result r = Run({"archive", "get", arc, "v"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("error -7"));
  EXPECT_NE(std::string::npos, Ok({"archive", "ls", arc}).out.find("error -7"));
}

TEST_F(ArchiveTool, CheckNamesTheFirstBadRecord) {
  const std::string arc = P("c.arc");
  WriteBytes("v", tolvane::test::SampleContent(100, 1));
  Ok({"archive", "create", arc});
  Ok({"archive", "put", arc, "one", P("v")});
  Ok({"archive", "put", arc, "two", P("v")});
  EXPECT_NE(std::string::npos, Ok({"archive", "check", arc}).out.find("ok"));
  auto bytes = ReadBytes("c.arc");
  uint32_t dir = tolvane::test::U32At(bytes, 92);
  // Record 3 (entry "two") moves 16 bytes on: a gap opens before it.
  size_t rec3 = dir + 4 + 3 * 10;
  tolvane::test::PutU32At(bytes, rec3 + 2, tolvane::test::U32At(bytes, rec3 + 2) + 16);
  WriteBytes("c.arc", bytes);
  Result r = Run({"archive", "check", arc});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("record 3 ")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("-20"));
  Result dump = Ok({"archive", "dump", arc});
  EXPECT_NE(std::string::npos, dump.out.find("signature 0x5256\nversion 0x0600\ndirectoryOffset " + std::to_string(dir)));
  EXPECT_NE(std::string::npos, dump.out.find("\n3\tdata\t"));
}

TEST_F(ArchiveTool, CraftedArchivesAreRefusedAndContentIsReadUpToACeiling) {
  WriteBytes("dir.arc", tolvane::test::DirectoryBomb(1u << 22));
  for (const char* command : {"ls", "check", "dump"}) {
    Result r = Run({"archive", command, P("dir.arc")});
    EXPECT_EQ(1, r.status) << command;
    EXPECT_NE(std::string::npos, r.err.find("damaged")) << command << ": " << r.err;
  }
  const std::string arc = P("entry.arc");
  WriteBytes("entry.arc", tolvane::test::EntryBomb(17u << 20));
  Result r = Run({"archive", "get", arc, "bomb", P("out")});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("'bomb' holds more than 16777216 bytes; give --max-size")) << r.err;
  EXPECT_EQ(1, Run({"archive", "get", "--max-size", "17825791", arc, "bomb", P("out")}).status);
  Ok({"archive", "get", "--max-size", "17825792", arc, "bomb", P("out")});
  EXPECT_EQ(17u << 20, fs::file_size(P("out")));
  EXPECT_EQ(2, Run({"archive", "get", "--max-size", "0", arc, "bomb"}).status);
}

TEST_F(ArchiveTool, CompactDropsFreeSpace) {
  const std::string arc = P("big.arc");
  Ok({"archive", "create", arc});
  for (int i = 0; i < 6; ++i) {
    WriteBytes("in", tolvane::test::SampleContent(20000 + i, i));
    Ok({"archive", "put", arc, "e" + std::to_string(i), P("in")});
  }
  for (int i = 0; i < 6; i += 2) Ok({"archive", "rm", arc, "e" + std::to_string(i)});
  Ok({"archive", "compact", arc, P("small.arc")});
  EXPECT_LT(fs::file_size(P("small.arc")), fs::file_size(arc));
  Ok({"archive", "check", P("small.arc")});
  for (int i = 1; i < 6; i += 2) {
    Result got = Ok({"archive", "get", P("small.arc"), "e" + std::to_string(i)});
    auto expected = tolvane::test::SampleContent(20000 + i, i);
    EXPECT_EQ(std::string(expected.begin(), expected.end()), got.out);
  }
  Result dump = Ok({"archive", "dump", P("small.arc")});
  EXPECT_EQ(std::string::npos, dump.out.find("free"));
}

TEST_F(ArchiveTool, HelpAndUsage) {
  Result top = Run({"--help"});
  EXPECT_EQ(0, top.status);
  EXPECT_NE(std::string::npos, top.out.find("archive"));
  Result group = Run({"archive", "--help"});
  EXPECT_EQ(0, group.status);
  for (const char* cmd : {"create", "put", "get", "ls", "rm", "mkdir", "compact", "check", "dump", "chunk-create",
                          "chunk-read", "chunk-write", "chunk-resize", "chunk-repair", "chunk-ls"}) {
    EXPECT_NE(std::string::npos, group.out.find(cmd));
    Result help = Run({"archive", cmd, "--help"});
    EXPECT_EQ(0, help.status) << cmd;
    EXPECT_EQ(0u, help.out.find(std::string("usage: tolvane-pack archive ") + cmd)) << help.out;
  }
  EXPECT_EQ(2, Run({"archive"}).status);
  EXPECT_EQ(2, Run({"archive", "frobnicate"}).status);
  EXPECT_EQ(2, Run({"archive", "put", P("a.arc"), "name"}).status);
  EXPECT_EQ(2, Run({"archive", "ls", "--bogus", P("a.arc")}).status);
  EXPECT_EQ(2, Run({"archive", "ls", "--folder", "A//B", P("a.arc")}).status);
  EXPECT_EQ(2, Run({"archive", "compact", "--raw", P("a"), P("b")}).status);
  EXPECT_EQ(2, Run({"archive", "chunk-create", "--chunk-size", "0", P("a"), P("b")}).status);
  EXPECT_EQ(2, Run({"archive", "chunk-create", "--chunk-size", "65536", P("a"), P("b")}).status);
  EXPECT_EQ(2, Run({"archive", "chunk-read", P("a"), "2", "1x", "5"}).status);
  EXPECT_EQ(2, Run({"archive", "chunk-read", P("a"), "-2", "0", "5"}).status);
  EXPECT_EQ(2, Run({"archive", "chunk-resize", P("a"), "2", "2147483648"}).status);
  EXPECT_EQ(2, Run({"archive", "chunk-ls", "--compressed", P("a"), "2"}).status);
}

// Names are read as UTF-8 strictly: an overlong '/' (0xC0 0xAF) is refused, naming its
// byte, and nothing is made where a lenient reading would put it.
TEST_F(ArchiveTool, ANameThatIsNotUtf8IsRefusedNamingItsByte) {
  fs::create_directories(dir_ / "x");
  Result r = Run({"archive", "create", P("x\xC0\xAFy.arc")});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("byte 0xC0 at offset " + std::to_string(P("x").size()))) << r.err;
  EXPECT_FALSE(fs::exists(dir_ / "x" / "y.arc"));
}

// --- Chunked streams

// The lines of chunk-ls as key -> value.
std::map<std::string, std::string> ChunkListing(const std::string& out) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    size_t tab = line.find('\t');
    if (tab != std::string::npos) fields[line.substr(0, tab)] = line.substr(tab + 1);
  }
  return fields;
}

TEST_F(ArchiveTool, ChunkedStreamsAreMadeReadWrittenAndResized) {
  const std::string arc = P("c.arc");
  auto content = tolvane::test::SampleContent(10000, 4);
  WriteBytes("in", content);
  Ok({"archive", "create", arc});
  std::string plain = Ok({"archive", "chunk-create", arc, P("in")}).out;
  std::string packed = Ok({"archive", "chunk-create", "--compressed", "--chunk-size", "1000", arc, P("in")}).out;
  ASSERT_FALSE(plain.empty());
  ASSERT_EQ('\n', plain.back());
  plain.pop_back();
  packed.pop_back();

  auto ls = ChunkListing(Ok({"archive", "chunk-ls", arc, plain}).out);
  EXPECT_EQ("plain", ls["kind"]);
  EXPECT_EQ("4092", ls["chunk-size"]);
  EXPECT_EQ("10000", ls["length"]);
  std::istringstream numbers(ls["chunks"]);
  std::vector<uint32_t> chunks{std::istream_iterator<uint32_t>(numbers), std::istream_iterator<uint32_t>()};
  EXPECT_EQ(3u, chunks.size());
  ls = ChunkListing(Ok({"archive", "chunk-ls", arc, packed}).out);
  EXPECT_EQ("compressed", ls["kind"]);
  EXPECT_EQ("1000", ls["chunk-size"]);

  for (const std::string& block : {plain, packed}) {
    Result tail = Ok({"archive", "chunk-read", arc, block, "-100", "100"});
    EXPECT_EQ(std::string(content.end() - 100, content.end()), tail.out);
    Ok({"archive", "chunk-read", arc, block, "0", "20000", P("all")});
    EXPECT_EQ(content, ReadBytes("all"));
    EXPECT_EQ("", Ok({"archive", "chunk-read", arc, block, "10000", "5"}).out);
    Result outside = Run({"archive", "chunk-read", arc, block, "10001", "5"});
    EXPECT_EQ(1, outside.status);
    EXPECT_NE(std::string::npos, outside.err.find("error -27")) << outside.err;

    WriteBytes("patch", tolvane::test::Bytes("PATCHED"));
    EXPECT_EQ("7 bytes\n", Ok({"archive", "chunk-write", arc, block, "4090", P("patch")}).out);
    // Data that would run past the end is refused whole rather than cut.
    Result past = Run({"archive", "chunk-write", arc, block, "-3", P("patch")});
    EXPECT_EQ(1, past.status);
    EXPECT_NE(std::string::npos, past.err.find("chunk-resize")) << past.err;
    Ok({"archive", "chunk-resize", arc, block, "12000"});
    Ok({"archive", "chunk-read", arc, block, "0", "20000", P("all")});
    auto expected = content;
    std::copy_n("PATCHED", 7, expected.begin() + 4090);
    expected.resize(12000, 0);
    EXPECT_EQ(expected, ReadBytes("all"));
    EXPECT_EQ("12000", ChunkListing(Ok({"archive", "chunk-ls", arc, block}).out)["length"]);
    EXPECT_EQ("0\n", Ok({"archive", "chunk-repair", arc, block}).out);
  }
  Ok({"archive", "check", arc});
  // Blocks that are no stream.
  for (const char* block : {"0", "1", "4000000000"}) {
    for (const char* cmd : {"chunk-ls", "chunk-resize"}) {
      Result r = Run(std::string(cmd) == "chunk-ls" ? std::vector<std::string>{"archive", cmd, arc, block}
                                                     : std::vector<std::string>{"archive", cmd, arc, block, "5"});
      EXPECT_EQ(1, r.status) << cmd << " " << block;
      EXPECT_NE(std::string::npos, r.err.find("error -26")) << r.err;
    }
  }
}

TEST_F(ArchiveTool, ChunkRepairCutsADamagedPlainStream) {
  const std::string arc = P("r.arc");
  auto content = tolvane::test::SampleContent(5000, 9);
  WriteBytes("in", content);
  Ok({"archive", "create", arc});
  std::string block = Ok({"archive", "chunk-create", "--chunk-size", "1000", arc, P("in")}).out;
  block.pop_back();
  {
    // The third chunk's block loses a byte.
    StorageManager m(kPackageSignature, kPackageVersion);
    ASSERT_TRUE(m.Open(fs::path(arc).wstring(), OpenReadWrite));
    const ChunkedStream* s = m.LookupChunkedStream(static_cast<uint32_t>(std::stoul(block)));
    ASSERT_NE(nullptr, s);
    uint32_t third = s->chunks[2];
    ASSERT_EQ(999, m.RewriteBlockRaw(third, content.data(), 999));
    ASSERT_TRUE(m.Close());
  }
  EXPECT_EQ(1, Run({"archive", "chunk-read", arc, block, "0", "10"}).status);
  EXPECT_EQ("1\n", Ok({"archive", "chunk-repair", arc, block}).out);
  EXPECT_EQ("2000", ChunkListing(Ok({"archive", "chunk-ls", arc, block}).out)["length"]);
  Ok({"archive", "chunk-read", arc, block, "0", "5000", P("out")});
  EXPECT_EQ(std::vector<uint8_t>(content.begin(), content.begin() + 2000), ReadBytes("out"));
  EXPECT_EQ("0\n", Ok({"archive", "chunk-repair", arc, block}).out);
  EXPECT_EQ("0\n", Ok({"archive", "chunk-repair", arc, "1"}).out);
}

}  // namespace
