// Text conversions the packaging tool needs: file names between UTF-8 (the host's), UTF-16
// (the manifest's) and code page 936 (the archive's), and keys as hex digits.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "common/utf8.h"  // Utf8ToUtf16, Utf16ToUtf8
#include "package/payload_cipher.h"

namespace tolvane::pack {


// Code page 936 bytes of text, as the installer's WideCharToMultiByte produces them on a
// Simplified-Chinese system; nullopt when some character has no code there.
std::optional<std::string> Utf16ToCodePage936(const std::u16string& text);

// One path component as UTF-16; nullopt when the file system's name is not valid text,
// the reason in problem.
std::optional<std::u16string> ComponentToUtf16(const std::filesystem::path& component, std::string& problem);
std::filesystem::path Utf16ToPath(const std::u16string& text);
// A path given as UTF-8: an argument (the Windows command line reaches the commands as
// UTF-8, see main.cpp) or a name made from one. On Windows it goes through UTF-16, as
// std::filesystem's own conversion of narrow strings reads the ANSI code page there; on
// POSIX the bytes are the path. Text that is not UTF-8, which the Windows command line
// cannot give, is an empty path there.
std::filesystem::path PathFromUtf8(const std::string& text);

// Exactly 16 hex digits, either case.
std::optional<PayloadKey> ParseKey(const std::string& hex);
std::string KeyToHex(const PayloadKey& key);

}  // namespace tolvane::pack
