#include "tools/tolvane_pack/text_codec.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <cstring>
#include <vector>

namespace tolvane::pack {

std::optional<std::u16string> Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    uint8_t b = uint8_t(text[i]);
    uint32_t cp;
    int extra;
    uint32_t min;
    if (b < 0x80) {
      cp = b, extra = 0, min = 0;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F, extra = 1, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F, extra = 2, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07, extra = 3, min = 0x10000;
    } else {
      return std::nullopt;
    }
    if (extra > 0 && i + extra >= text.size()) return std::nullopt;
    for (int k = 1; k <= extra; ++k) {
      uint8_t c = uint8_t(text[i + k]);
      if ((c & 0xC0) != 0x80) return std::nullopt;
      cp = cp << 6 | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return std::nullopt;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(char16_t(0xD800 + (cp >> 10)));
      out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(char16_t(cp));
    }
    i += 1 + extra;
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;  // a lone surrogate cannot be shown
    }
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | cp >> 6);
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | cp >> 12);
      out += char(0x80 | (cp >> 6 & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | cp >> 18);
      out += char(0x80 | (cp >> 12 & 0x3F));
      out += char(0x80 | (cp >> 6 & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

#ifdef _WIN32

std::optional<std::string> Utf16ToCodePage936(const std::u16string& text) {
  if (text.empty()) return std::string();
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(text.data());
  BOOL usedDefault = FALSE;
  int n = WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, wide, int(text.size()), nullptr, 0, nullptr, &usedDefault);
  if (n <= 0 || usedDefault) return std::nullopt;
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, wide, int(text.size()), &out[0], n, nullptr, &usedDefault);
  if (usedDefault) return std::nullopt;
  return out;
}

#else

namespace {

// Owner of one iconv conversion descriptor.
class IconvHandle {
 public:
  IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~IconvHandle() {
    if (ok()) iconv_close(cd_);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

}  // namespace

std::optional<std::string> Utf16ToCodePage936(const std::u16string& text) {
  if (text.empty()) return std::string();
  IconvHandle cd("CP936", "UTF-16LE");
  if (!cd.ok()) return std::nullopt;
  std::vector<char> in(text.size() * 2);
  for (size_t i = 0; i < text.size(); ++i) {
    in[2 * i] = char(text[i] & 0xFF);
    in[2 * i + 1] = char(text[i] >> 8);
  }
  std::vector<char> out(text.size() * 4 + 16);
  char* inPtr = in.data();
  size_t inLeft = in.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  if (iconv(cd.get(), &inPtr, &inLeft, &outPtr, &outLeft) == size_t(-1) || inLeft != 0) return std::nullopt;
  return std::string(out.data(), out.size() - outLeft);
}

#endif

std::optional<std::u16string> ComponentToUtf16(const std::filesystem::path& component) {
#ifdef _WIN32
  const std::wstring& wide = component.native();
  return std::u16string(wide.begin(), wide.end());
#else
  return Utf8ToUtf16(component.native());
#endif
}

std::filesystem::path Utf16ToPath(const std::u16string& text) {
#ifdef _WIN32
  return std::filesystem::path(std::wstring(text.begin(), text.end()));
#else
  return std::filesystem::path(Utf16ToUtf8(text));
#endif
}

std::optional<PayloadKey> ParseKey(const std::string& hex) {
  if (hex.size() != 16) return std::nullopt;
  PayloadKey key{};
  for (size_t i = 0; i < 16; ++i) {
    char c = hex[i];
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (v < 0) return std::nullopt;
    key[i / 2] = uint8_t(key[i / 2] << 4 | v);
  }
  return key;
}

std::string KeyToHex(const PayloadKey& key) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : key) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

}  // namespace tolvane::pack
