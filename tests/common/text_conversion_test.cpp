#include "common/text_conversion.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ToWide, KeepsTextAndJoinsSurrogatePairs) {
  std::u16string text = u"web\\\u4E2D\u6587\U0001F600.txt";
  std::wstring wide = ToWide(text);
  EXPECT_EQ(wide, L"web\\\u4E2D\u6587\U0001F600.txt");
}

TEST(ToUtf16, UndoesToWide) {
  const std::u16string text = u"a\\\u4E2D\U0001F600\uFFFF";
  EXPECT_EQ(ToUtf16(ToWide(text)), text);
  EXPECT_EQ(ToUtf16(L"\U0001F600"), std::u16string(u"\xD83D\xDE00"));
  EXPECT_TRUE(ToUtf16(L"").empty());
}

#ifdef _WIN32
TEST(ToThreadAnsi, GivesTheCodePageBytesOfArchiveNames) {
  // The bench runs Wine in the Chinese locale, as the program's users run Windows.
  ASSERT_EQ(GetACP(), 936u);
  std::string out;
  ASSERT_TRUE(ToThreadAnsi(u"web\\\u4E2D\u6587.txt", out));
  EXPECT_EQ(out, "web\\\xD6\xD0\xCE\xC4.txt");
  // No entry has an empty name: empty text is refused.
  EXPECT_FALSE(ToThreadAnsi(u"", out));
}
#endif

}  // namespace
