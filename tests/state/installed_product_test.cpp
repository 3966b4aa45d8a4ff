// The installed-product record against the real registry, real files with real version
// resources and the real environment of the win32 and win64 bench prefixes.
#include "state/installed_product.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/state/state_test_support.h"

namespace tolvane::test {
namespace {

constexpr wchar_t kServer[] = L"quavserver.exe";

bool RunsUnderWow64() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

class InstalledProductTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Refuse to run over a key that a real installation (or an earlier run) left behind.
    ASSERT_FALSE(ProductKey::Exists()) << "HKLM\\SOFTWARE\\QUAV_SRV exists before the test";
    ASSERT_FALSE(folder_.path().empty());
    InstalledProduct() = InstalledProductRecord{};
  }
  void TearDown() override { InstalledProduct() = InstalledProductRecord{}; }

  // Puts a stand-in server into the test folder under the name the product looks for.
  void InstallServer(const std::wstring& fixture) {
    ASSERT_TRUE(CopyFileW(FixtureExecutable(fixture).c_str(), (folder_.path() + kServer).c_str(), FALSE))
        << "missing fixture " << std::string(fixture.begin(), fixture.end());
  }

  TempFolder folder_;
};

// --- What the registry key and the server executable tell -------------------------

TEST_F(InstalledProductTest, NoKeyMeansNotInstalledAndTheDefaultFolderUnderProgramFiles) {
  EXPECT_FALSE(ReadInstalledProduct());
  const InstalledProductRecord& record = InstalledProduct();
  EXPECT_FALSE(record.Installed);
  EXPECT_TRUE(record.UserName.empty());
  EXPECT_TRUE(record.UserCompany.empty());
  EXPECT_EQ(record.ServerVersion, 0);
  // The bench's two prefixes: 32-bit Windows, and a 32-bit process on 64-bit Windows.
  if (RunsUnderWow64()) {
    EXPECT_EQ(record.InstallPath, L"C:\\Program Files (x86)\\QUAV_SRV\\");
  } else {
    EXPECT_EQ(record.InstallPath, L"C:\\Program Files\\QUAV_SRV\\");
  }
}

TEST_F(InstalledProductTest, NoKeyLeavesEarlierContentAlone) {
  InstalledProduct().UserName = L"earlier";
  InstalledProduct().InstallPath = L"E:\\kept\\";
  InstalledProduct().ServerVersion = 263;
  EXPECT_FALSE(ReadInstalledProduct());
  EXPECT_EQ(InstalledProduct().UserName, L"earlier");
  EXPECT_EQ(InstalledProduct().InstallPath, L"E:\\kept\\");
  EXPECT_EQ(InstalledProduct().ServerVersion, 263);
}

TEST_F(InstalledProductTest, KeyWithoutServerOffersTheRecordedValuesButIsNotInstalled) {
  ProductKey key;
  ASSERT_TRUE(key.SetString(L"UserName", L"张三"));
  ASSERT_TRUE(key.SetString(L"UserCompany", L"某某翻译公司"));
  ASSERT_TRUE(key.SetString(L"InstallPath", folder_.path()));
  InstalledProduct().ServerVersion = 99;

  EXPECT_FALSE(ReadInstalledProduct());
  const InstalledProductRecord& record = InstalledProduct();
  EXPECT_FALSE(record.Installed);
  EXPECT_EQ(record.UserName, L"张三");
  EXPECT_EQ(record.UserCompany, L"某某翻译公司");
  EXPECT_EQ(record.InstallPath, folder_.path());
  EXPECT_EQ(record.ServerVersion, 99) << "no executable: the version is not touched";
}

TEST_F(InstalledProductTest, InstallPathWithoutTrailingBackslashDoesNotFindTheServer) {
  InstallServer(L"server_1_0_7_0");
  std::wstring recorded = folder_.path();
  recorded.pop_back();
  ProductKey key;
  ASSERT_TRUE(key.SetString(L"InstallPath", recorded));
  InstalledProduct().ServerVersion = 99;

  EXPECT_FALSE(ReadInstalledProduct());
  EXPECT_FALSE(InstalledProduct().Installed);
  EXPECT_EQ(InstalledProduct().ServerVersion, 99);
  EXPECT_EQ(InstalledProduct().InstallPath, recorded) << "a recorded folder is kept as it is";
}

