// Whole-file reads and all-or-nothing writes for the packaging tool. Errors come back as
// text that names the path, ready for the user. The file-system steps of a write are
// storage/file_system.h's, which the archive's file streams take too.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
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

// Makes the folder's names durable (files created, renamed or removed in it).
bool SyncFolder(const std::filesystem::path& folder, std::string& error);

// The wide name the archive's file streams take, from UTF-8 (an argument) or a path;
// false, with the reason in problem, for an empty name or one that is not valid UTF-8.
bool WideName(const std::string& utf8, std::wstring& wide, std::string& problem);
bool WideName(const std::filesystem::path& path, std::wstring& wide, std::string& problem);

// Temporary files and folders are made under fresh names ("<stem>.partial-<16 hex
// digits>" from the system's random source), created exclusively and never through a
// link, so that nobody who can write to the folder can have the tool overwrite a file of
// their choosing; a name that is taken is passed over for another.
bool SystemRandom(uint8_t* out, size_t length, std::string& error);
// Replaces the random part of the names (the archive file streams' too), given the
// attempt (0, 1, ...) at one creation; an empty function restores it. Tests plant links at
// the names they know will come.
void SetTemporaryNameSource(std::function<std::string(int attempt)> source);

// A new folder at a fresh name in `parent`, for the owner only (POSIX), removed with all
// it holds by the destructor unless Keep() was called.
class TemporaryFolder {
 public:
  TemporaryFolder() = default;
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  bool Make(const std::filesystem::path& parent, const std::string& stem, std::string& error);
  const std::filesystem::path& Path() const { return path_; }
  // The folder was renamed to `placed`: gives it the permissions a new folder would have
  // (POSIX) and no longer removes it.
  void Keep(const std::filesystem::path& placed);
  void Remove();

 private:
  std::filesystem::path path_;
};

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
  // Syncs and closes the temporary file, complete, so that others may open it (Windows
  // lets no reader in beside a writer that does not share writing).
  bool Finish(std::string& error);
  bool Commit(std::string& error);  // Finish (when not done) and rename
  void Discard();
  // The temporary file, complete after Finish (to check or sign it).
  const std::filesystem::path& TemporaryPath() const { return temp_; }

 private:
  struct Open;
  std::unique_ptr<Open> open_;
  std::filesystem::path path_, temp_;
  bool failed_ = false;
  std::string problem_;
};

}  // namespace tolvane::pack
