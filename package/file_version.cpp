#include "package/file_version.h"

namespace tolvane {

namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

}  // namespace

bool IsFileVersionBlank(char16_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

uint16_t FileVersionNumber(std::u16string_view text) {
  int32_t numbers[4] = {0, 0, 0, 0};
  size_t p = 0;
  auto at = [&](size_t i) { return i < text.size() ? text[i] : u'\0'; };
  for (int n = 0; n < 4; ++n) {
    if (n > 0) {
      if (at(p) != u',') break;
      ++p;
    }
    while (IsFileVersionBlank(at(p))) ++p;
    size_t q = p;
    const bool negative = at(q) == u'-';
    if (at(q) == u'-' || at(q) == u'+') ++q;
    if (!IsDigit(at(q))) break;
    const uint64_t limit = negative ? 0x80000000u : 0x7FFFFFFFu;
    uint64_t magnitude = 0;
    for (; IsDigit(at(q)); ++q) {
      magnitude = magnitude * 10 + uint64_t(at(q) - u'0');
      if (magnitude > limit) magnitude = limit + 1;  // clamped below; never overflows
    }
    if (magnitude > limit) magnitude = limit;
    numbers[n] = negative ? int32_t(-int64_t(magnitude)) : int32_t(magnitude);
    p = q;
  }
  return uint16_t(uint32_t(numbers[0]) * 256u + uint32_t(numbers[2]));
}

}  // namespace tolvane