TEST_F(InstalledProductTest, InstalledIsWorkedOutAfreshOnEveryCall) {
  InstallServer(L"server_1_0_7_0");
  ProductKey key;
  ASSERT_TRUE(key.SetString(L"InstallPath", folder_.path()));
  ASSERT_TRUE(ReadInstalledProduct());
  ASSERT_EQ(InstalledProduct().ServerVersion, 263);

  ASSERT_TRUE(DeleteFileW((folder_.path() + kServer).c_str()));
  EXPECT_FALSE(ReadInstalledProduct());
  EXPECT_FALSE(InstalledProduct().Installed);
  EXPECT_EQ(InstalledProduct().ServerVersion, 263) << "the last version read is kept";
}

TEST_F(InstalledProductTest, KeyInThe64BitViewIsNotTheProducts) {
  if (!RunsUnderWow64()) GTEST_SKIP() << "32-bit Windows has a single registry view";
  InstallServer(L"server_1_0_7_0");
  ProductKey key(KEY_WOW64_64KEY);
  ASSERT_TRUE(key.ok());
  ASSERT_TRUE(key.SetString(L"UserName", L"64-bit"));
  ASSERT_TRUE(key.SetString(L"InstallPath", folder_.path()));
  ASSERT_FALSE(ProductKey::Exists()) << "the 64-bit key must not show in the 32-bit view";

  EXPECT_FALSE(ReadInstalledProduct());
  EXPECT_TRUE(InstalledProduct().UserName.empty());
  EXPECT_EQ(InstalledProduct().InstallPath, L"C:\\Program Files (x86)\\QUAV_SRV\\");
}

// --- Versions of the installed server ------------------------------------------------

struct VersionCase {
  const wchar_t* fixture;
  uint16_t version;
};

void PrintTo(const VersionCase& c, std::ostream* out) {
  *out << std::string(c.fixture, c.fixture + wcslen(c.fixture));
}

class ServerVersionTest : public InstalledProductTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(ServerVersionTest, IsReadFromTheFileVersionString) {
  EXPECT_EQ(ReadServerVersion(FixtureExecutable(GetParam().fixture)), GetParam().version);
}

TEST_P(ServerVersionTest, DecidesWhetherTheProductCountsAsInstalled) {
  InstallServer(GetParam().fixture);
  ProductKey key;
  ASSERT_TRUE(key.SetString(L"UserName", L"user"));
  ASSERT_TRUE(key.SetString(L"InstallPath", folder_.path()));
  InstalledProduct().ServerVersion = 99;

  const bool installed = GetParam().version != 0;
  EXPECT_EQ(ReadInstalledProduct(), installed);
  EXPECT_EQ(InstalledProduct().Installed, installed);
  EXPECT_EQ(InstalledProduct().ServerVersion, GetParam().version);
  EXPECT_EQ(InstalledProduct().UserName, L"user");
  EXPECT_EQ(InstalledProduct().InstallPath, folder_.path());
}

INSTANTIATE_TEST_SUITE_P(
    StandIns, ServerVersionTest,
    ::testing::Values(VersionCase{L"server_1_0_7_0", 263},       // 1 * 256 + 7
                      VersionCase{L"server_2_1_5_3", 517},       // 2 * 256 + 5
                      VersionCase{L"server_0_7_0_0", 0},         // the second number does not count
                      VersionCase{L"server_256_0_0_0", 0},       // 65536 wraps to 0
                      VersionCase{L"server_chinese_only", 770},  // Simplified Chinese table only
                      VersionCase{L"server_both_tables", 263},   // U.S. English table first
                      VersionCase{L"server_german_only", 0},     // neither table
                      VersionCase{L"server_dotted", 1024},       // "4.0.1.0": only the 4 parses
                      VersionCase{L"server_unversioned", 0}));   // no version resource

TEST(ReadServerVersion, FilesWithoutVersionGiveZero) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const std::wstring text = folder.path() + L"readme.txt";
  ASSERT_TRUE(WriteTextFile(text, "not a program"));
  EXPECT_EQ(ReadServerVersion(text), 0);
  EXPECT_EQ(ReadServerVersion(folder.path() + L"missing.exe"), 0);
  EXPECT_EQ(ReadServerVersion(folder.path()), 0);
  EXPECT_EQ(ReadServerVersion(L""), 0);
}

// --- How registry values are read -------------------------------------------------

