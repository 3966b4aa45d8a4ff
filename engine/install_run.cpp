#include "engine/install_run.h"

#include <process.h>
#include <zlib.h>

#include <atomic>
#include <map>
#include <set>

#include "common/text_conversion.h"
#include "common/win_owners.h"
#include "engine/error_texts.h"
#include "engine/file_calls.h"
#include "engine/file_output.h"
#include "engine/registry_key.h"
#include "engine/uninstall.h"
#include "package/manifest.h"
#include "state/product_names.h"

// The journal (kJournalName in the install folder), little-endian:
//   "TLVRUN01"                         8 bytes, once
//   then records, in the order the changes are made:
//     kind                             1 byte: 'F' folder created, 'N' file created,
//                                      'M' file moved aside (to its own name followed
//                                      by kAsideSuffix, beside it),
//                                      'D' every entry written
//     units                            4 bytes: length of the name in UTF-16 units
//     name                             units × 2 bytes, relative to the install folder
//                                      (empty for 'D')
//     check                            4 bytes: CRC-32 of kind, units and name
// Every record is on disk (FlushFileBuffers) before the change it describes is made.

namespace tolvane {
namespace {

constexpr char kJournalMagic[8] = {'T', 'L', 'V', 'R', 'U', 'N', '0', '1'};
constexpr uint32_t kMaxNameUnits = 32767;
// A journal larger than this is not one that setup wrote.
constexpr uint64_t kMaxJournalBytes = 64u << 20;
constexpr DWORD kProtectingAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t GetU32(const std::string& in, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(in[at + i]);
  return v;
}

const wchar_t* Compose(std::wstring& errorText, const wchar_t* prefix, const std::wstring& path) {
  errorText = prefix;
  errorText += path;
  errorText += kFileErrorSuffix;
  return errorText.c_str();
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Beside the file, not in a folder of their own: under Wine every name that does not
// exist yet is looked for through its whole folder, and one folder of thousands of
// files would make each move a search.
std::wstring AsidePath(const std::wstring& folder, const std::wstring& name) { return folder + name + kAsideSuffix; }

struct NoCase {
  bool operator()(const std::wstring& a, const std::wstring& b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
};

// The first place a file would be moved aside to that holds something already, or empty.
// Each folder is read once instead of looking for every aside name: under Wine a name
// that is not there is searched for through its whole folder.
std::wstring TakenAsidePlace(const std::wstring& folder, const std::vector<RunStep>& steps) {
  std::map<std::wstring, std::set<std::wstring, NoCase>, NoCase> byFolder;  // folder -> file names
  for (const RunStep& step : steps) {
    if (step.kind != RunStep::MovedAside) continue;
    const size_t cut = step.name.find_last_of(L"\\/");
    const size_t start = cut == std::wstring::npos ? 0 : cut + 1;
    byFolder[step.name.substr(0, start)].insert(step.name.substr(start));
  }
  const size_t suffixUnits = sizeof kAsideSuffix / sizeof kAsideSuffix[0] - 1;
  for (const auto& [relative, names] : byFolder) {
    WIN32_FIND_DATAW found;
    UniqueFind search(FindFirstFileW((folder + relative + L"*").c_str(), &found));
    if (!search) {
      // Unreadable as a whole: each place is looked at on its own.
      for (const std::wstring& name : names) {
        if (Exists(AsidePath(folder + relative, name))) return AsidePath(folder + relative, name);
      }
      continue;
    }
    do {
      const size_t units = wcslen(found.cFileName);
      if (units <= suffixUnits || _wcsicmp(found.cFileName + units - suffixUnits, kAsideSuffix) != 0) continue;
      const auto name = names.find(std::wstring(found.cFileName, units - suffixUnits));
      if (name != names.end()) return AsidePath(folder + relative, *name);
    } while (FindNextFileW(search.get(), &found));
  }
  return {};
}

enum class Existing { None, Replaceable, Blocked };

// Whether a file of the package is there and can be replaced: it opens for writing with
// nobody else holding it. A read-only one only has to be free of other handles (the move
// aside does not mind the attribute); a folder of that name cannot be replaced.
Existing LookAt(const std::wstring& path) {
  UniqueFile file(files::Open(path, GENERIC_WRITE, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
  if (file) return Existing::Replaceable;
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Existing::None;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Existing::None;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) || !(attributes & FILE_ATTRIBUTE_READONLY)) return Existing::Blocked;
  file.reset(files::Open(path, GENERIC_READ, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
  return file ? Existing::Replaceable : Existing::Blocked;
}

// Deletes a file whatever its attributes; one that is in use is removed at the next
// restart instead.
bool DeleteAnyFile(const std::wstring& path) {
  if (files::Delete(path)) return true;  // the usual case, in one call
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if ((attributes & kProtectingAttributes) && files::SetAttributes(path, attributes & ~kProtectingAttributes) &&
      files::Delete(path)) {
    return true;
  }
  return MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

// --- The registry value that says where the journal lies.

void RecordJournalPlace(const std::wstring& journal) {
  RegistryKey key;
  if (key.CreateKey(HKEY_LOCAL_MACHINE, kProductKey, RegistryKey::kReadWrite) == ERROR_SUCCESS) {
    key.WriteStringValue(kJournalValue, journal.c_str(), REG_SZ);
  }
}

bool ReadJournalPlace(std::wstring& journal) {
  RegistryKey key;
  if (key.OpenKey(HKEY_LOCAL_MACHINE, kProductKey, KEY_READ) != ERROR_SUCCESS) return false;
  wchar_t buffer[MAX_PATH * 2];
  if (key.ReadStringValue(kJournalValue, buffer, MAX_PATH * 2) != ERROR_SUCCESS) return false;
  journal = buffer;
  return true;
}

// Removes the value, and the key when the value was all it held (a first install's key,
// before the install wrote its record).
void ForgetJournalPlace() {
  {
    RegistryKey key;
    if (key.OpenKey(HKEY_LOCAL_MACHINE, kProductKey, RegistryKey::kReadWrite) != ERROR_SUCCESS) return;
    RegDeleteValueW(key.get(), kJournalValue);
    DWORD subkeys = 1, values = 1;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS ||
        subkeys != 0 || values != 0) {
      return;
    }
  }
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey);
}

// --- Putting a folder back, or finishing it, from the list of changes. Both are safe to
// repeat after an interruption: each change is looked at on disk before it is reversed.

// True when everything is as the run found it.
bool RestoreSteps(const std::wstring& folder, const std::vector<RunStep>& steps) {
  bool whole = true;
  for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
    const std::wstring path = folder + it->name;
    switch (it->kind) {
      case RunStep::MovedAside: {
        const std::wstring old = AsidePath(folder, it->name);
        if (!Exists(old)) break;  // never moved, or already back
        if (Exists(path) && !files::Delete(path)) {
          whole = false;
          break;
        }
        if (!files::Move(old, path)) whole = false;
        break;
      }
      case RunStep::NewFile:
        if (Exists(path) && !files::Delete(path)) whole = false;
        break;
      case RunStep::NewFolder:
        // The files in it were removed above (steps in reverse order); a folder that still
        // holds something stays, and nothing of the product is lost with it.
        if (Exists(path)) files::RemoveFolder(path);
        break;
      case RunStep::Finished:
        break;
    }
  }
  return whole;
}

// Removes what was moved aside. True when nothing of it is left (or what is left goes at
// the next restart).
bool DiscardAside(const std::wstring& folder, const std::vector<RunStep>& steps) {
  bool whole = true;
  for (const RunStep& step : steps) {
    if (step.kind == RunStep::MovedAside && !DeleteAnyFile(AsidePath(folder, step.name))) whole = false;
  }
  return whole;
}

// The journal and its registry value, once the folder needs neither.
void DropJournal(const std::wstring& journal) {
  if (!Exists(journal) || files::Delete(journal)) ForgetJournalPlace();
}

bool ReadWholeFile(HANDLE file, std::string& bytes) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size) || size.QuadPart < 0 || static_cast<uint64_t>(size.QuadPart) > kMaxJournalBytes) {
    return false;
  }
  bytes.resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  return bytes.empty() || (ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                           read == bytes.size());
}

}  // namespace

