#include "engine/file_output.h"

#include "engine/file_calls.h"

namespace tolvane {
namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// A component that the system would reduce to nothing, to "." or to "..".
bool IsUnsafeComponent(const std::u16string& name, size_t begin, size_t end) {
  while (end > begin && (name[end - 1] == u'.' || name[end - 1] == u' ')) --end;
  // Only dots and blanks: empty after stripping, or "." / ".." and their padded forms.
  return end == begin;
}

}  // namespace

bool WriteWholeBuffer(HANDLE file, const uint8_t* data, size_t size) {
  if (size > MAXDWORD) return false;
  DWORD written = 0;
  if (!files::Write(file, data, static_cast<DWORD>(size), &written)) return false;
  return written == size;
}

Failure WriteFileContent(const std::wstring& path, const uint8_t* data, size_t size, uint64_t& bytesWritten) {
  PieceFileWriter writer(path);
  if (Failure failure = writer.Write(data, size, bytesWritten)) return failure;
  return writer.Finish();
}

Failure PieceFileWriter::Create() {
  // Created straight away: an install writes where nothing is, and under Wine looking first
  // for a name that is not there searches its whole folder. A read-only, hidden or system
  // file in the way loses those attributes: Windows refuses to create over it, so it is
  // cleared for a second try; Wine creates over a hidden or system one and keeps them.
  file_.reset(files::Open(path_, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL));
  if (file_) {
    // (Attributes that cannot be cleared stay on what is the new file all the same.)
    if (GetLastError() == ERROR_ALREADY_EXISTS) ClearBlockingAttributes();
  } else if (GetLastError() == ERROR_ACCESS_DENIED && ClearBlockingAttributes()) {
    file_.reset(files::Open(path_, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL));
  }
  if (!file_) return Failed(Failure::What::FileNotCreated, path_, GetLastError());
  created_ = true;
  return {};
}

Failure PieceFileWriter::Write(const uint8_t* data, size_t size, uint64_t& bytesWritten) {
  if (!created_) {
    if (Failure failure = Create()) return failure;
  }
  if (!file_ || !WriteWholeBuffer(file_.get(), data, size)) {
    const DWORD error = GetLastError();
    file_.reset();
    return Failed(Failure::What::FileNotWritten, path_, error);
  }
  bytesWritten += size;
  return {};
}

Failure PieceFileWriter::Finish() {
  if (!created_) return Create();
  return {};
}

void PieceFileWriter::Abandon() {
  file_.reset();
  // (A file that cannot be removed is left: the run that wrote it puts the folder back.)
  if (created_) files::Delete(path_);
  created_ = false;
}

bool PieceFileWriter::ClearBlockingAttributes() {
  const DWORD attributes = files::Attributes(path_);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         (attributes & kProtectingAttributes) && files::SetAttributes(path_, attributes & ~kProtectingAttributes);
}

int32_t ExtractionProgress(int32_t base, int32_t span, uint64_t written, uint64_t total) {
  const uint64_t product = written * static_cast<uint64_t>(static_cast<int64_t>(span));
  const uint32_t share = static_cast<uint32_t>(product / total);
  return static_cast<int32_t>(static_cast<uint32_t>(base) + share);
}

bool IsContainedRelativeName(const std::u16string& name) {
  if (name.empty() || IsSeparator(name.front())) return false;
  size_t begin = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size()) {
      const char16_t c = name[i];
      if (c == u'\0' || c == u':') return false;
      if (!IsSeparator(c)) continue;
    }
    if (IsUnsafeComponent(name, begin, i)) return false;
    begin = i + 1;
  }
  return true;
}

}  // namespace tolvane
