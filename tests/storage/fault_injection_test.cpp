// A scripted update of archive files through tolvane-pack, with every call that changes a
// file made to fail in turn: the process ends there (a crash), or the call fails with
// ENOSPC or EIO. Each time the archives must then open as they were before the command or
// as they are after it, whole and with their regions tiling: a failed command leaves the
// old state, a successful one the new.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "storage/storage_manager.h"
#include "tests/storage/test_util.h"

extern char** environ;

// In this program the archive's own writes come through here, so that one can be torn:
// the first half reaches the file, the rest fails with EIO.
namespace {
size_t gTearWriteOfSize = 0;  // the next write of exactly this many bytes
bool gFailNextWrite = false;
}  // namespace
extern "C" ssize_t pwrite(int fd, const void* p, size_t n, off_t at) {
  static auto real = reinterpret_cast<ssize_t (*)(int, const void*, size_t, off_t)>(dlsym(RTLD_NEXT, "pwrite"));
  if (gFailNextWrite) {
    gFailNextWrite = false;
    errno = EIO;
    return -1;
  }
  if (gTearWriteOfSize && n == gTearWriteOfSize) {
    gTearWriteOfSize = 0;
    gFailNextWrite = true;
    return real(fd, p, n / 2, at);
  }
  return real(fd, p, n, at);
}

namespace fs = std::filesystem;
using tolvane::test::SampleContent;