class RegistryValueTest : public InstalledProductTest {
 protected:
  void SetUp() override {
    InstalledProductTest::SetUp();
    InstalledProduct().UserName = L"name before";
    InstalledProduct().UserCompany = L"company before";
    InstalledProduct().InstallPath = L"F:\\before\\";
    key_.emplace();
    ASSERT_TRUE(key_->ok());
  }
  void TearDown() override {
    key_.reset();
    InstalledProductTest::TearDown();
  }
  std::optional<ProductKey> key_;
};

TEST_F(RegistryValueTest, ExpandableStringsAreTakenAsTheyStand) {
  ASSERT_TRUE(key_->SetString(L"UserName", L"%USERNAME%", REG_EXPAND_SZ));
  ASSERT_TRUE(key_->SetString(L"InstallPath", L"%ProgramFiles%\\QUAV_SRV\\", REG_EXPAND_SZ));
  ReadInstalledProduct();
  EXPECT_EQ(InstalledProduct().UserName, L"%USERNAME%");
  EXPECT_EQ(InstalledProduct().InstallPath, L"%ProgramFiles%\\QUAV_SRV\\");
}

TEST_F(RegistryValueTest, ValuesOfOtherTypesLeaveTheFieldsAlone) {
  const DWORD number = 7;
  ASSERT_TRUE(key_->SetRaw(L"UserName", REG_DWORD, &number, sizeof(number)));
  const wchar_t text[] = L"binary";
  ASSERT_TRUE(key_->SetRaw(L"UserCompany", REG_BINARY, text, sizeof(text)));
  const wchar_t multi[] = L"G:\\multi\\\0second\0";
  ASSERT_TRUE(key_->SetRaw(L"InstallPath", REG_MULTI_SZ, multi, sizeof(multi)));
  ReadInstalledProduct();
  EXPECT_EQ(InstalledProduct().UserName, L"name before");
  EXPECT_EQ(InstalledProduct().UserCompany, L"company before");
  EXPECT_EQ(InstalledProduct().InstallPath, L"F:\\before\\");
}

TEST_F(RegistryValueTest, OddLengthsAndMissingTerminatorsAreRefused) {
  // Seven bytes: "ab", a terminator, and half a unit after it.
  const wchar_t halfUnitMore[] = L"ab\0x";
  ASSERT_TRUE(key_->SetRaw(L"UserName", REG_SZ, halfUnitMore, 7));
  const wchar_t unterminated[] = L"abc";
  ASSERT_TRUE(key_->SetRaw(L"UserCompany", REG_SZ, unterminated, 3 * sizeof(wchar_t)));
  ReadInstalledProduct();
  EXPECT_EQ(InstalledProduct().UserName, L"name before");
  EXPECT_EQ(InstalledProduct().UserCompany, L"company before");
}

TEST_F(RegistryValueTest, ZeroBytesReadAsTheEmptyString) {
  ASSERT_TRUE(key_->SetRaw(L"UserCompany", REG_SZ, nullptr, 0));
  ASSERT_TRUE(key_->SetRaw(L"InstallPath", REG_SZ, nullptr, 0));
  ReadInstalledProduct();
  EXPECT_EQ(InstalledProduct().UserName, L"name before") << "absent value";
  EXPECT_EQ(InstalledProduct().UserCompany, L"");
  // An empty recorded folder gets the default one.
  EXPECT_NE(InstalledProduct().InstallPath.find(L"\\QUAV_SRV\\"), std::wstring::npos);
  EXPECT_NE(InstalledProduct().InstallPath, L"F:\\before\\");
}

TEST_F(RegistryValueTest, AStringEndsAtItsFirstTerminator) {
  const wchar_t twoParts[] = L"first\0second";
  ASSERT_TRUE(key_->SetRaw(L"UserName", REG_SZ, twoParts, sizeof(twoParts)));
  ReadInstalledProduct();
  EXPECT_EQ(InstalledProduct().UserName, L"first");
}

TEST_F(RegistryValueTest, ValuesOf512CharactersOrMoreAreIgnored) {
  const std::wstring longest(511, L'名');
  ASSERT_TRUE(key_->SetString(L"UserName", longest));
  ASSERT_TRUE(key_->SetString(L"UserCompany", std::wstring(512, L'c')));
  ASSERT_TRUE(key_->SetString(L"InstallPath", L"C:\\" + std::wstring(600, L'p') + L"\\"));
  ReadInstalledProduct();
  EXPECT_EQ(InstalledProduct().UserName, longest);
  EXPECT_EQ(InstalledProduct().UserCompany, L"company before");
  EXPECT_EQ(InstalledProduct().InstallPath, L"F:\\before\\");
}

