#include "state/version_text.h"

#include <string>

#include "package/file_version.h"

uint16_t VersionNumberOfText(const wchar_t* text) {
  std::u16string units;
  // UTF-16 already on Windows; on the host (tests) a character beyond it is no blank or digit.
  for (; *text; ++text) units += static_cast<uint32_t>(*text) > 0xFFFF ? u'\xFFFD' : static_cast<char16_t>(*text);
  return tolvane::FileVersionNumber(units);
}