namespace {

using Bytes = std::vector<uint8_t>;
// Everything an archive holds, by path ("f:" files, "d:" folders, "c:" chunked streams);
// "unopenable" or "damaged" in place of that for an archive that does not open whole.
using Model = std::map<std::string, Bytes>;

constexpr int kCrashStatus = 77;

Bytes ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& p, const Bytes& b) {
  std::ofstream(p, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

void AddFolder(StorageManager& m, StorageFolder& folder, const std::string& prefix, Model& model) {
  for (const auto& e : folder.entries) {
    const std::string path = prefix + e.first;
    if (e.second & kEntryFolder) {
      model["d:" + path];
      StorageFolder* sub = m.OpenFolder(folder, e.first);
      if (!sub) {
        model["damaged"];
        continue;
      }
      AddFolder(m, *sub, path + "/", model);
      m.CloseFolder(sub);
    } else {
      Bytes content;
      if (m.ReadEntry(folder, e.first, content) < 0) model["damaged"];
      model["f:" + path] = content;
    }
  }
}

// Opened as any reader would (which finishes an interrupted update first).
Model ModelOf(const fs::path& file, uint32_t chunkBlock) {
  Model model;
  if (!fs::exists(file)) {
    model["absent"];
    return model;
  }
  StorageManager m(kPackageSignature, kPackageVersion);
  if (!m.Open(file.wstring(), OpenRead)) {
    model["unopenable"];
    return model;
  }
  if (m.CheckIntegrity() != 0) model["damaged"];
  AddFolder(m, m.Root(), "", model);
  if (chunkBlock) {
    int32_t length = m.GetChunkedStreamLength(chunkBlock);
    Bytes content(length > 0 ? static_cast<size_t>(length) : 0);
    if (length < 0 || m.ReadChunkedStream(chunkBlock, content.data(), static_cast<uint32_t>(length), 0) != length)
      model["damaged"];
    model["c:" + std::to_string(chunkBlock)] = content;
  }
  m.Close();
  return model;
}

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    root_ = fs::temp_directory_path() / ("tolvane_faults_" + std::to_string(rd()));
    dir_ = root_ / "archives";
    fs::create_directories(dir_);
    fs::create_directories(root_ / "in");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  std::string In(const std::string& name, const Bytes& content) {
    fs::path p = root_ / "in" / name;
    WriteAll(p, content);
    return p.string();
  }

  // Runs tolvane-pack under the shim; the exit status, or -1 when it did not exit.
  int Run(const std::vector<std::string>& args, long faultAt, const char* kind) {
    std::vector<std::string> env = {"LD_PRELOAD=" + std::string(TOLVANE_FAULT_SHIM),
                                    "TOLVANE_FAULT_DIR=" + dir_.string(), "TOLVANE_FAULT_AT=" + std::to_string(faultAt),
                                    std::string("TOLVANE_FAULT_KIND=") + kind,
                                    "TOLVANE_FAULT_COUNT=" + (root_ / "count").string()};
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "LD_PRELOAD=", 11) && std::strncmp(*e, "TOLVANE_FAULT_", 14)) env.push_back(*e);
    }
    std::vector<std::string> argv = {TOLVANE_PACK_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> a, e;
    for (auto& s : argv) a.push_back(s.data());
    a.push_back(nullptr);
    for (auto& s : env) e.push_back(s.data());
    e.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int r = posix_spawn(&pid, a[0], &actions, nullptr, a.data(), e.data());
    posix_spawn_file_actions_destroy(&actions);
    if (r != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The calls the last run counted, and how many of them a power cut could have caught
  // out of order.
  long LastCount(long* orderFaults = nullptr) {
    std::ifstream in(root_ / "count");
    long n = -1, faults = -1;
    in >> n >> faults;
    if (orderFaults) *orderFaults = faults;
    return n;
  }

  fs::path root_, dir_;
};

TEST_F(FaultInjection, EveryFailingFileCallLeavesTheOldOrTheNewArchive) {
  const fs::path a = dir_ / "a.arc", b = dir_ / "b.arc";
  uint32_t chunk = 0;
  {
    StorageManager m(kPackageSignature, kPackageVersion);
    ASSERT_TRUE(m.Open(a.wstring(), CreateNew));
    int n = 0;
    for (size_t size : {40000, 9000, 3000, 700}) {
      Bytes content = SampleContent(size, 100 + n);
      ASSERT_GT(m.WriteEntry("e" + std::to_string(++n), content.data(), static_cast<uint32_t>(size)), 0);
    }
    Bytes stream = SampleContent(5000, 7);
    int32_t block = m.CreateChunkedStream(stream.data(), 5000, 1000, ChunkKindPlain);
    ASSERT_GT(block, 0);
    chunk = static_cast<uint32_t>(block);
    ASSERT_TRUE(m.Close());
    ASSERT_TRUE(m.Open(b.wstring(), CreateNew));
    ASSERT_GT(m.WriteEntry("older", "an older copy", 13), 0);
    ASSERT_TRUE(m.Close());
  }
  const std::string arc = a.string();
  const std::vector<std::vector<std::string>> script = {
      {"archive", "put", arc, "n1", In("n1", SampleContent(20000, 1))},
      {"archive", "put", arc, "e1", In("e1", SampleContent(30000, 2))},
      {"archive", "put", arc, "e3", In("e3", SampleContent(8000, 3))},
      {"archive", "rm", arc, "e2"},
      {"archive", "mkdir", arc, "sub"},
      {"archive", "put", "--folder", "sub", arc, "inner", In("inner", SampleContent(5000, 4))},
      {"archive", "chunk-write", arc, std::to_string(chunk), "1500", In("piece", SampleContent(2000, 5))},
      {"archive", "compact", arc, b.string()},
  };
  auto state = [&]() { return std::make_pair(ModelOf(a, chunk), ModelOf(b, 0)); };
  const char* const kinds[] = {"crash", "ENOSPC", "EIO"};
  long tried = 0, leftOld = 0, leftNew = 0;
  for (const auto& step : script) {
    const std::string what = step[1] + " " + step.back();
    const Bytes oldA = ReadAll(a), oldB = ReadAll(b);
    const auto before = state();
    ASSERT_EQ(0, Run(step, 0, "crash")) << what;
    long orderFaults = -1;
    const long calls = LastCount(&orderFaults);
    ASSERT_GT(calls, 0) << what;
    EXPECT_EQ(0, orderFaults) << what << ": a change not preceded by the sync it needs";
    const Bytes newA = ReadAll(a), newB = ReadAll(b);
    const auto after = state();
    ASSERT_NE(before, after) << what;
    ASSERT_EQ(0u, before.first.count("damaged") + after.first.count("damaged") + after.second.count("damaged"));
    for (long at = 1; at <= calls; ++at) {
      for (const char* kind : kinds) {
        WriteAll(a, oldA);
        WriteAll(b, oldB);
        const int status = Run(step, at, kind);
        const bool crashed = status == kCrashStatus;
        const auto found = state();
        ++tried;
        const bool isOld = found == before, isNew = found == after;
        leftOld += isOld;
        leftNew += isNew;
        if (crashed) {
          EXPECT_TRUE(isOld || isNew) << what << ": crash at call " << at << " left neither state";
        } else if (status == 0) {
          EXPECT_TRUE(isNew) << what << ": " << kind << " at call " << at << " reported success without the new state";
        } else {
          EXPECT_TRUE(isOld) << what << ": " << kind << " at call " << at << " failed (" << status
                             << ") but did not leave the old state";
        }
        EXPECT_FALSE(fs::exists(dir_ / "a.arc-journal") || fs::exists(dir_ / "b.arc-new")) << what << " " << at;
      }
    }
    WriteAll(a, newA);
    WriteAll(b, newB);
  }
  std::printf("fault points tried: %ld (crash, ENOSPC and EIO at each file call); left the old state: %ld, "
              "the new state: %ld\n",
              tried, leftOld, leftNew);
  EXPECT_EQ(tried, leftOld + leftNew);
}

// An operation whose payload cannot be written leaves the archive as it was before it;
// what the update did before and does after is kept.
TEST_F(FaultInjection, AFailedPayloadWriteUndoesOnlyItsOperation) {
  const fs::path a = dir_ / "a.arc";
  const Bytes one = SampleContent(7777, 1), two = SampleContent(3000, 2);
  StorageManager m(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(m.Open(a.wstring(), CreateNew));
  ASSERT_GT(m.WriteEntryRaw("one", one.data(), 7777), 0);
  ASSERT_GT(m.WriteEntryRaw("two", two.data(), 3000), 0);
  ASSERT_TRUE(m.Close());

  ASSERT_TRUE(m.Open(a.wstring(), OpenReadWrite));
  ASSERT_GT(m.WriteEntryRaw("early", "kept", 4), 0);
  const auto records = m.Directory();
  const uint32_t end = m.End();
  for (size_t size : {7777, 12345}) {  // in place, and moved to the end
    Bytes other = SampleContent(size, 3);
    gTearWriteOfSize = size;
    EXPECT_EQ(StorageWriteFailed, m.WriteEntryRaw("one", other.data(), static_cast<uint32_t>(size))) << size;
    EXPECT_EQ(0u, gTearWriteOfSize);
    EXPECT_FALSE(gFailNextWrite);
    Bytes content;
    EXPECT_EQ(7777, m.ReadEntryRaw("one", content));
    EXPECT_EQ(one, content);
    EXPECT_EQ(end, m.End());
    EXPECT_EQ(records.size(), m.Directory().size());
    EXPECT_EQ(0, m.CheckIntegrity());
  }
  ASSERT_GT(m.WriteEntryRaw("late", "also", 4), 0);
  ASSERT_TRUE(m.Close());
  ASSERT_TRUE(m.Open(a.wstring(), OpenRead));
  EXPECT_EQ(0, m.CheckIntegrity());
  Bytes content;
  EXPECT_EQ(7777, m.ReadEntryRaw("one", content));
  EXPECT_EQ(one, content);
  EXPECT_EQ(3000, m.ReadEntryRaw("two", content));
  EXPECT_EQ(two, content);
  EXPECT_EQ(4, m.ReadEntryRaw("early", content));
  EXPECT_EQ(4, m.ReadEntryRaw("late", content));
}

}  // namespace