TEST_F(RegistryValueTest, AnOverlongFolderWithNothingBeforeGetsTheDefault) {
  InstalledProduct().InstallPath.clear();
  ASSERT_TRUE(key_->SetString(L"InstallPath", L"C:\\" + std::wstring(600, L'p') + L"\\"));
  ReadInstalledProduct();
  EXPECT_EQ(InstalledProduct().InstallPath,
            RunsUnderWow64() ? L"C:\\Program Files (x86)\\QUAV_SRV\\" : L"C:\\Program Files\\QUAV_SRV\\");
}

// --- The default folder from the environment -----------------------------------------

// Sets the three variables the default folder depends on (nullopt: absent).
class DefaultFolderTest : public InstalledProductTest {
 protected:
  std::wstring DefaultWith(const std::optional<std::wstring>& architecture,
                           const std::optional<std::wstring>& programFilesX86,
                           const std::optional<std::wstring>& programFiles) {
    EnvironmentOverride a(L"PROCESSOR_ARCHITEW6432", architecture);
    EnvironmentOverride b(L"ProgramFiles(x86)", programFilesX86);
    EnvironmentOverride c(L"ProgramFiles", programFiles);
    InstalledProduct().InstallPath.clear();
    ReadInstalledProduct();
    return InstalledProduct().InstallPath;
  }
};

TEST_F(DefaultFolderTest, Wow64UsesTheX86ProgramFiles) {
  EXPECT_EQ(DefaultWith(L"AMD64", L"X:\\Apps (x86)", L"X:\\Apps"), L"X:\\Apps (x86)\\QUAV_SRV\\");
}

TEST_F(DefaultFolderTest, Without64BitWindowsProgramFilesIsUsed) {
  EXPECT_EQ(DefaultWith(std::nullopt, L"X:\\Apps (x86)", L"X:\\Apps"), L"X:\\Apps\\QUAV_SRV\\");
}

TEST_F(DefaultFolderTest, AFolderEndingInABackslashGetsNoSecondOne) {
  EXPECT_EQ(DefaultWith(std::nullopt, std::nullopt, L"X:\\Apps\\"), L"X:\\Apps\\QUAV_SRV\\");
  EXPECT_EQ(DefaultWith(L"AMD64", L"X:\\Apps (x86)\\", std::nullopt), L"X:\\Apps (x86)\\QUAV_SRV\\");
}

TEST_F(DefaultFolderTest, Wow64WithoutX86FolderTakesTheLastResort) {
  EXPECT_EQ(DefaultWith(L"AMD64", std::nullopt, L"X:\\Apps"), L"C:\\Program Files\\QUAV_SRV\\");
}

TEST_F(DefaultFolderTest, NoVariablesTakeTheLastResort) {
  EXPECT_EQ(DefaultWith(std::nullopt, std::nullopt, std::nullopt), L"C:\\Program Files\\QUAV_SRV\\");
}

TEST_F(DefaultFolderTest, ValuesOf260CharactersOrMoreCountAsAbsent) {
  const std::wstring folder259 = L"X:\\" + std::wstring(256, L'f');
  const std::wstring folder260 = folder259 + L"f";
  EXPECT_EQ(DefaultWith(std::nullopt, std::nullopt, folder259), folder259 + L"\\QUAV_SRV\\");
  EXPECT_EQ(DefaultWith(std::nullopt, std::nullopt, folder260), L"C:\\Program Files\\QUAV_SRV\\");
  EXPECT_EQ(DefaultWith(std::wstring(300, L'A'), L"X:\\Apps (x86)", L"X:\\Apps"), L"X:\\Apps\\QUAV_SRV\\");
}

TEST_F(DefaultFolderTest, ARecordedFolderIsNotReplaced) {
  ProductKey key;
  ASSERT_TRUE(key.SetString(L"InstallPath", L"H:\\recorded\\"));
  EXPECT_EQ(DefaultWith(std::nullopt, std::nullopt, L"X:\\Apps"), L"H:\\recorded\\");
}

}  // namespace
}  // namespace tolvane::test
