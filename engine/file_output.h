// Writing one installed file, the extraction progress value and the check of the
// package's relative names: the parts of extraction that do not touch the archive.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

// The process-wide text in which file-writing failures are composed. A text returned
// from the functions below points into it and stays valid until the next composition.
extern std::wstring ErrorTextBuffer;

namespace tolvane {

// One WriteFile of the whole buffer. A call that succeeds but reports fewer bytes than
// asked counts as a failure.
bool WriteWholeBuffer(HANDLE file, const uint8_t* data, size_t size);

// Replaces the file at `path` with `data`: clears read-only, hidden and system so that an
// existing file can be replaced, creates it anew with only the normal attribute and writes
// it. Null on success, after adding `size` to `bytesWritten`; otherwise the failure text,
// composed in `errorText`.
const wchar_t* WriteFileContent(const std::wstring& path, const uint8_t* data, size_t size,
                                uint64_t& bytesWritten, std::wstring& errorText);

// One installed file written in pieces, as WriteFileContent writes it whole: the same
// attribute clearing, CREATE_ALWAYS, normal attribute and failure texts. The file is
// created at the first Write, so that nothing is touched for content that never comes.
class PieceFileWriter {
 public:
  explicit PieceFileWriter(const std::wstring& path) : path_(path) {}
  ~PieceFileWriter() { Close(); }
  PieceFileWriter(const PieceFileWriter&) = delete;
  PieceFileWriter& operator=(const PieceFileWriter&) = delete;

  // Null on success, after adding `size` to `bytesWritten`; otherwise the failure text,
  // composed in `errorText` (the file is then closed as it is).
  const wchar_t* Write(const uint8_t* data, size_t size, uint64_t& bytesWritten, std::wstring& errorText);
  // Creates the file when nothing was written (empty content), then closes it.
  const wchar_t* Finish(std::wstring& errorText);
  // The content turned out unusable: a file this writer created is removed.
  void Abandon();

 private:
  const wchar_t* Create(std::wstring& errorText);
  // Whether a file at the path had read-only, hidden or system set, and lost them.
  bool ClearBlockingAttributes();
  void Close();

  std::wstring path_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
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
