#include "tools/tolvane_pack/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "common/text_conversion.h"
#include "storage/file_system.h"
#include "tools/tolvane_pack/text_codec.h"

namespace tolvane::pack {

namespace fs = std::filesystem;
namespace files = tolvane::files;

std::string Display(const fs::path& path) {
#ifdef _WIN32
  const std::wstring& wide = path.native();
  return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
#else
  return path.native();
#endif
}

bool ReadWholeFile(const fs::path& path, Bytes& out, std::string& error) {
  out.clear();
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    error = Display(path) + ": " + (fs::exists(path, ec) ? "not a regular file" : "no such file");
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = Display(path) + ": cannot open: " + std::strerror(errno);
    return false;
  }
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  if (size < 0) {
    error = Display(path) + ": cannot read its size";
    return false;
  }
  try {
    out.resize(size_t(size));
  } catch (const std::exception&) {
    error = Display(path) + ": too large to read into memory";
    return false;
  }
  if (size > 0 && !in.read(reinterpret_cast<char*>(out.data()), size)) {
    error = Display(path) + ": read failed";
    out.clear();
    return false;
  }
  return true;
}

bool WideName(const std::string& utf8, std::wstring& wide, std::string& problem) {
  if (utf8.empty()) return problem = "the name is empty", false;
  std::optional<std::u16string> units = Utf8ToUtf16(utf8, problem);
  if (!units) return false;
  wide = ToWide(*units);
  return true;
}

bool WideName(const fs::path& path, std::wstring& wide, std::string& problem) {
#ifdef _WIN32
  if (path.empty()) return problem = "the name is empty", false;
  wide = path.wstring();
  return true;
#else
  return WideName(path.native(), wide, problem);
#endif
}

bool SystemRandom(uint8_t* out, size_t length, std::string& error) {
  if (files::SystemRandom(out, length)) return true;
  error = "the system's random source failed: " + files::LastError();
  return false;
}

void SetTemporaryNameSource(std::function<std::string(int)> source) { files::SetFreshNameSource(std::move(source)); }

namespace {

bool FreshName(const fs::path& folder, const std::string& stem, int attempt, fs::path& name, std::string& error) {
  std::string random;
  if (!files::FreshNamePart(attempt, random))
    return error = "the system's random source failed: " + files::LastError(), false;
  name = folder / PathFromUtf8(stem + ".partial-" + random);
  return true;
}

fs::path FolderOf(const fs::path& path) {
  fs::path folder = path.parent_path();
  return folder.empty() ? fs::path(".") : folder;
}

// A file the tool writes: the calls of storage/file_system.h, and writes of every byte.
class File {
 public:
  ~File() { Close(); }
  // A new file only, never through a link; taken: something stood at the name.
  bool CreateNew(const fs::path& path, bool& taken) {
    h_ = files::CreateExclusive(path.native(), taken);
    return h_ != files::kNoHandle;
  }
  bool WriteAll(const uint8_t* data, size_t size);
  bool WriteAt(uint64_t offset, const uint8_t* data, size_t size);
  bool Sync() { return files::Sync(h_); }
  bool Close() {
    bool ok = h_ == files::kNoHandle || files::Close(h_);
    h_ = files::kNoHandle;
    return ok;
  }

