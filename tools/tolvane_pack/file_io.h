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

// Writes to a temporary file beside path, syncs it, renames it over path and syncs the
// folder, so that path holds either its old content or all of data, also after a crash.
// A failure removes the temporary file.
bool WriteFileAtomically(const std::filesystem::path& path, const Bytes& data, std::string& error);

// Creates (or truncates) path, writes data and syncs it: for files inside a temporary
// folder that is renamed into place as a whole.
bool WriteFileSynced(const std::filesystem::path& path, const Bytes& data, std::string& error);

// Makes the folder's names durable (files created, renamed or removed in it).
bool SyncFolder(const std::filesystem::path& folder, std::string& error);

// A fresh, unused name beside path for temporary output ("<name>.partial-<n>").
std::filesystem::path TemporarySibling(const std::filesystem::path& path);

}  // namespace tolvane::pack
