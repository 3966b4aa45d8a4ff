// Whole-file reads and all-or-nothing writes for the packaging tool. Errors come back as
// text that names the path, ready for the user.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tolvane::pack {

using Bytes = std::vector<uint8_t>;

std::string Display(const std::filesystem::path& path);

bool ReadWholeFile(const std::filesystem::path& path, Bytes& out, std::string& error);

// Writes to a temporary file beside path and renames it over path only when every byte is
// on disk, so a failure never leaves a half-written file under the final name.
bool WriteFileAtomically(const std::filesystem::path& path, const Bytes& data, std::string& error);

// A fresh, unused name beside path for temporary output ("<name>.partial-<n>").
std::filesystem::path TemporarySibling(const std::filesystem::path& path);

}  // namespace tolvane::pack
