#include "tools/tolvane_pack/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "common/text_conversion.h"
#include "tools/tolvane_pack/text_codec.h"

namespace tolvane::pack {

namespace fs = std::filesystem;

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
#ifdef _WIN32
  if (BCryptGenRandom(nullptr, out, ULONG(length), BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0) return true;
  error = "the system's random source failed";
  return false;
#else
  while (length) {
    ssize_t n = ::getrandom(out, length, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return error = std::string("the system's random source failed: ") + std::strerror(errno), false;
    out += n;
    length -= size_t(n);
  }
  return true;
#endif
}

namespace {

std::function<std::string(int)>& NameSource() {
  static std::function<std::string(int)> source;
  return source;
}

// Tries this many fresh names before giving up: more collisions than that are no chance.
constexpr int kNameAttempts = 64;

bool FreshName(const fs::path& folder, const std::string& stem, int attempt, fs::path& name, std::string& error) {
  std::string random;
  if (NameSource()) {
    random = NameSource()(attempt);
  } else {
    uint8_t bytes[8];
    if (!SystemRandom(bytes, sizeof bytes, error)) return false;
    static const char kHex[] = "0123456789abcdef";
    for (uint8_t b : bytes) random += {kHex[b >> 4], kHex[b & 15]};
  }
  name = folder / (stem + ".partial-" + random);
  return true;
}

#ifdef _WIN32
bool NameTaken() {
  DWORD e = GetLastError();
  return e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS;
}
#else
bool NameTaken() { return errno == EEXIST; }
#endif

fs::path FolderOf(const fs::path& path) {
  fs::path folder = path.parent_path();
  return folder.empty() ? fs::path(".") : folder;
}

}  // namespace

void SetTemporaryNameSource(std::function<std::string(int)> source) { NameSource() = std::move(source); }

namespace {

#ifdef _WIN32
class File {
 public:
  // A new file only; others may read it while it is written (the new setup.exe is read
  // back before it is put in place).
  bool CreateNew(const fs::path& path) {
    h_ = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h_ != INVALID_HANDLE_VALUE;
  }
  bool WriteAll(const Bytes& data) { return WriteAll(data.data(), data.size()); }
  bool WriteAll(const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
      DWORD n = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
      DWORD written = 0;
      if (!WriteFile(h_, data + done, n, &written, nullptr) || written == 0) return false;
      done += written;
    }
    return true;
  }
  bool WriteAt(uint64_t offset, const uint8_t* data, size_t size) {
    LARGE_INTEGER at, end, here;
    at.QuadPart = LONGLONG(offset);
    end.QuadPart = 0;
    if (!SetFilePointerEx(h_, end, &here, FILE_CURRENT) || !SetFilePointerEx(h_, at, nullptr, FILE_BEGIN)) return false;
    bool ok = WriteAll(data, size);
    return SetFilePointerEx(h_, here, nullptr, FILE_BEGIN) && ok;
  }
  bool Sync() { return FlushFileBuffers(h_) != 0; }
  bool Close() {
    bool ok = h_ == INVALID_HANDLE_VALUE || CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return ok;
  }
  ~File() { Close(); }
  static std::string LastError() { return "system error " + std::to_string(GetLastError()); }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

bool Rename(const fs::path& from, const fs::path& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
#else
class File {
 public:
  // A new file only, never through a link.
  bool CreateNew(const fs::path& path) {
    do {
      fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ >= 0;
  }
  bool WriteAll(const Bytes& data) { return WriteAll(data.data(), data.size()); }
  bool WriteAll(const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::write(fd_, data + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  bool WriteAt(uint64_t offset, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::pwrite(fd_, data + done, size - done, off_t(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  bool Sync() {
    int r;
    do {
      r = ::fsync(fd_);
    } while (r != 0 && errno == EINTR);
    return r == 0;
  }
  bool Close() {
    bool ok = fd_ < 0 || ::close(fd_) == 0;
    fd_ = -1;
    return ok;
  }
  ~File() { Close(); }
  static std::string LastError() { return std::strerror(errno); }

 private:
  int fd_ = -1;
};

bool Rename(const fs::path& from, const fs::path& to) { return ::rename(from.c_str(), to.c_str()) == 0; }
#endif

// Creates a new file at a fresh name beside `path`.
bool CreateBeside(const fs::path& path, File& file, fs::path& temp, std::string& error) {
  const std::string stem = Display(path.filename());
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    if (!FreshName(FolderOf(path), stem, attempt, temp, error)) return false;
    if (file.CreateNew(temp)) return true;
    if (!NameTaken()) return error = Display(temp) + ": cannot create: " + File::LastError(), false;
  }
  error = Display(path) + ": cannot create a temporary file beside it: every name tried was taken";
  return false;
}

}  // namespace

bool SyncFolder(const fs::path& folder, std::string& error) {
#ifdef _WIN32
  // NTFS logs its names itself; MOVEFILE_WRITE_THROUGH covers the renames.
  (void)folder;
  (void)error;
  return true;
#else
  int fd;
  do {
    fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  int r = -1;
  if (fd >= 0) {
    do {
      r = ::fsync(fd);
    } while (r != 0 && errno == EINTR);
    ::close(fd);
  }
  if (r != 0) error = Display(folder) + ": cannot sync the folder: " + std::strerror(errno);
  return r == 0;
#endif
}

bool WriteFileAtomically(const fs::path& path, const Bytes& data, std::string& error) {
  AtomicFileWriter file;
  if (!file.Start(path, error)) return false;
  file.Write(data.data(), data.size());  // a failure is reported by Commit
  return file.Commit(error);
}

bool PutInPlace(const fs::path& from, const fs::path& to, std::string& error) {
#ifdef _WIN32
  HANDLE h = CreateFileW(from.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool synced = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
#else
  int fd;
  do {
    fd = ::open(from.c_str(), O_RDWR | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  bool synced = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
#endif
  if (!synced) return error = Display(from) + ": cannot sync: " + File::LastError(), false;
  if (!Rename(from, to)) return error = Display(to) + ": cannot put in place: " + File::LastError(), false;
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
    problem_ = File::LastError();
  }
  return !failed_;
}

bool AtomicFileWriter::WriteAt(uint64_t offset, const uint8_t* data, size_t length) {
  if (!open_ || failed_) return false;
  if (!open_->file.WriteAt(offset, data, length)) {
    failed_ = true;
    problem_ = File::LastError();
  }
  return !failed_;
}

bool AtomicFileWriter::Finish(std::string& error) {
  if (!open_) {
    if (!temp_.empty()) return true;  // finished before
    return error = Display(path_) + ": nothing to put in place", false;
  }
  if (failed_ || !open_->file.Sync() || !open_->file.Close()) {
    error = Display(path_) + ": cannot write it (" + (failed_ ? problem_ : File::LastError()) + ")";
    Discard();
    return false;
  }
  open_.reset();
  return true;
}

bool AtomicFileWriter::Commit(std::string& error) {
  if (!Finish(error)) return false;
  if (!Rename(temp_, path_)) {
    error = Display(path_) + ": cannot put in place: " + File::LastError();
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
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    fs::path name;
    if (!FreshName(parent.empty() ? fs::path(".") : parent, stem, attempt, name, error)) return false;
#ifdef _WIN32
    bool made = CreateDirectoryW(name.c_str(), nullptr) != 0;
#else
    bool made = ::mkdir(name.c_str(), 0700) == 0;
#endif
    if (made) return path_ = name, true;
    if (!NameTaken()) return error = Display(name) + ": cannot create: " + File::LastError(), false;
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