 private:
  files::Handle h_ = files::kNoHandle;
};

#ifdef _WIN32
bool File::WriteAll(const uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    DWORD n = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(h_, data + done, n, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}

bool File::WriteAt(uint64_t offset, const uint8_t* data, size_t size) {
  LARGE_INTEGER at, end, here;
  at.QuadPart = LONGLONG(offset);
  end.QuadPart = 0;
  if (!SetFilePointerEx(h_, end, &here, FILE_CURRENT) || !SetFilePointerEx(h_, at, nullptr, FILE_BEGIN)) return false;
  bool ok = WriteAll(data, size);
  return SetFilePointerEx(h_, here, nullptr, FILE_BEGIN) && ok;
}

bool FolderNameTaken() {
  DWORD e = GetLastError();
  return e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS;
}
#else
bool File::WriteAll(const uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(h_, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool File::WriteAt(uint64_t offset, const uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::pwrite(h_, data + done, size - done, off_t(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool FolderNameTaken() { return errno == EEXIST; }
#endif

// Creates a new file at a fresh name beside `path`.
bool CreateBeside(const fs::path& path, File& file, fs::path& temp, std::string& error) {
  const std::string stem = Display(path.filename());
  for (int attempt = 0; attempt < files::kFreshNameAttempts; ++attempt) {
    if (!FreshName(FolderOf(path), stem, attempt, temp, error)) return false;
    bool taken = false;
    if (file.CreateNew(temp, taken)) return true;
    if (!taken) return error = Display(temp) + ": cannot create: " + files::LastError(), false;
  }
  error = Display(path) + ": cannot create a temporary file beside it: every name tried was taken";
  return false;
}

}  // namespace

bool SyncFolder(const fs::path& folder, std::string& error) {
  if (files::SyncFolder(folder.native())) return true;
  error = Display(folder) + ": cannot sync the folder: " + files::LastError();
  return false;
}

bool WriteFileAtomically(const fs::path& path, const Bytes& data, std::string& error) {
  AtomicFileWriter file;
  if (!file.Start(path, error)) return false;
  file.Write(data.data(), data.size());  // a failure is reported by Commit
  return file.Commit(error);
}

bool PutInPlace(const fs::path& from, const fs::path& to, std::string& error) {
#ifdef _WIN32
  files::Handle h = CreateFileW(from.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
#else
  files::Handle h;
  do {
    h = ::open(from.c_str(), O_RDWR | O_CLOEXEC);
  } while (h < 0 && errno == EINTR);
#endif
  bool synced = h != files::kNoHandle && files::Sync(h);
  if (h != files::kNoHandle) files::Close(h);
  if (!synced) return error = Display(from) + ": cannot sync: " + files::LastError(), false;
  if (!files::ReplaceName(from.native(), to.native()))
    return error = Display(to) + ": cannot put in place: " + files::LastError(), false;
  std::string ignored;  // in place already; only less sure to outlast a power cut
  SyncFolder(FolderOf(to), ignored);
  return true;
}

struct AtomicFileWriter::Open {
  File file;
};

AtomicFileWriter::AtomicFileWriter() = default;
AtomicFileWriter::~AtomicFileWriter() { Discard(); }

bool AtomicFileWriter::Start(const fs::path& path, std::string& error) {
  Discard();
  path_ = path;
  open_ = std::make_unique<Open>();
  if (!CreateBeside(path, open_->file, temp_, error)) {
    open_.reset();
    temp_.clear();
    return false;
  }
  failed_ = false;
  return true;
}

bool AtomicFileWriter::Write(const uint8_t* data, size_t length) {
  if (!open_ || failed_) return false;
  if (!open_->file.WriteAll(data, length)) {
    failed_ = true;
    problem_ = files::LastError();
  }
  return !failed_;
}

bool AtomicFileWriter::WriteAt(uint64_t offset, const uint8_t* data, size_t length) {
  if (!open_ || failed_) return false;
  if (!open_->file.WriteAt(offset, data, length)) {
    failed_ = true;
    problem_ = files::LastError();
  }
  return !failed_;
}

bool AtomicFileWriter::Finish(std::string& error) {
  if (!open_) {
    if (!temp_.empty()) return true;  // finished before
    return error = Display(path_) + ": nothing to put in place", false;
  }
  if (failed_ || !open_->file.Sync() || !open_->file.Close()) {
    error = Display(path_) + ": cannot write it (" + (failed_ ? problem_ : files::LastError()) + ")";
    Discard();
    return false;
  }
  open_.reset();
  return true;
}

bool AtomicFileWriter::Commit(std::string& error) {
  if (!Finish(error)) return false;
  if (!files::ReplaceName(temp_.native(), path_.native())) {
    error = Display(path_) + ": cannot put in place: " + files::LastError();
    std::error_code ec;
    fs::remove(temp_, ec);
    temp_.clear();
    return false;
  }
  temp_.clear();
  std::string ignored;  // in place already; only less sure to outlast a power cut
  SyncFolder(FolderOf(path_), ignored);
  return true;
}

TemporaryFolder::~TemporaryFolder() { Remove(); }

bool TemporaryFolder::Make(const fs::path& parent, const std::string& stem, std::string& error) {
  Remove();
  for (int attempt = 0; attempt < files::kFreshNameAttempts; ++attempt) {
    fs::path name;
    if (!FreshName(parent.empty() ? fs::path(".") : parent, stem, attempt, name, error)) return false;
#ifdef _WIN32
    bool made = CreateDirectoryW(name.c_str(), nullptr) != 0;
#else
    bool made = ::mkdir(name.c_str(), 0700) == 0;
#endif
    if (made) return path_ = name, true;
    if (!FolderNameTaken()) return error = Display(name) + ": cannot create: " + files::LastError(), false;
  }
  error = Display(parent) + ": cannot create a temporary folder in it: every name tried was taken";
  return false;
}

void TemporaryFolder::Keep(const fs::path& placed) {
#ifndef _WIN32
  mode_t mask = ::umask(0);
  ::umask(mask);
  ::chmod(placed.c_str(), 0777 & ~mask);
#else
  (void)placed;
#endif
  path_.clear();
}

void TemporaryFolder::Remove() {
  if (path_.empty()) return;
  std::error_code ec;
  fs::remove_all(path_, ec);  // links inside are removed, never followed
  path_.clear();
}

void AtomicFileWriter::Discard() {
  if (open_) {
    open_->file.Close();
    open_.reset();
  }
  if (!temp_.empty()) {
    std::error_code ec;
    fs::remove(temp_, ec);
    temp_.clear();
  }
}

}  // namespace tolvane::pack
