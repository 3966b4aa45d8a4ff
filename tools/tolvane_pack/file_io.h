// Whole-file reads and all-or-nothing writes for the packaging tool. Errors come back as
// text that names the path, ready for the user.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
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

// The wide name the archive's file streams take (UTF-8 decoded on the host); false when
// the name is not valid UTF-8.
bool WideName(const std::filesystem::path& path, std::wstring& wide);

// A fresh, unused name beside path for temporary output ("<name>.partial-<n>").
std::filesystem::path TemporarySibling(const std::filesystem::path& path);

// Syncs the complete file `from` and renames it over `to` (then syncs the folder).
bool PutInPlace(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error);

// A file written piece by piece under a temporary name beside path; Commit syncs it,
// renames it over path and syncs the folder. Dropped (the temporary file removed) when
// not committed, also by the destructor.
class AtomicFileWriter {
 public:
  AtomicFileWriter();
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  bool Start(const std::filesystem::path& path, std::string& error);
  // Both false after the first failure, which Commit then reports.
  bool Write(const uint8_t* data, size_t length);
  bool WriteAt(uint64_t offset, const uint8_t* data, size_t length);  // bytes already written
  bool Commit(std::string& error);
  void Discard();
  // The temporary file, complete before Commit (to check or sign it).
  const std::filesystem::path& TemporaryPath() const { return temp_; }

 private:
  struct Open;
  std::unique_ptr<Open> open_;
  std::filesystem::path path_, temp_;
  bool failed_ = false;
  std::string problem_;
};

}  // namespace tolvane::pack