void AppendRunRecord(std::string& out, const RunStep& step) {
  const size_t start = out.size();
  out.push_back(static_cast<char>(step.kind));
  PutU32(out, static_cast<uint32_t>(step.name.size()));
  for (wchar_t c : step.name) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  const uint32_t check = static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(out.data() + start), static_cast<uInt>(out.size() - start)));
  PutU32(out, check);
}

bool ParseRunJournal(const std::string& bytes, std::vector<RunStep>& steps) {
  steps.clear();
  // Cut short before its first record: the process ended before it changed anything.
  if (bytes.size() < sizeof kJournalMagic) return bytes.compare(0, bytes.size(), kJournalMagic, bytes.size()) == 0;
  if (bytes.compare(0, sizeof kJournalMagic, kJournalMagic, sizeof kJournalMagic) != 0) return false;
  size_t at = sizeof kJournalMagic;
  bool finished = false;
  while (bytes.size() - at >= 9) {
    const uint32_t units = GetU32(bytes, at + 1);
    if (units > kMaxNameUnits) return false;
    const size_t length = 5 + size_t{units} * 2;
    if (bytes.size() - at < length + 4) break;  // cut short by the end of the process
    const uint32_t check = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + at), static_cast<uInt>(length)));
    if (check != GetU32(bytes, at + length)) return false;
    RunStep step{static_cast<RunStep::Kind>(static_cast<uint8_t>(bytes[at])), {}};
    for (uint32_t i = 0; i < units; ++i) {
      step.name.push_back(static_cast<wchar_t>(static_cast<uint8_t>(bytes[at + 5 + 2 * i]) |
                                               (static_cast<uint8_t>(bytes[at + 6 + 2 * i]) << 8)));
    }
    switch (step.kind) {
      case RunStep::NewFolder:
      case RunStep::NewFile:
      case RunStep::MovedAside:
        if (finished || !IsContainedRelativeName(ToUtf16(step.name))) return false;
        break;
      case RunStep::Finished:
        if (finished || !step.name.empty()) return false;
        finished = true;
        break;
      default:
        return false;
    }
    steps.push_back(std::move(step));
    at += length + 4;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// InstallRun

