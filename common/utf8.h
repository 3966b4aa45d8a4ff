// UTF-8, read and written strictly: file names, arguments and text files of the tools and
// the file names of the POSIX archive stream. Well formed means RFC 3629's table: no
// overlong forms, no surrogates, nothing above U+10FFFF, no stray or missing
// continuation bytes. Text that is not well formed is refused, never repaired: a repaired
// name would name another file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

// Where text stops being UTF-8: the first byte that no well-formed sequence allows at its
// place, or (cut) the first byte of a sequence that the text ends inside.
struct Utf8Fault {
  size_t offset = 0;
  uint8_t byte = 0;
  bool cut = false;
};

// The code point that starts at text[at]; moves `at` past it. At a byte that is not
// well-formed UTF-8: false, `fault` set, `at` unchanged.
inline bool NextUtf8(std::string_view text, size_t& at, char32_t& point, Utf8Fault& fault) {
  const uint8_t lead = static_cast<uint8_t>(text[at]);
  if (lead < 0x80) {
    point = lead;
    ++at;
    return true;
  }
  size_t extra;
  uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    fault = {at, lead, false};
    return false;
  }
  char32_t value = lead & (0x3F >> extra);
  for (size_t k = 1; k <= extra; ++k) {
    if (at + k >= text.size()) {
      fault = {at, lead, true};
      return false;
    }
    const uint8_t byte = static_cast<uint8_t>(text[at + k]);
    if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) {
      fault = {at + k, byte, false};
      return false;
    }
    value = value << 6 | (byte & 0x3F);
  }
  point = value;
  at += 1 + extra;
  return true;
}

// "not valid UTF-8: byte 0xC0 at offset 3" (offsets count from 0).
inline std::string DescribeUtf8Fault(const Utf8Fault& fault) {
  static const char kHex[] = "0123456789ABCDEF";
  const std::string byte = std::string("byte 0x") + kHex[fault.byte >> 4] + kHex[fault.byte & 15] + " at offset " +
                           std::to_string(fault.offset);
  return "not valid UTF-8: " + (fault.cut ? "the sequence that " + byte + " starts is cut short" : byte);
}

// Appends point as UTF-8; false, appending nothing, for a surrogate or a value above
// U+10FFFF.
inline bool AppendUtf8(char32_t point, std::string& out) {
  if ((point >= 0xD800 && point < 0xE000) || point > 0x10FFFF) return false;
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | point >> 6);
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | point >> 12);
    out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | point >> 18);
    out += static_cast<char>(0x80 | (point >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
  return true;
}

// UTF-8 text as UTF-16; nullopt, with problem naming the first offending byte, for text
// that is not well formed.
inline std::optional<std::u16string> Utf8ToUtf16(std::string_view text, std::string& problem) {
  std::u16string out;
  Utf8Fault fault;
  for (size_t at = 0; at < text.size();) {
    char32_t point;
    if (!NextUtf8(text, at, point, fault)) {
      problem = DescribeUtf8Fault(fault);
      return std::nullopt;
    }
    if (point >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(point));
    }
  }
  return out;
}

// UTF-16 text as UTF-8. A lone surrogate, which UTF-8 cannot hold, makes it fail with
// problem naming it (text that must stay itself: a file name), or becomes U+FFFD when
// `replace` is set (text that is only shown).
inline bool Utf16ToUtf8(std::u16string_view text, std::string& out, std::string& problem, bool replace = false) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t point = text[i];
    if (point >= 0xD800 && point < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
      point = 0x10000 + ((point - 0xD800) << 10) + (text[++i] - 0xDC00);
    if (AppendUtf8(point, out)) continue;
    if (!replace) {
      problem = "not valid UTF-16: a lone surrogate at unit " + std::to_string(i);
      return false;
    }
    AppendUtf8(0xFFFD, out);
  }
  return true;
}

inline std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out, ignored;
  Utf16ToUtf8(text, out, ignored, true);
  return out;
}

}  // namespace tolvane
