// StorageManagerFileStream on POSIX systems: the host tools work on archive files with the
// same observable behaviour as the Windows stream (reads are all-or-nothing, a read that
// would cross the end of the file fails).
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/utf8.h"
#include "storage/file_system.h"
#include "storage/storage_stream.h"

namespace {

constexpr uint64_t kLimit = 0x100000000ull;  // 4 GiB: not addressable by the archive

// Wide names are UTF-32 here; a name that UTF-8 cannot hold, or that holds a NUL, is
// unusable.
bool ToUtf8(const std::wstring& wide, std::string& out) {
  out.clear();
  for (wchar_t c : wide)
    if (c == 0 || !tolvane::AppendUtf8(static_cast<char32_t>(c), out)) return false;
  return !out.empty();
}

// The folder a name lies in.
std::string FolderOf(const std::string& name) {
  const size_t slash = name.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
}

int OpenFd(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

namespace tolvane::files {

const Handle kNoHandle = -1;

bool SystemRandom(uint8_t* out, size_t length) {
  while (length) {
    ssize_t n = ::getrandom(out, length, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

Handle CreateExclusive(const NativeName& name, bool& taken) {
  const int fd = OpenFd(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW);
  taken = fd < 0 && errno == EEXIST;
  return fd;
}

bool Sync(Handle fd) {
  int r;
  do {
    r = ::fsync(fd);
  } while (r != 0 && errno == EINTR);
  return r == 0;
}

bool Close(Handle fd) { return ::close(fd) == 0; }

bool ReplaceName(const NativeName& from, const NativeName& to) { return ::rename(from.c_str(), to.c_str()) == 0; }

bool SyncFolder(const NativeName& folder) {
  const int fd = OpenFd(folder, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  const bool synced = Sync(fd);
  const int error = errno;
  ::close(fd);
  errno = error;
  return synced;
}

std::string LastError() { return std::strerror(errno); }

}  // namespace tolvane::files

bool StorageManagerFileStream::IsOpen() const { return fd_ >= 0; }

int StorageManagerFileStream::Open(const std::wstring& name, StorageOpenMode mode) {
  Close();
  std::string path;
  if (!ToUtf8(name, path)) return OpenFailed;
  struct stat st;
  bool exists = ::stat(path.c_str(), &st) == 0;
  if (mode == OpenOrCreate) mode = exists ? OpenReadWrite : CreateNew;

  int result;
  int fd;
  switch (mode) {
    case OpenRead:
      fd = OpenFd(path, O_RDONLY);
      result = OpenedExisting;
      break;
    case OpenReadWrite:
      fd = OpenFd(path, O_RDWR);
      result = OpenedExisting;
      break;
    case CreateNew: {
      // A new file is made afresh, never through what stands at the name: a link planted
      // there (the "-new" and journal names beside an archive are easy to guess, say in a
      // shared /tmp) is removed, not followed, and the file it points at is left alone.
      // What was there is replaced. Should a link come back between the two calls, the
      // exclusive create refuses.
      if (::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) ::unlink(path.c_str());
      bool taken;
      fd = tolvane::files::CreateExclusive(path, taken);
      result = CreatedNew;
      break;
    }
    default:
      return OpenFailed;
  }
  if (fd < 0) return OpenFailed;
  // Only regular files of less than 4 GiB can hold an archive.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) >= kLimit) {
    ::close(fd);
    return OpenFailed;
  }
  fd_ = fd;
  position_ = 0;
  size_ = static_cast<uint64_t>(st.st_size);
  return result;
}

bool StorageManagerFileStream::Read(void* buffer, uint32_t length) {
  if (fd_ < 0) return false;
  char* p = static_cast<char*>(buffer);
  uint32_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd_, p + done, length - done, static_cast<off_t>(position_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      position_ += done;
      return false;
    }
    done += static_cast<uint32_t>(n);
  }
  position_ += done;
  return true;
}

bool StorageManagerFileStream::ReadPieces(const Piece* pieces, size_t count) {
  if (fd_ < 0) return false;
  // One preadv for up to 16 pieces; the bytes of skipped pieces land in one scratch
  // buffer. Anything else (more pieces, large gaps, a short read) goes piece by piece.
  uint8_t skipped[64];
  iovec vectors[16];
  uint64_t total = 0;
  bool gathered = count <= 16;
  for (size_t k = 0; gathered && k < count; ++k) {
    if (!pieces[k].buffer && pieces[k].length > sizeof skipped) gathered = false;
    vectors[k].iov_base = pieces[k].buffer ? pieces[k].buffer : skipped;
    vectors[k].iov_len = pieces[k].length;
    total += pieces[k].length;
  }
  if (gathered && total > 0) {
    ssize_t n;
    do {
      n = ::preadv(fd_, vectors, static_cast<int>(count), static_cast<off_t>(position_));
    } while (n < 0 && errno == EINTR);
    if (n >= 0 && static_cast<uint64_t>(n) == total) {
      position_ += total;
      return true;
    }
  }
  return StorageManagerStream::ReadPieces(pieces, count);
}

bool StorageManagerFileStream::Write(const void* buffer, uint32_t length) {
  if (fd_ < 0) return false;
  if (position_ + length >= kLimit) return false;
  const char* p = static_cast<const char*>(buffer);
  uint32_t done = 0;
  bool ok = true;
  while (done < length) {
    ssize_t n = ::pwrite(fd_, p + done, length - done, static_cast<off_t>(position_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<uint32_t>(n);
  }
  position_ += done;
  if (position_ > size_) size_ = position_;
  return ok;
}

bool StorageManagerFileStream::Seek(uint32_t position) {
  if (fd_ < 0) return false;
  position_ = position;
  return true;
}

uint32_t StorageManagerFileStream::Tell() {
  if (fd_ < 0 || position_ >= kLimit) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(position_);
}

uint32_t StorageManagerFileStream::GetSize() {
  if (fd_ < 0 || size_ >= kLimit) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(size_);
}

bool StorageManagerFileStream::SetSize(uint32_t length, bool) {
  if (!Seek(length)) return false;
  int r;
  do {
    r = ::ftruncate(fd_, static_cast<off_t>(length));
  } while (r != 0 && errno == EINTR);
  if (r != 0) return false;
  size_ = length;
  return true;
}

void StorageManagerFileStream::Flush() { Sync(); }

bool StorageManagerFileStream::Sync() { return fd_ >= 0 && tolvane::files::Sync(fd_); }

bool StorageManagerFileStream::Identity(uint64_t& volume, uint64_t& file) const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
  volume = static_cast<uint64_t>(st.st_dev);
  file = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool StorageManagerFileStream::Exists(const std::wstring& name) {
  std::string path;
  struct stat st;
  return ToUtf8(name, path) && ::lstat(path.c_str(), &st) == 0;
}

bool StorageManagerFileStream::Remove(const std::wstring& name) {
  std::string path;
  if (!ToUtf8(name, path)) return false;
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool StorageManagerFileStream::Rename(const std::wstring& from, const std::wstring& to) {
  Close();
  std::string a, b;
  return ToUtf8(from, a) && ToUtf8(to, b) && tolvane::files::ReplaceName(a, b);
}

bool StorageManagerFileStream::SyncFolderOf(const std::wstring& name) {
  std::string path;
  return ToUtf8(name, path) && tolvane::files::SyncFolder(FolderOf(path));
}

void StorageManagerFileStream::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  position_ = 0;
  size_ = 0;
}