InstallRun::~InstallRun() {
  StopMoving();
  if (begun_ && !closed_) {
    try {
      Undo();
    } catch (...) {
      // The journal stays; the next start of setup puts the folder back.
    }
  }
}

const wchar_t* InstallRun::Plan(const std::vector<ManifestEntry>& entries, std::wstring& errorText) {
  std::set<std::wstring> plannedFolders;
  // A name listed twice is one file: its first listing's step covers both writes.
  std::set<std::wstring, NoCase> plannedFiles;
  for (size_t index = 0; index < entries.size(); ++index) {
    const ManifestEntry& entry = entries[index];
    const std::wstring name = ToWide(entry.Name);
    if (entry.Kind == Folder) {
      // Every level that is missing, parents first.
      std::vector<std::wstring> missing;
      for (std::wstring level = name; !level.empty();) {
        if (plannedFolders.count(level) || Exists(folder_ + level)) break;
        missing.push_back(level);
        const size_t cut = level.find_last_of(L"\\/");
        level = cut == std::wstring::npos ? std::wstring() : level.substr(0, cut);
      }
      for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        plannedFolders.insert(*it);
        steps_.push_back({RunStep::NewFolder, *it});
        stepEntries_.push_back(index);
      }
      continue;
    }
    if (!plannedFiles.insert(name).second) continue;
    const std::wstring path = folder_ + name;
    // A folder this run makes holds nothing yet: a first install looks at no file.
    const size_t cut = name.find_last_of(L"\\/");
    if (cut != std::wstring::npos && plannedFolders.count(name.substr(0, cut))) {
      steps_.push_back({RunStep::NewFile, name});
      stepEntries_.push_back(index);
      continue;
    }
    switch (LookAt(path)) {
      case Existing::None: steps_.push_back({RunStep::NewFile, name}); break;
      case Existing::Replaceable: steps_.push_back({RunStep::MovedAside, name}); break;
      case Existing::Blocked: return Compose(errorText, kCreateFilePrefix, path);
    }
    stepEntries_.push_back(index);
  }
  return nullptr;
}

