// Writing one installed file, the extraction progress value and the relative-name check.
#include "engine/file_output.h"

#include <gtest/gtest.h>

#include <limits>

#include "common/win_owners.h"
#include "engine/error_texts.h"
#include "tests/support/test_files.h"

namespace {

using tolvane::ExtractionProgress;
using tolvane::IsContainedRelativeName;
using tolvane::WriteFileContent;
using tolvane::test::ReadFileBytes;
using tolvane::test::TempFolder;

std::vector<uint8_t> Bytes(const char* text) { return std::vector<uint8_t>(text, text + strlen(text)); }

TEST(WriteFileContent, CreatesTheFileAndCountsItsBytes) {
  TempFolder dir;
  const std::wstring path = dir.path() + L"服务.txt";
  const auto content = Bytes("first line\r\nsecond");
  uint64_t written = 5;
  EXPECT_FALSE(WriteFileContent(path, content.data(), content.size(), written));
  EXPECT_EQ(written, 5u + content.size());
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadFileBytes(path, back));
  EXPECT_EQ(back, content);
  EXPECT_TRUE(tolvane::test::HasOnlyNormalAttributes(path));
}

TEST(WriteFileContent, ReplacesReadOnlyHiddenSystemFileWithANormalOne) {
  // Each alone too: the system refuses some of them and creates over others.
  for (const DWORD attributes :
       {DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}, DWORD{FILE_ATTRIBUTE_READONLY},
        DWORD{FILE_ATTRIBUTE_HIDDEN}, DWORD{FILE_ATTRIBUTE_SYSTEM}}) {
    TempFolder dir;
    const std::wstring path = dir.path() + L"locked.dll";
    ASSERT_TRUE(tolvane::test::WriteFileBytes(path, Bytes("a much longer old content that must vanish")));
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), attributes));
    const auto content = Bytes("new");
    uint64_t written = 0;
    ASSERT_FALSE(WriteFileContent(path, content.data(), content.size(), written)) << attributes;
    std::vector<uint8_t> back;
    ASSERT_TRUE(ReadFileBytes(path, back));
    EXPECT_EQ(back, content) << attributes;
    EXPECT_TRUE(tolvane::test::HasOnlyNormalAttributes(path)) << attributes;
  }
}

TEST(WriteFileContent, FileHeldOpenWithoutSharingGivesTheCreateText) {
  TempFolder dir;
  const std::wstring path = dir.path() + L"quavserver.exe";
  tolvane::UniqueFile holder(
      CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_NE(holder.get(), INVALID_HANDLE_VALUE);
  const auto content = Bytes("MZ");
  uint64_t written = 7;
  const tolvane::Failure failure = WriteFileContent(path, content.data(), content.size(), written);
  holder.reset();
  ASSERT_TRUE(failure);
  EXPECT_EQ(std::wstring(tolvane::FailureText(failure)), L"建立文件 " + path + L" 出错。");
  EXPECT_EQ(written, 7u);
}

TEST(WriteFileContent, MissingFolderGivesTheCreateText) {
  TempFolder dir;
  const std::wstring path = dir.path() + L"absent\\a.txt";
  const auto content = Bytes("x");
  uint64_t written = 0;
  const tolvane::Failure failure = WriteFileContent(path, content.data(), content.size(), written);
  ASSERT_TRUE(failure);
  EXPECT_EQ(std::wstring(tolvane::FailureText(failure)), L"建立文件 " + path + L" 出错。");
}

TEST(WriteFileContent, ByteCountCarriesPastThirtyTwoBits) {
  TempFolder dir;
  const auto content = Bytes("abcd");
  uint64_t written = 0xFFFFFFFEull;
  ASSERT_FALSE(WriteFileContent(dir.path() + L"c", content.data(), content.size(), written));
  EXPECT_EQ(written, 0x100000002ull);
}

TEST(PieceFileWriter, CreatesAtTheFirstPieceAndAbandonRemovesOnlyWhatItCreated) {
  TempFolder dir;
  const std::wstring path = dir.path() + L"pieces.bin";
  uint64_t written = 0;
  {
    tolvane::PieceFileWriter writer(path);
    EXPECT_FALSE(tolvane::test::FileExists(path));  // nothing before content comes
    const auto a = Bytes("first "), b = Bytes("second");
    ASSERT_FALSE(writer.Write(a.data(), a.size(), written));
    ASSERT_FALSE(writer.Write(b.data(), b.size(), written));
    ASSERT_FALSE(writer.Finish());
  }
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadFileBytes(path, back));
  EXPECT_EQ(back, Bytes("first second"));
  EXPECT_EQ(written, 12u);
  {
    // Content found unusable half-way: the file made for it goes.
    tolvane::PieceFileWriter writer(dir.path() + L"half.bin");
    ASSERT_FALSE(writer.Write(back.data(), 3, written));
    writer.Abandon();
    EXPECT_FALSE(tolvane::test::FileExists(dir.path() + L"half.bin"));
  }
  {
    // A writer that wrote nothing leaves an existing file of that name alone.
    tolvane::PieceFileWriter writer(path);
    writer.Abandon();
    EXPECT_TRUE(tolvane::test::FileExists(path));
  }
}

