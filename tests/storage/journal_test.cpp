// The rollback journal's own edge cases: journals torn or never valid, journals made for
// another file, folders where no journal can be made.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "storage/atomic_file_stream.h"
#include "storage/storage_manager.h"
#include "tests/storage/test_util.h"

namespace fs = std::filesystem;
using tolvane::test::SampleContent;

namespace {

using Bytes = std::vector<uint8_t>;

class Journal : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("tolvane_journal_" + std::to_string(rd()));
    fs::create_directories(dir_);
    arc_ = dir_ / "a.arc";
    journal_ = dir_ / "a.arc-journal";
    StorageManager m(kPackageSignature, kPackageVersion);
    ASSERT_TRUE(m.Open(arc_.wstring(), CreateNew));
    ASSERT_GT(m.WriteEntry("e1", old1_.data(), static_cast<uint32_t>(old1_.size())), 0);
    ASSERT_GT(m.WriteEntry("e2", "two", 3), 0);
    ASSERT_TRUE(m.Close());
    old_ = Read(arc_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, ec);
    fs::remove_all(dir_, ec);
  }

  static Bytes Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void Write(const fs::path& p, const Bytes& b) {
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }

  // The archive and its journal as a crash in the middle of an update leaves them.
  void Interrupt(Bytes& archive, Bytes& journal) {
    StorageManager m(kPackageSignature, kPackageVersion);
    ASSERT_TRUE(m.Open(arc_.wstring(), OpenReadWrite));
    Bytes replaced = SampleContent(25000, 9);
    ASSERT_GT(m.WriteEntry("e1", replaced.data(), static_cast<uint32_t>(replaced.size())), 0);
    ASSERT_GT(m.WriteEntry("e3", "three", 5), 0);
    ASSERT_GE(m.DeleteEntry("e2"), 0);
    archive = Read(arc_);
    journal = Read(journal_);
    m.Discard();
    ASSERT_EQ(old_, Read(arc_));
    ASSERT_NE(old_, archive);
    ASSERT_GT(journal.size(), 48u);
  }

  // The archive opens, in every mode, with its old entries.
  void ExpectOld() {
    for (StorageOpenMode mode : {OpenRead, OpenReadWrite}) {
      StorageManager m(kPackageSignature, kPackageVersion);
      ASSERT_TRUE(m.Open(arc_.wstring(), mode)) << mode;
      EXPECT_EQ(0, m.CheckIntegrity());
      Bytes content;
      EXPECT_EQ(static_cast<int32_t>(old1_.size()), m.ReadEntry("e1", content));
      EXPECT_EQ(old1_, content);
      EXPECT_EQ(3, m.ReadEntry("e2", content));
      EXPECT_EQ(StorageNoEntry, m.ReadEntry("e3", content));
      EXPECT_TRUE(m.Close());
      EXPECT_FALSE(fs::exists(journal_));
    }
    EXPECT_EQ(old_, Read(arc_));
  }

  fs::path dir_, arc_, journal_;
  Bytes old1_ = SampleContent(30000, 8);
  Bytes old_;
};

TEST_F(Journal, AHotJournalIsRolledBackByTheNextOpenInAnyMode) {
  Bytes archive, journal;
  Interrupt(archive, journal);
  Write(arc_, archive);
  Write(journal_, journal);
  ExpectOld();
}

// A crash while the journal itself was written: whatever of it never became valid was
// never acted on, so it is dropped without touching the archive.
TEST_F(Journal, TornOrGarbledJournalsAreDiscardedWithoutTouchingTheArchive) {
  Bytes archive, journal;
  Interrupt(archive, journal);
  std::mt19937 rng(5);
  Bytes garbage(4096);
  for (auto& b : garbage) b = static_cast<uint8_t>(rng());
  Bytes badHeader = journal;
  badHeader[20] ^= 1;
  Bytes tornRecord = journal;
  tornRecord.resize(journal.size() - 7);
  Bytes badRecord = journal;
  badRecord.back() ^= 0x80;
  for (const Bytes& j : {Bytes(), Bytes(journal.begin(), journal.begin() + 30), garbage, badHeader, tornRecord,
                         badRecord}) {
    Write(arc_, old_);
    Write(journal_, j);
    ExpectOld();
  }
}

TEST_F(Journal, AJournalMadeForAnotherFileIsNotApplied) {
  Bytes archive, journal;
  Interrupt(archive, journal);
  // Another archive took the name (a new file, as a copy or a rename gives).
  {
    StorageManager m(kPackageSignature, kPackageVersion);
    ASSERT_TRUE(m.Open((dir_ / "other.arc").wstring(), CreateNew));
    ASSERT_GT(m.WriteEntry("x", "other", 5), 0);
    ASSERT_TRUE(m.Close());
  }
  const Bytes other = Read(dir_ / "other.arc");
  fs::remove(arc_);
  fs::rename(dir_ / "other.arc", arc_);
  Write(journal_, journal);
  StorageManager m(kPackageSignature, kPackageVersion);
  ASSERT_TRUE(m.Open(arc_.wstring(), OpenRead));
  Bytes content;
  EXPECT_EQ(5, m.ReadEntry("x", content));
  m.Close();
  EXPECT_EQ(other, Read(arc_));
  EXPECT_FALSE(fs::exists(journal_));
  // A journal whose archive is gone goes too.
  Write(journal_, journal);
  fs::remove(arc_);
  EXPECT_FALSE(m.Open(arc_.wstring(), OpenRead));
  EXPECT_FALSE(fs::exists(journal_));
}

#ifndef _WIN32
TEST_F(Journal, AReadOnlyFolderRefusesWritingOpensAndStillReads) {
  // The check runs in a child that is not root (root writes into read-only folders).
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 && (::chown(dir_.c_str(), 65534, 65534) != 0 || ::chown(arc_.c_str(), 65534, 65534) != 0 ||
                             ::setgid(65534) != 0 || ::setuid(65534) != 0))
      _exit(10);
    if (::chmod(dir_.c_str(), 0555) != 0) _exit(11);
    StorageManager m(kPackageSignature, kPackageVersion);
    if (m.Open(arc_.wstring(), OpenReadWrite)) _exit(12);
    if (m.Open(arc_.wstring(), OpenOrCreate)) _exit(13);
    if (m.Open(arc_.wstring(), CreateNew)) _exit(14);
    Bytes content;
    if (!m.Open(arc_.wstring(), OpenRead) || m.ReadEntry("e2", content) != 3) _exit(15);
    if (!m.Close()) _exit(16);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ(old_, Read(arc_));
  EXPECT_FALSE(fs::exists(journal_));
  EXPECT_FALSE(fs::exists(dir_ / "a.arc-new"));
}
#endif

}  // namespace