const wchar_t* InstallRun::Begin(std::wstring& errorText) {
  const std::wstring journalPath = folder_ + kJournalName;
  std::string bytes(kJournalMagic, sizeof kJournalMagic);
  for (const RunStep& step : steps_) AppendRunRecord(bytes, step);

  // A run that the last start could not complete keeps its journal and its place until
  // someone looks at them: nothing is run over them.
  std::wstring unfinished;
  if (ReadJournalPlace(unfinished)) {
    closed_ = true;
    return Compose(errorText, kCreateFilePrefix, unfinished);
  }
  // Whatever lies where files are moved aside must be this run's own, or putting them back
  // could put a stranger's file in place of the installed one.
  const std::wstring taken = TakenAsidePlace(folder_, steps_);
  if (!taken.empty()) {
    closed_ = true;
    return Compose(errorText, kCreateFilePrefix, taken);
  }
  // The place first: a place without a journal means nothing was changed yet.
  RecordJournalPlace(journalPath);
  // A journal already there is not this run's: it is not overwritten.
  journal_.reset(files::Open(journalPath, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL));
  if (!journal_) {
    ForgetJournalPlace();
    closed_ = true;
    return Compose(errorText, kCreateFilePrefix, journalPath);
  }
  begun_ = true;
  DWORD written = 0;
  if (!files::Write(journal_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written) ||
      written != bytes.size() || !files::Flush(journal_.get())) {
    return Compose(errorText, kWriteFilePrefix, journalPath);
  }
  return nullptr;
}

bool InstallRun::Advance() {
  const RunStep& step = steps_[done_];
  if (step.kind == RunStep::MovedAside) {
    const std::wstring path = folder_ + step.name;
    // (One that is gone already has nothing to keep.)
    if (!files::Move(path, AsidePath(folder_, step.name)) && Exists(path)) {
      failedPath_ = path;
      return false;
    }
  }
  ++done_;
  return true;
}

bool InstallRun::StartMoving() {
  if (!moved_.Make()) return false;
  mover_.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, MoveAll, this, 0, nullptr)));
  return static_cast<bool>(mover_);
}

unsigned __stdcall InstallRun::MoveAll(void* self) {
  InstallRun& run = *static_cast<InstallRun*>(self);
  try {
    while (!run.stopMoving_ && run.done_ < run.steps_.size() && run.Advance()) run.moved_.Raise();
  } catch (...) {
    run.moverFault_ = std::current_exception();
  }
  run.moverEnded_ = true;
  run.moved_.Wake();
  return 0;
}

void InstallRun::StopMoving() {
  if (!mover_) return;
  stopMoving_ = true;
  WaitForSingleObject(mover_.get(), INFINITE);
  mover_.reset();
}

const wchar_t* InstallRun::ReadyFor(size_t entry, std::wstring& errorText) {
  while (ready_ < steps_.size() && stepEntries_[ready_] <= entry) ++ready_;
  if (mover_) {
    if (ready_ > 0) moved_.WaitAbove(ready_ - 1, moverEnded_);
    if (!moverEnded_) return nullptr;  // (its steps are done, and none failed so far)
    if (moverFault_) std::rethrow_exception(moverFault_);
  } else {
    while (failedPath_.empty() && done_ < ready_) Advance();
  }
  return failedPath_.empty() ? nullptr : Compose(errorText, kCreateFilePrefix, failedPath_);
}

