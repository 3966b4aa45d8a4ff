// The one FileVersion rule, as setup calls it (wide text) and as the packaging tool calls
// it (UTF-16): the same answer on one table that probes each part of the rule, and the
// Windows C runtime's swscanf as the reference where it runs (under Wine).
#include "state/version_text.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

#include "package/file_version.h"

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

uint16_t ByTheToolsCall(const wchar_t* text) {
  std::u16string units;
  for (const wchar_t* p = text; *p; ++p) units += static_cast<char16_t>(*p);
  return tolvane::FileVersionNumber(units);
}

struct Case {
  const wchar_t* text;
  uint16_t version;
};

const Case kCases[] = {
    {L"1, 0, 7, 0", 263}, {L"1,0,8,0", 264}, {L"1, 0", 256}, {L"1", 256}, {L"", 0}, {L"   ", 0}, {L"x", 0},
    {L",1, 2, 3", 0}, {L"1 , 0, 7, 0", 256}, {L" 3 ,  4, 9, 1", 768}, {L"1,\n\t2,\v3,\f4", 259},
    {L"1,\r\n 2, 3", 259}, {L"+1, -0, +9, 0", 265}, {L"- 1, 2, 3", 0}, {L"1, 2, -", 256}, {L"1, 2, +", 256},
    {L"1, -2, 300, 4", 556}, {L"-1, 0, -1, 0", 0xFEFF}, {L"007, 0, 010, 0", 1802}, {L"0x10, 0, 5, 0", 0},
    {L"1, 0x2, 3", 256}, {L"1.5, 2, 3", 256}, {L"1, 2, 3x", 259}, {L"1, 2, 3, 4, 5", 259}, {L"256, 0, 0, 0", 0},
    {L"255, 9, 255, 9", 0xFFFF}, {L"2147483647, 0, 65535, 0", 0xFEFF}, {L"-2147483648, 0, 1, 0", 1},
    {L"1,, 2, 3", 256}, {L"1, ,2, 3", 256},
    // Full-width digits are not digits; full-width, no-break and other Unicode blanks are
    // blanks, as the Windows runtime's iswspace says; a byte-order mark and U+0085 are not.
    {L"\xFF11, 2, 3", 0}, {L"1, \xFF12, 3", 256}, {L"\x3000" L"1,\x3000" L"2,\x3000" L"3", 259},
    {L"\xA0" L"1, 2,\xA0" L"3", 259}, {L"\x2003" L"1, 2, 3", 259}, {L"\x85" L"1, 2, 3", 0},
    {L"\xFEFF" L"1, 2, 3", 0}, {L"\x200B" L"1, 2, 3", 0}, {L"1\x3000, 2, 3", 256}};

// Beyond the int range the Windows runtime's %d clamps (glibc's does not).
const Case kClamped[] = {
    {L"99999999999, 0, 5, 0", 0xFF05}, {L"4294967297, 0, 5, 0", 0xFF05}, {L"2147483648, 0, 5, 0", 0xFF05},
    {L"-2147483649, 0, 1, 0", 0x0001}, {L"1, 2, 99999999999999999999999, 0", 0x00FF}, {L"0, 0, -99999999999, 0", 0}};

TEST(FileVersionRule, OneAnswerForSetupAndTheTool) {
  std::vector<Case> all(std::begin(kCases), std::end(kCases));
  all.insert(all.end(), std::begin(kClamped), std::end(kClamped));
  for (const Case& c : all) {
    EXPECT_EQ(VersionNumberOfText(c.text), c.version) << Shown(c.text);
    EXPECT_EQ(ByTheToolsCall(c.text), c.version) << Shown(c.text);
#ifdef _WIN32
    EXPECT_EQ(BySwscanf(c.text), c.version) << Shown(c.text);
#endif
  }
}

#ifdef _WIN32
// Every character of the Basic Multilingual Plane before and between the numbers: the
// blanks are exactly the runtime's. U+FFFF is the runtime's end of input (WEOF), which
// runtimes treat differently; no version text holds it.
TEST(FileVersionRule, BlanksAreTheRuntimes) {
  for (uint32_t c = 1; c < 0xFFFF; ++c) {
    if (c >= 0xD800 && c < 0xE000) continue;
    const wchar_t text[] = {static_cast<wchar_t>(c), L'1', L',', static_cast<wchar_t>(c), L'2', L',',
                            static_cast<wchar_t>(c), L'3', 0};
    ASSERT_EQ(VersionNumberOfText(text), BySwscanf(text)) << "U+" << std::hex << c;
  }
}
#else
// The host's swscanf knows ASCII blanks in the C locale: it agrees on the ASCII cases.
TEST(FileVersionRule, AsTheHostsSwscanfOnAsciiText) {
  for (const Case& c : kCases) {
    bool ascii = true;
    for (const wchar_t* p = c.text; *p; ++p) ascii = ascii && *p < 0x80;
    if (ascii) {
      EXPECT_EQ(BySwscanf(c.text), c.version) << Shown(c.text);
    }
  }
}
#endif

}  // namespace
