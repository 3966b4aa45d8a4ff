// setup.exe started from a folder that others can write into (as Downloads is), beside a
// planted DLL for every DLL it imports or loads. The planted DLL leaves a mark when it is
// loaded; after a whole install and an upgrade walked to their ends no mark may be there,
// and Wine's loader log (+loaddll) must show every one of those DLLs coming from the
// system folder.
//
// Windows looks beside the program for every DLL that is not a KnownDLL. Wine has no
// KnownDLLs and prefers its own builtin DLLs; told to prefer native DLLs for the names
// that are not KnownDLLs (WINEDLLOVERRIDES name=n,b, set for the whole test run since
// Wine reads it from the Unix environment a process starts with), it searches as
// Windows does. WINEDEBUG=+pid,+loaddll names the process of each load.
//
// VERSION.dll is the exception: Wine's own user32.dll imports it (Windows' does not),
// and Wine resolves the imports of its own DLLs through the program's folder before the
// program runs, so native-first it would take the planted one whatever the program
// does. It is planted all the same and checked to be Wine's own; that the program does
// not import it is checked on the file (check_setup_binary.sh, tolvane-pack inspect).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/e2e/e2e_env.h"
#include "tests/e2e/install_walk.h"
#include "tests/support/test_files.h"
#include "tests/support/wizard_driver.h"
#include "tools/tolvane_pack/pe_hardening.h"
#include "tools/tolvane_pack/pe_resources.h"

namespace tolvane::drive {
namespace {

using namespace steps;

constexpr wchar_t kFolder[] = L"C:\\users\\Public\\Downloads\\";

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// The DLL names setup.exe imports (its import tables, read as tolvane-pack reads them),
// and those it loads itself.
std::set<std::string> DllsOfSetup(const std::wstring& exe) {
  pack::pe::Bytes bytes;
  EXPECT_TRUE(test::ReadFileBytes(exe, bytes));
  pack::pe::Image image;
  std::string problem;
  EXPECT_TRUE(image.Parse(std::move(bytes), problem)) << problem;
  std::set<std::string> names = {"riched20.dll", "version.dll"};
  for (const std::string& dll : pack::pe::AnalyseHardening(image).imports) names.insert(Lower(dll));
  return names;
}

struct LoadedDll {
  DWORD process;
  std::string path;  // lower case, unescaped
  bool builtin;      // Wine's own DLL, not the code of the file at `path`
};

// Lines "0108:0110:trace:loaddll:build_module Loaded L"C:\\windows\\system32\\version.dll"
// at 66640000: builtin" of the log (process, thread, channel, path, kind).
std::vector<LoadedDll> LoadedDlls(const std::wstring& log) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(test::ReadFileBytes(log, bytes));
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  std::vector<LoadedDll> loaded;
  std::string line;
  const std::string marker = "Loaded L\"";
  while (std::getline(in, line)) {
    const size_t at = line.find(marker);
    if (at == std::string::npos) continue;
    const size_t end = line.find('"', at + marker.size());
    if (end == std::string::npos) continue;
    std::string path;
    for (size_t i = at + marker.size(); i < end; ++i) {
      if (line[i] == '\\' && i + 1 < end && line[i + 1] == '\\') ++i;
      path += line[i];
    }
    const DWORD process = static_cast<DWORD>(std::strtoul(line.c_str(), nullptr, 16));
    loaded.push_back({process, Lower(path), line.find(": builtin", end) != std::string::npos});
  }
  return loaded;
}

class PlantedDll : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(CreateDirectoryW(kFolder, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS); }
  // Also after a walk that failed: a planted DLL that ran usually keeps the wizard from
  // appearing at all (it lacks the functions the program imports).
  void TearDown() override {
    setup_.Terminate();
    for (const std::string& dll : dlls_)
      EXPECT_FALSE(test::FileExists(kFolder + Wide(dll) + L".mark")) << "the planted " << dll << " was loaded";
    CheckLoaderLog();
  }
  void StartSetup() {
    Start(setup_, wizard_, std::wstring(kFolder) + L"setup.exe");
    setups_.insert(setup_.Id());
  }

