// The hand-written reader of FileVersion texts against the C runtime's swscanf, which the
// wizard used before: on the host and under Wine, on texts that probe each rule.
#include "state/version_text.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

uint16_t BySwscanf(const wchar_t* text) {
  int n[4] = {0, 0, 0, 0};
  swscanf(text, L"%d, %d, %d, %d", &n[0], &n[1], &n[2], &n[3]);
  return static_cast<uint16_t>(static_cast<uint32_t>(n[0]) * 256u + static_cast<uint32_t>(n[2]));
}

std::string Shown(const wchar_t* text) {
  std::string s;
  for (const wchar_t* p = text; *p; ++p) s += (*p >= 0x20 && *p < 0x7F) ? static_cast<char>(*p) : '?';
  return s;
}

TEST(VersionNumberOfText, ReadsAsSwscanfDoes) {
  const wchar_t* const texts[] = {
      L"1, 0, 7, 0", L"1,0,8,0", L"1, 0", L"1", L"", L"   ", L"x", L",1, 2, 3", L"1 , 0, 7, 0",
      L" 3 ,  4, 9, 1", L"1,\n\t2,\v3,\f4", L"1,\r\n 2, 3", L"+1, -0, +9, 0", L"- 1, 2, 3", L"1, 2, -", L"1, 2, +",
      L"1, -2, 300, 4", L"-1, 0, -1, 0", L"007, 0, 010, 0", L"0x10, 0, 5, 0", L"1, 0x2, 3", L"1.5, 2, 3",
      L"1, 2, 3x", L"1, 2, 3, 4, 5", L"256, 0, 0, 0", L"255, 9, 255, 9", L"2147483647, 0, 65535, 0",
      L"-2147483648, 0, 1, 0", L"1,, 2, 3", L"1, ,2, 3",
      // Full-width digits are not digits; non-ASCII blanks are what the runtime's iswspace says.
      L"\xFF11, 2, 3", L"1, \xFF12, 3", L"\x3000" L"1,\x3000" L"2, 3", L"\xA0" L"1, 2, 3", L"\x2003" L"1, 2, 3",
      L"\xFEFF" L"1, 2, 3", L"\x85" L"1, 2, 3", L"1\x3000, 2, 3"};
  for (const wchar_t* text : texts) EXPECT_EQ(VersionNumberOfText(text), BySwscanf(text)) << Shown(text);
}

// Beyond the int range the Windows runtime's %d clamps (glibc's truncates a long, so the
// host compares with the clamped values only).
TEST(VersionNumberOfText, ClampsNumbersBeyondTheIntRange) {
  struct Case {
    const wchar_t* text;
    uint16_t version;
  };
  const Case cases[] = {
      {L"99999999999, 0, 5, 0", 0xFF05},          // INT_MAX * 256 + 5
      {L"4294967297, 0, 5, 0", 0xFF05},
      {L"2147483648, 0, 5, 0", 0xFF05},
      {L"-2147483649, 0, 1, 0", 0x0001},          // INT_MIN * 256 + 1
      {L"1, 2, 99999999999999999999999, 0", 0x00FF},  // 256 + INT_MAX
      {L"0, 0, -99999999999, 0", 0x0000},         // INT_MIN
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VersionNumberOfText(c.text), c.version) << Shown(c.text);
#ifdef _WIN32
    EXPECT_EQ(VersionNumberOfText(c.text), BySwscanf(c.text)) << Shown(c.text);
#endif
  }
}

}  // namespace
