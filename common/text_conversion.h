// The program's text forms and the conversions between them: package names are UTF-16
// (char16_t), the file system and the wizard take the platform's wide strings, and the
// archive stores entry names as bytes in code page 936, whatever the system's own code
// page is. The wide conversions are portable (host tests use them too); the code-page
// one is Windows only.
#pragma once

#include <cwchar>
#include <cwctype>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

// UTF-16 text as the platform's wide string: the same code units where wchar_t is 16
// bits wide (Windows), code points (surrogate pairs joined) where it is 32 bits.
inline std::wstring ToWide(const std::u16string& text) {
#if WCHAR_MAX <= 0xFFFF
  return std::wstring(text.begin(), text.end());
#else
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    out.push_back(wchar_t(unit));
  }
  return out;
#endif
}

// The reverse of ToWide: the same code units on Windows; where wchar_t is 32 bits wide,
// code points beyond U+FFFF become surrogate pairs.
inline std::u16string ToUtf16(const std::wstring& text) {
#if WCHAR_MAX <= 0xFFFF
  return std::u16string(text.begin(), text.end());
#else
  std::u16string out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    const char32_t point = static_cast<char32_t>(c);
    if (point >= 0x10000 && point <= 0x10FFFF) {
      out.push_back(char16_t(0xD800 + ((point - 0x10000) >> 10)));
      out.push_back(char16_t(0xDC00 + ((point - 0x10000) & 0x3FF)));
    } else {
      out.push_back(char16_t(point));
    }
  }
  return out;
#endif
}

namespace tolvane {

// `text` without the white space (iswspace in the program's locale) at its end and start:
// the user's entries and the install folder are trimmed by this one rule.
inline std::wstring TrimSpace(const std::wstring& text) {
  size_t end = text.size();
  while (end > 0 && std::iswspace(text[end - 1])) --end;
  size_t start = 0;
  while (start < end && std::iswspace(text[start])) ++start;
  return text.substr(start, end - start);
}

}  // namespace tolvane

#ifdef _WIN32
// The code page of archive entry names. The packaging tool writes names in it, so setup
// must look them up in it on every system, not in the system's own code page.
inline constexpr UINT kArchiveNameCodePage = 936;

// UTF-16 text as an archive entry name (code page 936 bytes). False for an empty text and
// for text that code page 936 cannot hold exactly: a character that would become the
// default character or a look-alike could find a different entry, so none is
// approximated. `out` is then unspecified.
inline bool ToArchiveName(const std::u16string& text, std::string& out) {
  const std::wstring wide = ToWide(text);
  if (wide.empty()) return false;
  const int length = static_cast<int>(wide.size());
  BOOL usedDefault = FALSE;
  const int needed = WideCharToMultiByte(kArchiveNameCodePage, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr,
                                         0, nullptr, &usedDefault);
  if (needed <= 0 || usedDefault) return false;
  out.assign(static_cast<size_t>(needed), '\0');
  return WideCharToMultiByte(kArchiveNameCodePage, WC_NO_BEST_FIT_CHARS, wide.data(), length, &out[0], needed,
                             nullptr, &usedDefault) == needed &&
         !usedDefault;
}
#endif