  // Wine's loader names a DLL by the path where its search found a file of that name,
  // also when it then loads its own builtin DLL instead (": builtin"). Without KnownDLLs
  // its search passes the program's folder for every static import and for the imports
  // of its own DLLs (its user32 imports version.dll), so those may be named there as
  // long as Wine's own DLL was loaded, not the planted one. RICHED20.DLL and comctl32
  // are asked for by the program alone: they must come from the system folder and the
  // side-by-side store.
  void CheckLoaderLog() const {
    if (setups_.empty()) return;
    const std::wstring log = EnvironmentPath(L"TOLVANE_STDERR_LOG");
    const std::string folder = Lower(Narrow(kFolder));
    std::set<std::string> seen;
    for (const LoadedDll& dll : LoadedDlls(log)) {
      if (!setups_.count(dll.process)) continue;  // the test itself, Wine's own programs
      const std::string name = dll.path.substr(dll.path.find_last_of('\\') + 1);
      if (!dlls_.count(name)) continue;
      seen.insert(name);
      const bool system = dll.path.rfind("c:\\windows\\system32\\", 0) == 0 ||
                          dll.path.rfind("c:\\windows\\syswow64\\", 0) == 0 ||
                          (name == "comctl32.dll" && dll.path.rfind("c:\\windows\\winsxs\\", 0) == 0);
      const bool besideProgram = dll.path.rfind(folder, 0) == 0;
      if (name == "riched20.dll" || name == "comctl32.dll") {
        EXPECT_TRUE(system) << dll.path;
      } else {
        EXPECT_TRUE(system || (besideProgram && dll.builtin)) << dll.path << (dll.builtin ? "" : " (native)");
      }
    }
    for (const char* loaded : {"riched20.dll", "comctl32.dll", "version.dll", "user32.dll"})
      EXPECT_TRUE(seen.count(loaded)) << loaded << " does not appear in the loader log " << Narrow(log);
  }

  std::set<std::string> dlls_;  // planted beside setup.exe
  std::set<DWORD> setups_;      // processes of the runs
  SetupProcess setup_;
  Wizard wizard_;
};

TEST_F(PlantedDll, NoDllIsTakenFromTheProgramsFolder) {
  ASSERT_FALSE(Environment(L"TOLVANE_STDERR_LOG").empty()) << "TOLVANE_STDERR_LOG is not set";
  const std::wstring planted = EnvironmentPath(L"TOLVANE_PLANTED_DLL");
  const std::wstring exe = std::wstring(kFolder) + L"setup.exe";
  ASSERT_TRUE(CopyFileW(SetupExe().c_str(), exe.c_str(), FALSE));

  const std::string overrides = Lower(Narrow(Environment(L"WINEDLLOVERRIDES")));
  ASSERT_NE(overrides.find("riched20"), std::string::npos) << overrides;
  for (const std::string& dll : DllsOfSetup(exe)) {
    ASSERT_TRUE(CopyFileW(planted.c_str(), (kFolder + Wide(dll)).c_str(), FALSE)) << dll;
    dlls_.insert(dll);
    const std::string base = dll.substr(0, dll.size() - 4);
    if (!pack::pe::IsKnownDll(dll) && base != "version") {
      EXPECT_NE(overrides.find(base), std::string::npos) << base << " is not native-first in " << overrides;
    }
  }

  // A fresh install, then an upgrade: the second run finds the product installed and
  // reads the installed server's version.
  StartSetup();
  WalkToInstall(setup_, wizard_, L"张三", L"");
  FinishInstall(setup_, wizard_);
  StartSetup();
  ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_SETUP_TYPE));
  ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));  // upgrade
  ASSERT_TRUE(wizard_.WaitForPage(IDD_UPGRADE_COMPLETION, 60000));
  // The page shows before its buttons are set: Finish is pressed once it is there.
  ASSERT_TRUE(wizard_.WaitForButtons(false, false, true));
  ASSERT_TRUE(wizard_.Press(WizardButton::Finish));
  DWORD code = 1234;
  ASSERT_TRUE(setup_.WaitForExit(kDefaultTimeoutMs, &code));
  EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace tolvane::drive