bool InstallRun::MoveOneAhead(void* self) {
  InstallRun& run = *static_cast<InstallRun*>(self);
  while (run.failedPath_.empty() && run.done_ < run.steps_.size()) {
    const bool move = run.steps_[run.done_].kind == RunStep::MovedAside;
    if (!run.Advance()) return false;
    if (move) return true;
  }
  return false;
}

const wchar_t* InstallRun::Finish(std::wstring& errorText) {
  if (const wchar_t* error = ReadyFor(SIZE_MAX, errorText)) return error;
  StopMoving();  // (it has ended: every step is done)
  std::string record;
  AppendRunRecord(record, {RunStep::Finished, {}});
  steps_.push_back({RunStep::Finished, {}});  // (putting back passes over it)
  stepEntries_.push_back(SIZE_MAX);
  DWORD written = 0;
  if (!files::Write(journal_.get(), record.data(), static_cast<DWORD>(record.size()), &written) ||
      written != record.size() || !files::Flush(journal_.get())) {
    return Compose(errorText, kWriteFilePrefix, folder_ + kJournalName);
  }
  // From here on the run has finished, whatever the clearing up meets: what it leaves,
  // the next start removes. Removing thousands of old files takes longer than writing
  // the new ones on some file systems, so it is not done here, before the user sees the
  // end, but after.
  closed_ = true;
  journal_.reset();
  return nullptr;
}

void InstallRun::Undo() {
  StopMoving();
  if (!begun_ || closed_) return;
  closed_ = true;
  journal_.reset();
  if (RestoreSteps(folder_, steps_)) DropJournal(folder_ + kJournalName);
}

// ---------------------------------------------------------------------------------------

namespace {

std::atomic<bool> g_clearingUp{false};

// Completes the run whose journal the registry names: a finished one by removing what it
// moved aside, an unfinished one (`restore`) by putting the folder back.
void CompleteRecordedRun(bool restore) {
  try {
    std::wstring journal;
    if (!ReadJournalPlace(journal)) return;
    const size_t nameLength = sizeof kJournalName / sizeof kJournalName[0] - 1;
    if (journal.size() <= nameLength || journal.compare(journal.size() - nameLength, nameLength, kJournalName) != 0 ||
        journal[journal.size() - nameLength - 1] != L'\\') {
      return;  // not a place this program wrote
    }
    const std::wstring folder = journal.substr(0, journal.size() - nameLength);
    if (!IsRemovableInstallFolder(folder)) return;
    std::vector<RunStep> steps;
    {
      UniqueFile file(CreateFileW(journal.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file) {
        const DWORD error = GetLastError();
        // No journal: the run ended before it changed anything.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) ForgetJournalPlace();
        return;
      }
      std::string bytes;
      if (!ReadWholeFile(file.get(), bytes) || !ParseRunJournal(bytes, steps)) return;
    }
    const bool finished = !steps.empty() && steps.back().kind == RunStep::Finished;
    if (!finished && !restore) return;
    const bool whole = finished ? DiscardAside(folder, steps) : RestoreSteps(folder, steps);
    if (whole) DropJournal(journal);
  } catch (...) {
    // Tried again at the next start.
  }
}

}  // namespace

void RecoverUnfinishedRun() { CompleteRecordedRun(true); }

void ClearUpFinishedRun() {
  g_clearingUp = true;
  CompleteRecordedRun(false);
  g_clearingUp = false;
}

bool ClearingUpFinishedRun() { return g_clearingUp; }

void RemoveRunLeftovers(const std::wstring& folder, const std::vector<ManifestEntry>& entries) {
  for (const ManifestEntry& entry : entries) {
    if (entry.Kind != Folder && IsContainedRelativeName(entry.Name)) DeleteAnyFile(AsidePath(folder, ToWide(entry.Name)));
  }
  DeleteAnyFile(folder + kJournalName);
}

}  // namespace tolvane
