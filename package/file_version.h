// The product's version number in a FileVersion text "a, b, c, d": a × 256 + c, modulo
// 65536. One rule for the wizard, which reads an installed server's version with it, and
// for the packaging tool, which stamps the package's version with it.
//
// Read as the C runtime's swscanf(text, L"%d, %d, %d, %d") reads it on Windows, the
// reading by which installed products are judged: each number may follow blanks and carry
// a sign; a comma must follow a number directly; the first number that does not parse
// ends the reading and leaves the rest 0; a number beyond the int range is clamped to it. Blanks are those of the runtime's iswspace on Windows (the
// Unicode white space but for U+0085: U+0009 to U+000D, U+0020, U+00A0, U+1680, U+2000 to
// U+200A, U+2028, U+2029, U+202F, U+205F, U+3000), whatever the host's locale says; digits
// are ASCII only.
#pragma once

#include <cstdint>
#include <string_view>

namespace tolvane {

bool IsFileVersionBlank(char16_t c);
uint16_t FileVersionNumber(std::u16string_view text);

}  // namespace tolvane
