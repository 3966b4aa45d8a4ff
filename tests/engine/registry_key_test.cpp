// RegistryKey against the real registry of the test prefix, below a scratch key of the
// current user that each test removes again.
#include "engine/registry_key.h"

#include <shlwapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kScratch[] = L"Software\\TolvaneEngineTest";

class RegistryKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SHDeleteKeyW(HKEY_CURRENT_USER, kScratch);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kScratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &scratch_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(scratch_);
    SHDeleteKeyW(HKEY_CURRENT_USER, kScratch);
  }

  bool Exists(const std::wstring& path) {
    HKEY key;
    if (RegOpenKeyExW(scratch_, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }
  void Make(const std::wstring& path, const wchar_t* value = nullptr) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(scratch_, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    if (value) RegSetValueExW(key, L"v", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), 4);
    RegCloseKey(key);
  }
  // Raw value as stored: type and bytes.
  bool Raw(const wchar_t* name, DWORD& type, std::vector<BYTE>& bytes) {
    DWORD size = 0;
    if (RegQueryValueExW(scratch_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    bytes.resize(size);
    return RegQueryValueExW(scratch_, name, nullptr, &type, bytes.data(), &size) == ERROR_SUCCESS;
  }
  void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(RegSetValueExW(scratch_, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  }

  HKEY scratch_ = nullptr;
};

TEST_F(RegistryKeyTest, CreateOpensExistingKeyAndOpenFailsForMissingOne) {
  RegistryKey key;
  EXPECT_EQ(key.OpenKey(scratch_, L"a", RegistryKey::kReadWrite), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.get(), nullptr);
  ASSERT_EQ(key.CreateKey(scratch_, L"a\\b", RegistryKey::kReadWrite), ERROR_SUCCESS);
  EXPECT_TRUE(Exists(L"a\\b"));
  EXPECT_EQ(key.CreateKey(scratch_, L"a\\b", RegistryKey::kReadWrite), ERROR_SUCCESS);
  EXPECT_EQ(key.viewFlags(), 0u);
}

TEST_F(RegistryKeyTest, FailedOpenKeepsTheKeyAlreadyHeld) {
  RegistryKey key;
  ASSERT_EQ(key.CreateKey(scratch_, L"held", RegistryKey::kReadWrite), ERROR_SUCCESS);
  HKEY before = key.get();
  EXPECT_EQ(key.OpenKey(scratch_, L"missing", RegistryKey::kReadWrite), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.get(), before);
  EXPECT_EQ(key.WriteStringValue(L"x", L"still open", REG_SZ), ERROR_SUCCESS);
}

TEST_F(RegistryKeyTest, OpeningBelowTheHeldKeyReplacesIt) {
  Make(L"outer\\inner");
  RegistryKey key;
  ASSERT_EQ(key.OpenKey(scratch_, L"outer", RegistryKey::kReadWrite), ERROR_SUCCESS);
  // The parent is the key being replaced: it must still be open while the child opens.
  ASSERT_EQ(key.OpenKey(key.get(), L"inner", RegistryKey::kReadWrite), ERROR_SUCCESS);
  EXPECT_EQ(key.WriteStringValue(L"here", L"1", REG_SZ), ERROR_SUCCESS);
  HKEY inner;
  ASSERT_EQ(RegOpenKeyExW(scratch_, L"outer\\inner", 0, KEY_READ, &inner), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(inner, L"here", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  RegCloseKey(inner);
}

TEST_F(RegistryKeyTest, CloseReportsNothingOpenAsSuccess) {
  RegistryKey key;
  EXPECT_EQ(key.CloseKey(), ERROR_SUCCESS);
  ASSERT_EQ(key.CreateKey(scratch_, L"c", RegistryKey::kReadWrite), ERROR_SUCCESS);
  EXPECT_EQ(key.CloseKey(), ERROR_SUCCESS);
  EXPECT_EQ(key.get(), nullptr);
  EXPECT_EQ(key.WriteStringValue(L"x", L"y", REG_SZ), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryKeyTest, StringsAreStoredWithTheirTerminatingZero) {
  RegistryKey key;
  ASSERT_EQ(key.OpenKey(HKEY_CURRENT_USER, kScratch, RegistryKey::kReadWrite), ERROR_SUCCESS);
  ASSERT_EQ(key.WriteStringValue(L"name", L"张三 Zhang", REG_SZ), ERROR_SUCCESS);
  ASSERT_EQ(key.WriteStringValue(L"empty", L"", REG_SZ), ERROR_SUCCESS);
  DWORD type = 0;
  std::vector<BYTE> bytes;
  ASSERT_TRUE(Raw(L"name", type, bytes));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(bytes.size(), (8u + 1u) * 2u);  // 张 三 blank Z h a n g, then the zero
  EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data())), L"张三 Zhang");
  ASSERT_TRUE(Raw(L"empty", type, bytes));
  EXPECT_EQ(bytes.size(), 2u);
  EXPECT_EQ(bytes[0] | bytes[1], 0);
}

TEST_F(RegistryKeyTest, MissingTextIsRefusedWithoutTouchingTheRegistry) {
  RegistryKey key;
  ASSERT_EQ(key.OpenKey(HKEY_CURRENT_USER, kScratch, RegistryKey::kReadWrite), ERROR_SUCCESS);
  EXPECT_EQ(key.WriteStringValue(L"none", nullptr, REG_SZ), ERROR_INVALID_DATA);
  DWORD type;
  std::vector<BYTE> bytes;
  EXPECT_FALSE(Raw(L"none", type, bytes));
}

TEST_F(RegistryKeyTest, ReadAcceptsOnlyTerminatedStrings) {
  const wchar_t good[] = L"C:\\Q\\";
  const wchar_t unterminated[] = {L'a', L'b'};
  const DWORD number = 7;
  const BYTE odd[] = {'a', 0, 0};
  SetRaw(L"sz", REG_SZ, good, sizeof(good));
  SetRaw(L"expand", REG_EXPAND_SZ, L"%TEMP%", 14);
  SetRaw(L"zero", REG_SZ, nullptr, 0);
  SetRaw(L"open", REG_SZ, unterminated, sizeof(unterminated));
  SetRaw(L"dword", REG_DWORD, &number, sizeof(number));
  SetRaw(L"odd", REG_SZ, odd, sizeof(odd));

  RegistryKey key;
  ASSERT_EQ(key.OpenKey(HKEY_CURRENT_USER, kScratch, KEY_READ), ERROR_SUCCESS);
  wchar_t buffer[16];
  ASSERT_EQ(key.ReadStringValue(L"sz", buffer, 16), ERROR_SUCCESS);
  EXPECT_STREQ(buffer, good);
  ASSERT_EQ(key.ReadStringValue(L"expand", buffer, 16), ERROR_SUCCESS);
  EXPECT_STREQ(buffer, L"%TEMP%");  // not expanded
  buffer[0] = L'x';
  ASSERT_EQ(key.ReadStringValue(L"zero", buffer, 16), ERROR_SUCCESS);
  EXPECT_STREQ(buffer, L"");
  EXPECT_EQ(key.ReadStringValue(L"open", buffer, 16), ERROR_INVALID_DATA);
  EXPECT_EQ(key.ReadStringValue(L"dword", buffer, 16), ERROR_INVALID_DATA);
  EXPECT_EQ(key.ReadStringValue(L"odd", buffer, 16), ERROR_INVALID_DATA);
  EXPECT_EQ(key.ReadStringValue(L"absent", buffer, 16), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.ReadStringValue(L"sz", buffer, 3), ERROR_MORE_DATA);
}

TEST_F(RegistryKeyTest, DeleteChildKeyRefusesAKeyWithSubkeys) {
  Make(L"parent\\child");
  RegistryKey key;
  ASSERT_EQ(key.OpenKey(HKEY_CURRENT_USER, kScratch, RegistryKey::kReadWrite), ERROR_SUCCESS);
  EXPECT_NE(key.DeleteChildKey(L"parent"), ERROR_SUCCESS);
  EXPECT_TRUE(Exists(L"parent\\child"));
  Make(L"leaf", L"x");
  EXPECT_EQ(key.DeleteChildKey(L"leaf"), ERROR_SUCCESS);
  EXPECT_FALSE(Exists(L"leaf"));
}

TEST_F(RegistryKeyTest, DeleteKeyTreeRemovesANestedSubtreeAndNothingElse) {
  Make(L"tree\\1.0", L"a");
  Make(L"tree\\1.0\\Settings\\Window", L"b");
  Make(L"tree\\1.0\\Settings\\Fonts\\Chinese", L"c");
  Make(L"tree\\1.0\\Recent", L"d");
  for (int i = 0; i < 12; ++i) Make(L"tree\\1.0\\Recent\\item" + std::to_wstring(i), L"e");
  Make(L"tree\\1.01", L"sibling with a common prefix");
  Make(L"tree\\other");

  RegistryKey key;
  ASSERT_EQ(key.OpenKey(scratch_, L"tree", RegistryKey::kReadWrite), ERROR_SUCCESS);
  EXPECT_EQ(key.DeleteKeyTree(L"1.0"), ERROR_SUCCESS);
  EXPECT_FALSE(Exists(L"tree\\1.0"));
  EXPECT_TRUE(Exists(L"tree"));
  EXPECT_TRUE(Exists(L"tree\\1.01"));
  EXPECT_TRUE(Exists(L"tree\\other"));
}

TEST_F(RegistryKeyTest, DeleteKeyTreeOfAMissingKeyReportsTheOpenError) {
  RegistryKey key;
  ASSERT_EQ(key.OpenKey(HKEY_CURRENT_USER, kScratch, RegistryKey::kReadWrite), ERROR_SUCCESS);
  EXPECT_EQ(key.DeleteKeyTree(L"absent"), ERROR_FILE_NOT_FOUND);
  RegistryKey closed;
  EXPECT_EQ(closed.DeleteKeyTree(L"absent"), ERROR_INVALID_HANDLE);
}

}  // namespace
