#include "state/version_text.h"

#include <cwctype>

namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

void SkipBlanks(const wchar_t*& p) {
  while (*p && std::iswspace(static_cast<std::wint_t>(*p))) ++p;
}

// One "%d" at p: false when no digit comes (after the blanks and the sign).
bool ReadNumber(const wchar_t*& p, int32_t& out) {
  SkipBlanks(p);
  const wchar_t* q = p;
  const bool negative = *q == L'-';
  if (*q == L'-' || *q == L'+') ++q;
  if (!IsDigit(*q)) return false;
  const uint64_t limit = negative ? 0x80000000u : 0x7FFFFFFFu;
  uint64_t magnitude = 0;
  for (; IsDigit(*q); ++q) {
    magnitude = magnitude * 10 + static_cast<uint64_t>(*q - L'0');
    if (magnitude > limit) magnitude = limit + 1;  // clamped below; never overflows
  }
  if (magnitude > limit) magnitude = limit;
  out = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
  p = q;
  return true;
}

}  // namespace

uint16_t VersionNumberOfText(const wchar_t* text) {
  int32_t numbers[4] = {0, 0, 0, 0};
  const wchar_t* p = text;
  for (int n = 0; n < 4; ++n) {
    if (n > 0) {
      if (*p != L',') break;
      ++p;
    }
    if (!ReadNumber(p, numbers[n])) break;
  }
  return static_cast<uint16_t>(static_cast<uint32_t>(numbers[0]) * 256u + static_cast<uint32_t>(numbers[2]));
}
