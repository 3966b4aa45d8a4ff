// A large generated product installed as a user installs it, with the anonymous memory
// of the setup process sampled from outside while it installs: it must stay far below
// the size of the payload, and every installed file must be the product's.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/e2e/e2e_env.h"
#include "tests/e2e/install_walk.h"
#include "tests/support/test_files.h"
#include "tests/support/wizard_driver.h"

namespace tolvane::drive {
namespace {

using namespace steps;

// Far below the payload this test installs (about 230 MB).
constexpr long kAnonBoundKiB = 64 * 1024;

// A file of the Unix side (Z: is the root), whole; empty when it cannot be read.
std::string ReadUnixFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

std::wstring BaseName(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Unix processes whose first command-line word names `exe` (as Wine starts a program).
std::vector<std::wstring> ProcessesNamed(const std::wstring& exe) {
  std::vector<std::wstring> found;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(L"Z:\\proc\\*", &data);
  if (find == INVALID_HANDLE_VALUE) return found;
  do {
    const std::wstring pid = data.cFileName;
    if (pid.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
    const std::string cmdline = ReadUnixFile(L"Z:\\proc\\" + pid + L"\\cmdline");
    const std::string first = cmdline.substr(0, cmdline.find('\0'));
    const std::wstring wide(first.begin(), first.end());  // ASCII names only
    if (!first.empty() && _wcsicmp(BaseName(wide).c_str(), BaseName(exe).c_str()) == 0) found.push_back(pid);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return found;
}

long RssAnonKiB(const std::wstring& pid) {
  const std::string status = ReadUnixFile(L"Z:\\proc\\" + pid + L"\\status");
  const size_t at = status.find("RssAnon:");
  return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 8, nullptr, 10);
}

// Samples the largest RssAnon of the setup process on a thread of its own.
class AnonSampler {
 public:
  explicit AnonSampler(const std::wstring& exe) : exe_(exe) {
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
  }
  ~AnonSampler() { Stop(); }
  void Stop() {
    if (!thread_) return;
    stop_ = true;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
  }
  long PeakKiB() const { return peak_; }
  long Samples() const { return samples_; }

 private:
  static DWORD WINAPI Run(void* self) {
    static_cast<AnonSampler*>(self)->Sample();
    return 0;
  }
  void Sample() {
    while (!stop_) {
      for (const std::wstring& pid : ProcessesNamed(exe_)) {
        const long kib = RssAnonKiB(pid);
        if (kib < 0) continue;
        if (kib > peak_) peak_ = kib;
        ++samples_;
      }
      Sleep(20);  // sampling period, not a wait for a condition
    }
  }

  std::wstring exe_;
  HANDLE thread_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<long> peak_{0}, samples_{0};
};

// Every folder and file below `from` is below `to`, each file with the same bytes.
void ExpectSameTree(const std::wstring& from, const std::wstring& to, size_t& files) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((from + L"*").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE) << Narrow(from);
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      EXPECT_TRUE(test::FolderExists(to + name)) << Narrow(to + name);
      ExpectSameTree(from + name + L"\\", to + name + L"\\", files);
    } else {
      EXPECT_TRUE(SameContents(from + name, to + name)) << Narrow(to + name);
      ++files;
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      RemoveTree(folder + name + L"\\");
      RemoveDirectoryW((folder + name).c_str());
    } else {
      DeleteFileW((folder + name).c_str());
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

TEST(LargeInstall, InstallsInBoundedMemory) {
  const std::wstring tree = EnvironmentPath(L"TOLVANE_LARGE_TREE") + L"\\";
  ASSERT_TRUE(test::FolderExists(tree)) << "TOLVANE_LARGE_TREE is not set to the product tree";
  const std::wstring exe = EnvironmentPath(L"TOLVANE_LARGE_SETUP_EXE");
  ASSERT_TRUE(test::FileExists(exe)) << "TOLVANE_LARGE_SETUP_EXE is not set to the large setup.exe";
  SetupProcess setup;
  Wizard wizard;
  AnonSampler sampler(exe);
  Start(setup, wizard, exe);
  WalkToInstall(setup, wizard, L"large", L"bench");
  ASSERT_TRUE(wizard.WaitForPage(IDD_COMPLETION, 600000)) << "the install did not end";
  sampler.Stop();
  FinishInstall(setup, wizard);

  ASSERT_GT(sampler.Samples(), 10) << "the setup process was not found under /proc";
  EXPECT_LT(sampler.PeakKiB(), kAnonBoundKiB);
  std::printf("setup RssAnon peak: %ld KiB over %ld samples\n", sampler.PeakKiB(), sampler.Samples());
  size_t files = 0;
  ExpectSameTree(tree, ExpectedDefaultFolder(), files);
  EXPECT_GT(files, 100u);
  // The prefix is this test's own; its copy of the product is not needed any more.
  RemoveTree(ExpectedDefaultFolder());
}

}  // namespace
}  // namespace tolvane::drive