TEST(WriteWholeBuffer, ShortWriteIsAFailure) {
  // A non-blocking pipe with a tiny buffer and no reader accepts less than asked while
  // WriteFile still reports success.
  const wchar_t* name = L"\\\\.\\pipe\\tolvane-engine-short-write";
  const tolvane::UniqueFile server(
      CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 16, 16, 0, nullptr));
  ASSERT_NE(server.get(), INVALID_HANDLE_VALUE);
  const tolvane::UniqueFile client(
      CreateFileW(name, GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_NE(client.get(), INVALID_HANDLE_VALUE);
  DWORD mode = PIPE_NOWAIT | PIPE_READMODE_BYTE;
  ASSERT_TRUE(SetNamedPipeHandleState(client.get(), &mode, nullptr, nullptr));
  std::vector<uint8_t> big(1 << 20, 0x5A);
  DWORD probe = 0;
  ASSERT_TRUE(WriteFile(client.get(), big.data(), static_cast<DWORD>(big.size()), &probe, nullptr));
  ASSERT_LT(probe, big.size()) << "the bench no longer produces a short write";
  EXPECT_FALSE(tolvane::WriteWholeBuffer(client.get(), big.data(), big.size()));
}

TEST(WriteWholeBuffer, CompleteWriteSucceeds) {
  TempFolder dir;
  const std::wstring path = dir.path() + L"w";
  const tolvane::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);
  std::vector<uint8_t> data(70000, 1);
  EXPECT_TRUE(tolvane::WriteWholeBuffer(file.get(), data.data(), data.size()));
  EXPECT_FALSE(tolvane::WriteWholeBuffer(INVALID_HANDLE_VALUE, data.data(), data.size()));
}

TEST(ExtractionProgress, MovesFromBaseToBasePlusSpanByIntegerDivision) {
  const uint64_t total = 6901058;
  EXPECT_EQ(ExtractionProgress(20, 60, 0, total), 20);
  EXPECT_EQ(ExtractionProgress(20, 60, total, total), 80);
  EXPECT_EQ(ExtractionProgress(20, 80, total, total), 100);
  // 20 + (a * 60) / N after a file of a bytes, 20 + ((a + b) * 60) / N after the next.
  const uint64_t a = 1150176, b = 2300352;
  EXPECT_EQ(ExtractionProgress(20, 60, a, total), 20 + static_cast<int32_t>(a * 60 / total));
  EXPECT_EQ(ExtractionProgress(20, 60, a, total), 29);
  EXPECT_EQ(ExtractionProgress(20, 60, a + b, total), 49);      // 29.99999...
  EXPECT_EQ(ExtractionProgress(20, 60, a + b + 1, total), 50);  // exactly 30
  EXPECT_EQ(ExtractionProgress(20, 60, total - 1, total), 79);
}

TEST(ExtractionProgress, ProductIsFormedInSixtyFourBits) {
  // 3 GiB written of 4 GiB: the product overflows 32 bits but not 64.
  const uint64_t total = 4ull << 30, written = 3ull << 30;
  EXPECT_EQ(ExtractionProgress(20, 60, written, total), 65);
}

TEST(ExtractionProgress, NegativeSpanIsSignExtendedBeforeTheUnsignedDivision) {
  // -1 becomes 2^64 - 1; 2 * (2^64 - 1) wraps to 2^64 - 2; divided by 4 gives
  // 0x3FFFFFFFFFFFFFFF, whose low 32 bits are 0xFFFFFFFF, i.e. -1 added to the base.
  EXPECT_EQ(ExtractionProgress(50, -1, 2, 4), 49);
}

TEST(ContainedRelativeName, AcceptsThePackagesOwnForms) {
  EXPECT_TRUE(IsContainedRelativeName(u"quavserver.exe"));
  EXPECT_TRUE(IsContainedRelativeName(u"web\\static\\css\\site.css"));
  EXPECT_TRUE(IsContainedRelativeName(u"..hidden\\a..b\\x.y"));
  EXPECT_TRUE(IsContainedRelativeName(u"数据\\文件 1.txt"));
}

TEST(ContainedRelativeName, RefusesNamesThatLeaveTheFolder) {
  EXPECT_FALSE(IsContainedRelativeName(u""));
  EXPECT_FALSE(IsContainedRelativeName(u"..\\evil.exe"));
  EXPECT_FALSE(IsContainedRelativeName(u"web\\..\\..\\evil.exe"));
  EXPECT_FALSE(IsContainedRelativeName(u"web/../../evil.exe"));
  EXPECT_FALSE(IsContainedRelativeName(u".. \\evil.exe"));
  EXPECT_FALSE(IsContainedRelativeName(u"...\\x"));
  EXPECT_FALSE(IsContainedRelativeName(u"web\\.."));
  EXPECT_FALSE(IsContainedRelativeName(u"C:\\Windows\\evil.exe"));
  EXPECT_FALSE(IsContainedRelativeName(u"C:evil.exe"));
  EXPECT_FALSE(IsContainedRelativeName(u"file.txt:stream"));
  EXPECT_FALSE(IsContainedRelativeName(u"\\Windows\\evil.exe"));
  EXPECT_FALSE(IsContainedRelativeName(u"\\\\server\\share\\x"));
  EXPECT_FALSE(IsContainedRelativeName(u"/etc/passwd"));
  EXPECT_FALSE(IsContainedRelativeName(u"web\\\\x"));
  EXPECT_FALSE(IsContainedRelativeName(u"web\\"));
  EXPECT_FALSE(IsContainedRelativeName(u"web\\.\\x"));
  EXPECT_FALSE(IsContainedRelativeName(std::u16string(u"web\0..\\x", 9)));
}

}  // namespace
