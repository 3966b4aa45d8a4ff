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
// Restores the calling thread's locale when it goes.
class ThreadLocale {
 public:
  explicit ThreadLocale(LCID locale) : saved_(GetThreadLocale()) { SetThreadLocale(locale); }
  ~ThreadLocale() { SetThreadLocale(saved_); }

 private:
  LCID saved_;
};

TEST(ToArchiveName, GivesCodePage936BytesWhateverTheThreadsCodePage) {
  // 简, 说 and 术 are missing from code pages 950, 932 and 949; an English thread's code
  // page (1252) has no Chinese at all.
  const std::u16string name = u"\u6587\u6863\\\u7B80\u4F53\u8BF4\u660E\\\u672F.txt";
  const std::string expected = "\xCE\xC4\xB5\xB5\\\xBC\xF2\xCC\xE5\xCB\xB5\xC3\xF7\\\xCA\xF5.txt";
  std::string out;
  ASSERT_TRUE(ToArchiveName(name, out));
  EXPECT_EQ(out, expected);
  for (LANGID language : {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT),
                          MAKELANGID(LANG_KOREAN, SUBLANG_DEFAULT),
                          MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL)}) {
    const ThreadLocale locale(MAKELCID(language, SORT_DEFAULT));
    out.clear();
    ASSERT_TRUE(ToArchiveName(name, out)) << std::hex << language;
    EXPECT_EQ(out, expected) << std::hex << language;
  }
  ASSERT_TRUE(ToArchiveName(u"web\\\u4E2D\u6587.txt", out));
  EXPECT_EQ(out, "web\\\xD6\xD0\xCE\xC4.txt");
}

TEST(ToArchiveName, RefusesWhatCodePage936CannotHoldExactly) {
  std::string out;
  // No entry has an empty name.
  EXPECT_FALSE(ToArchiveName(u"", out));
  // Thai, Hangul, a character beyond U+FFFF and a lone surrogate have no code in 936; a
  // lookalike or the default character could name another entry.
  for (const char16_t* name : {u"\u0E01.txt", u"a\\\uD55C", u"\U0001F600", u"x\xD800y", u"\u00E4"}) {
    EXPECT_FALSE(ToArchiveName(name, out)) << std::u16string(name).size();
  }
  // The default character itself is an ordinary character when it is typed.
  ASSERT_TRUE(ToArchiveName(u"a?b\u00E9", out));
  EXPECT_EQ(out, "a?b\xA8\xA6");
}
#endif

}  // namespace
