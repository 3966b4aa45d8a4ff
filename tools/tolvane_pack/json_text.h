// JSON text for the tool's reports (inspect --json and the hardening report).
#pragma once

#include <cstdio>
#include <string>

namespace tolvane::pack {

// Text as a JSON string literal, quotes included; the bytes stay UTF-8.
inline std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

}  // namespace tolvane::pack
