// Writing one installed file, the extraction progress value and the check of the
// package's relative names: the parts of extraction that do not touch the archive.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/failure.h"
#include "common/win_owners.h"

namespace tolvane {

// Read-only, hidden and system: what keeps a file from being replaced or deleted, and is
// cleared first.
inline constexpr DWORD kProtectingAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// One WriteFile of the whole buffer. A call that succeeds but reports fewer bytes than
// asked counts as a failure.
bool WriteWholeBuffer(HANDLE file, const uint8_t* data, size_t size);

// Replaces the file at `path` with `data` as PieceFileWriter does, in one piece, and
// closes it. On success `size` is added to `bytesWritten`.
Failure WriteFileContent(const std::wstring& path, const uint8_t* data, size_t size, uint64_t& bytesWritten);

// One installed file written in pieces: an existing file's read-only, hidden and system
// attributes are cleared so that it can be replaced; the file is created anew
// (CREATE_ALWAYS) with only the normal attribute, at the first Write, so that nothing is
// touched for content that never comes. Failures: FileNotCreated or FileNotWritten with
// the path.
class PieceFileWriter {
 public:
  explicit PieceFileWriter(const std::wstring& path) : path_(path) {}
  PieceFileWriter(const PieceFileWriter&) = delete;
  PieceFileWriter& operator=(const PieceFileWriter&) = delete;

  // On success `size` is added to `bytesWritten`; on failure the file is closed as it is.
  Failure Write(const uint8_t* data, size_t size, uint64_t& bytesWritten);
  // Creates the file when nothing was written (empty content). The file stays open for
  // TakeFile (or the writer's end, which closes it).
  Failure Finish();
  // The written file, open for writing: whoever takes it brings it to the disk.
  UniqueFile TakeFile() { return std::move(file_); }
  // The content turned out unusable: a file this writer created is removed.
  void Abandon();

 private:
  Failure Create();
  // Whether a file at the path had read-only, hidden or system set, and lost them.
  bool ClearBlockingAttributes();

  std::wstring path_;
  UniqueFile file_;
  bool created_ = false;
};

// base + low 32 bits of (written * span / total), the product in 64 bits with span
// sign-extended and the quotient an unsigned division. `total` must not be 0.
int32_t ExtractionProgress(int32_t base, int32_t span, uint64_t written, uint64_t total);

// True when `name` stays below the folder it is appended to: not empty, no leading
// separator, no drive or stream colon, no NUL, and no empty, "." or ".." component
// (components are split at "\" and "/"; trailing dots and blanks count as the system
// strips them).
bool IsContainedRelativeName(const std::u16string& name);

}  // namespace tolvane
