// StorageManagerFileStream on Windows: one Win32 file handle; and the durable file calls
// of storage/file_system.h.
//
// Renames and removals through a handle (SetFileInformationByHandle) need Windows Vista;
// the tools that write archive files run on Windows 8 and later.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <string>
#include <vector>

#include "storage/file_system.h"
#include "storage/storage_stream.h"

namespace {

// CREATE_NEW: fails when anything stands at the name, a link included, which it does not
// follow.
HANDLE CreateNewFile(const std::wstring& name, DWORD access, bool& taken) {
  HANDLE h = CreateFileW(name.c_str(), access, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD error = GetLastError();
  taken = h == INVALID_HANDLE_VALUE && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS);
  return h;
}

}  // namespace

namespace tolvane::files {

const Handle kNoHandle = INVALID_HANDLE_VALUE;

bool SystemRandom(uint8_t* out, size_t length) {
  return BCryptGenRandom(nullptr, out, ULONG(length), BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

Handle CreateExclusive(const NativeName& name, bool& taken) {
  return CreateNewFile(name, GENERIC_READ | GENERIC_WRITE, taken);
}

bool Sync(Handle file) { return FlushFileBuffers(file) != 0; }
bool Close(Handle file) { return CloseHandle(file) != 0; }

bool ReplaceName(const NativeName& from, const NativeName& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// NTFS keeps its own log of names; MOVEFILE_WRITE_THROUGH covers renames.
bool SyncFolder(const NativeName&) { return true; }

std::string LastError() { return "system error " + std::to_string(GetLastError()); }

}  // namespace tolvane::files

namespace {

constexpr ULONGLONG kLimit = 0x100000000ull;  // 4 GiB: not addressable by the archive

HANDLE AsHandle(void* h) { return static_cast<HANDLE>(h); }

// Position of the handle as 64 bits, or false.
bool CurrentPosition(HANDLE h, ULONGLONG& pos) {
  LONG high = 0;
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(h, 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
  pos = (static_cast<ULONGLONG>(static_cast<DWORD>(high)) << 32) | low;
  return true;
}

// Gives the open file `name`, replacing what stands there. The rename goes through the
// handle and replaces a link at the name as itself: nothing at the name is opened.
bool RenameOver(HANDLE file, const std::wstring& name) {
  const DWORD length = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (length == 0) return false;
  std::vector<uint8_t> buffer(sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  const DWORD written = GetFullPathNameW(name.c_str(), length, info->FileName, nullptr);
  if (written == 0 || written >= length) return false;
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = written * sizeof(wchar_t);
  return SetFileInformationByHandle(file, FileRenameInfo, info, DWORD(buffer.size())) != 0;
}

// Closes a file made here and removes it, whatever its name is by now.
bool Discard(HANDLE file) {
  FILE_DISPOSITION_INFO dispose = {TRUE};
  const bool removed = SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose) != 0;
  return CloseHandle(file) && removed;
}

// A new file at `name`: made under a fresh name beside it, then renamed over it. Whatever
// stood at the name (a file, a link, a dangling link) is replaced as itself, never followed
// and never opened, so no file a link points at is written or removed. A folder at the
// name, or a file held open there without sharing, refuses the rename. The handle has
// DELETE access, which no reader shares: it is for removing the file (Discard) or for
// opening it again (ReopenSame).
HANDLE CreateReplacing(const std::wstring& name) {
  for (int attempt = 0; attempt < tolvane::files::kFreshNameAttempts; ++attempt) {
    std::string part;
    if (!tolvane::files::FreshNamePart(attempt, part)) return INVALID_HANDLE_VALUE;
    bool taken = false;
    HANDLE h = CreateNewFile(name + L".partial-" + std::wstring(part.begin(), part.end()),
                             GENERIC_READ | GENERIC_WRITE | DELETE, taken);
    if (h == INVALID_HANDLE_VALUE) {
      if (taken) continue;
      return h;
    }
    if (RenameOver(h, name)) return h;
    const DWORD error = GetLastError();
    Discard(h);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  return INVALID_HANDLE_VALUE;
}

// Closes `open` and opens the same file again at `name` with other access and sharing.
// Should the name no longer lead to that file (something put there in between), nothing
// is opened.
HANDLE ReopenSame(HANDLE open, const std::wstring& name, DWORD access, DWORD share) {
  BY_HANDLE_FILE_INFORMATION before, after;
  const bool known = GetFileInformationByHandle(open, &before);
  CloseHandle(open);
  if (!known) return INVALID_HANDLE_VALUE;
  HANDLE h = CreateFileW(name.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE &&
      (!GetFileInformationByHandle(h, &after) || after.dwVolumeSerialNumber != before.dwVolumeSerialNumber ||
       after.nFileIndexHigh != before.nFileIndexHigh || after.nFileIndexLow != before.nFileIndexLow)) {
    CloseHandle(h);
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

}  // namespace

bool StorageManagerFileStream::IsOpen() const { return handle_ != nullptr; }

int StorageManagerFileStream::Open(const std::wstring& name, StorageOpenMode mode) {
  Close();
  bool exists = GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (mode == OpenOrCreate) mode = exists ? OpenReadWrite : CreateNew;

  HANDLE h;
  int result;
  switch (mode) {
    case OpenRead:
      h = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      result = OpenedExisting;
      break;
    case OpenReadWrite:
      h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      result = OpenedExisting;
      break;
    case CreateNew:
      // Opened again without DELETE access, so that others may read it as any archive file.
      h = CreateReplacing(name);
      if (h != INVALID_HANDLE_VALUE) h = ReopenSame(h, name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
      result = CreatedNew;
      break;
    default:
      return OpenFailed;
  }
  if (h == INVALID_HANDLE_VALUE) return OpenFailed;
  // Files of 4 GiB and more cannot hold an archive.
  DWORD high = 0;
  SetLastError(NO_ERROR);
  DWORD low = GetFileSize(h, &high);
  if ((low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || high != 0) {
    CloseHandle(h);
    return OpenFailed;
  }
  handle_ = h;
  return result;
}

bool StorageManagerFileStream::Read(void* buffer, uint32_t length) {
  if (!handle_) return false;
  DWORD read = 0;
  return ReadFile(AsHandle(handle_), buffer, length, &read, nullptr) && read == length;
}

bool StorageManagerFileStream::Write(const void* buffer, uint32_t length) {
  if (!handle_) return false;
  ULONGLONG pos;
  if (!CurrentPosition(AsHandle(handle_), pos) || pos + length >= kLimit) return false;
  DWORD written = 0;
  return WriteFile(AsHandle(handle_), buffer, length, &written, nullptr) && written == length;
}

bool StorageManagerFileStream::Seek(uint32_t position) {
  if (!handle_) return false;
  // The high part is passed so that positions from 2 GiB to 4 GiB are not taken as negative.
  LONG high = 0;
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(AsHandle(handle_), static_cast<LONG>(position), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

uint32_t StorageManagerFileStream::Tell() {
  ULONGLONG pos;
  if (!handle_ || !CurrentPosition(AsHandle(handle_), pos) || pos >= kLimit) return INVALID_SET_FILE_POINTER;
  return static_cast<uint32_t>(pos);
}

uint32_t StorageManagerFileStream::GetSize() {
  if (!handle_) return INVALID_FILE_SIZE;
  DWORD high = 0;
  DWORD low = GetFileSize(AsHandle(handle_), &high);
  if (high != 0) return INVALID_FILE_SIZE;
  return low;
}

bool StorageManagerFileStream::SetSize(uint32_t length, bool) {
  return Seek(length) && SetEndOfFile(AsHandle(handle_));
}

void StorageManagerFileStream::Flush() { Sync(); }

bool StorageManagerFileStream::Sync() { return handle_ && tolvane::files::Sync(AsHandle(handle_)); }

bool StorageManagerFileStream::Identity(uint64_t& volume, uint64_t& file) const {
  BY_HANDLE_FILE_INFORMATION info;
  if (!handle_ || !GetFileInformationByHandle(AsHandle(handle_), &info)) return false;
  volume = info.dwVolumeSerialNumber;
  file = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool StorageManagerFileStream::Exists(const std::wstring& name) {
  return GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Removed as CreateNew replaces: a file renamed over the name and then deleted through its
// own handle. DeleteFileW would do for a link on Windows, but under Wine it removes the
// file a link points at.
bool StorageManagerFileStream::Remove(const std::wstring& name) {
  if (GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return true;
  }
  HANDLE h = CreateReplacing(name);
  return h != INVALID_HANDLE_VALUE && Discard(h);
}

// A rename needs DELETE access, which the stream's handle lacks: the file is opened again
// with it, sharing nothing, so that its name stays until it is renamed through that handle.
bool StorageManagerFileStream::Rename(const std::wstring& from, const std::wstring& to) {
  if (!handle_) return false;
  HANDLE h = ReopenSame(AsHandle(handle_), from, DELETE | FILE_READ_ATTRIBUTES, 0);
  handle_ = nullptr;
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool renamed = RenameOver(h, to);
  return CloseHandle(h) && renamed;
}

// See tolvane::files::SyncFolder: nothing to do on Windows.
bool StorageManagerFileStream::SyncFolderOf(const std::wstring&) { return true; }

void StorageManagerFileStream::Close() {
  if (handle_) {
    CloseHandle(AsHandle(handle_));
    handle_ = nullptr;
  }
}
