#include "tools/tolvane_pack/text_codec.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <cstring>
#include <vector>

namespace tolvane::pack {

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

std::optional<std::u16string> ComponentToUtf16(const std::filesystem::path& component, std::string& problem) {
#ifdef _WIN32
  (void)problem;
  const std::wstring& wide = component.native();
  return std::u16string(wide.begin(), wide.end());
#else
  return Utf8ToUtf16(component.native(), problem);
#endif
}

std::filesystem::path Utf16ToPath(const std::u16string& text) {
#ifdef _WIN32
  return std::filesystem::path(std::wstring(text.begin(), text.end()));
#else
  return std::filesystem::path(Utf16ToUtf8(text));
#endif
}

std::filesystem::path PathFromUtf8(const std::string& text) {
#ifdef _WIN32
  std::string problem;
  std::optional<std::u16string> wide = Utf8ToUtf16(text, problem);
  return wide ? Utf16ToPath(*wide) : std::filesystem::path();
#else
  return std::filesystem::path(text);
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
