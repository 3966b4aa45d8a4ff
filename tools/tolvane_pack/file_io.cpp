#include "tools/tolvane_pack/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

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

fs::path TemporarySibling(const fs::path& path) {
  static std::mt19937 rng(std::random_device{}());
  std::error_code ec;
  for (;;) {
    fs::path candidate = path;
    candidate += ".partial-" + std::to_string(rng() % 1000000);
    if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
  }
}

namespace {

#ifdef _WIN32
class File {
 public:
  bool Create(const fs::path& path) {
    h_ = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h_ != INVALID_HANDLE_VALUE;
  }
  bool WriteAll(const Bytes& data) {
    size_t done = 0;
    while (done < data.size()) {
      DWORD n = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 30));
      DWORD written = 0;
      if (!WriteFile(h_, data.data() + done, n, &written, nullptr) || written == 0) return false;
      done += written;
    }
    return true;
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
  bool Create(const fs::path& path) {
    do {
      fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ >= 0;
  }
  bool WriteAll(const Bytes& data) {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
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

fs::path FolderOf(const fs::path& path) {
  fs::path folder = path.parent_path();
  return folder.empty() ? fs::path(".") : folder;
}

}  // namespace

bool WriteFileSynced(const fs::path& path, const Bytes& data, std::string& error) {
  File file;
  if (!file.Create(path)) {
    error = Display(path) + ": cannot create: " + File::LastError();
    return false;
  }
  if (!file.WriteAll(data) || !file.Sync()) {
    error = Display(path) + ": write failed: " + File::LastError();
    return false;
  }
  if (!file.Close()) {
    error = Display(path) + ": write failed: " + File::LastError();
    return false;
  }
  return true;
}

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
  fs::path temp = TemporarySibling(path);
  if (!WriteFileSynced(temp, data, error)) {
    std::error_code ec;
    fs::remove(temp, ec);
    error = Display(path) + ": cannot write it (" + error + ")";
    return false;
  }
  if (!Rename(temp, path)) {
    error = Display(path) + ": cannot put in place: " + File::LastError();
    std::error_code ec;
    fs::remove(temp, ec);
    return false;
  }
  // Renamed, the new content is what the name holds; a folder that cannot be synced only
  // makes that less sure to outlast a power cut.
  std::string ignored;
  SyncFolder(FolderOf(path), ignored);
  return true;
}

}  // namespace tolvane::pack
