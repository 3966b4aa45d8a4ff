#include "engine/install_run.h"

#include <process.h>
#include <zlib.h>

#include <atomic>
#include <map>
#include <new>
#include <set>

#include "common/little_endian.h"
#include "common/text_conversion.h"
#include "common/win_owners.h"
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
// Every record is on disk (FlushFileBuffers) before the change it describes is made, and
// 'D' only once every file written is.

namespace tolvane {
namespace {

using What = Failure::What;

constexpr char kJournalMagic[8] = {'T', 'L', 'V', 'R', 'U', 'N', '0', '1'};
constexpr uint32_t kMaxNameUnits = 32767;
// A journal larger than this is not one that setup wrote.
constexpr uint64_t kMaxJournalBytes = 64u << 20;

uint8_t* BytesAt(std::string& text, size_t at) { return reinterpret_cast<uint8_t*>(&text[at]); }
const uint8_t* BytesAt(const std::string& text, size_t at) {
  return reinterpret_cast<const uint8_t*>(text.data() + at);
}

enum class Presence { Gone, There, Unknown };

// Whether something stands at `path`, with Unknown when the system could not say.
Presence LookFor(const std::wstring& path) {
  if (files::Attributes(path) != INVALID_FILE_ATTRIBUTES) return Presence::There;
  return files::IsGone(GetLastError()) ? Presence::Gone : Presence::Unknown;
}

// Something may stand at `path`: what cannot be looked at counts as there.
bool MaybeThere(const std::wstring& path) { return LookFor(path) != Presence::Gone; }

// Beside the file, not in a folder of their own: under Wine every name that does not
// exist yet is looked for through its whole folder, and one folder of thousands of
// files would make each move a search.
std::wstring AsidePath(const std::wstring& folder, const std::wstring& name) { return folder + name + kAsideSuffix; }

struct NoCase {
  bool operator()(const std::wstring& a, const std::wstring& b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
};

// The first place a file would be moved aside to that holds something already (or may:
// one that cannot be looked at), or empty. Each folder is read once instead of looking
// for every aside name: under Wine a name that is not there is searched for through its
// whole folder.
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
    UniqueFind search(files::FindFirst(folder + relative + L"*", &found));
    bool read = static_cast<bool>(search);
    while (read) {
      const size_t units = wcslen(found.cFileName);
      if (units > suffixUnits && _wcsicmp(found.cFileName + units - suffixUnits, kAsideSuffix) == 0) {
        const auto name = names.find(std::wstring(found.cFileName, units - suffixUnits));
        if (name != names.end()) return AsidePath(folder + relative, *name);
      }
      read = files::FindNext(search.get(), &found);
    }
    if (search && GetLastError() == ERROR_NO_MORE_FILES) continue;
    // Not read to its end: each place is looked at on its own.
    for (const std::wstring& name : names) {
      if (MaybeThere(AsidePath(folder + relative, name))) return AsidePath(folder + relative, name);
    }
  }
  return {};
}

enum class Existing { None, Replaceable, Blocked };

// Whether a file of the package is there and can be replaced: it opens for writing with
// nobody else holding it. A read-only one only has to be free of other handles (the move
// aside does not mind the attribute). A folder of that name, or what cannot be looked
// at, is not replaced.
Existing LookAt(const std::wstring& path) {
  UniqueFile file(files::Open(path, GENERIC_WRITE, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
  if (file) return Existing::Replaceable;
  if (files::IsGone(GetLastError())) return Existing::None;
  const DWORD attributes = files::Attributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return files::IsGone(GetLastError()) ? Existing::None : Existing::Blocked;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) || !(attributes & FILE_ATTRIBUTE_READONLY)) return Existing::Blocked;
  file.reset(files::Open(path, GENERIC_READ, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
  return file ? Existing::Replaceable : Existing::Blocked;
}

// Deletes a file whatever its attributes; one that is in use is removed at the next
// restart instead. True when nothing of it is left, or what is left goes at the restart.
bool DeleteAnyFile(const std::wstring& path) {
  if (files::Delete(path) || files::IsGone(GetLastError())) return true;  // the usual cases, in one call
  const DWORD attributes = files::Attributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES && files::IsGone(GetLastError())) return true;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kProtectingAttributes) &&
      files::SetAttributes(path, attributes & ~kProtectingAttributes) && files::Delete(path)) {
    return true;
  }
  return files::RemoveAtRestart(path);
}

// --- The registry value that says where the journal lies.

// Records the place, on the disk before it returns.
Failure RecordJournalPlace(const std::wstring& journal) {
  RegistryKey key;
  LONG result = key.CreateKey(HKEY_LOCAL_MACHINE, kProductKey, RegistryKey::kReadWrite);
  if (result == ERROR_SUCCESS) result = key.WriteStringValue(kJournalValue, journal.c_str(), REG_SZ);
  if (result == ERROR_SUCCESS) result = files::FlushKey(key.get());
  return result == ERROR_SUCCESS ? Failure{} : Failed(What::FileNotCreated, journal, static_cast<uint32_t>(result));
}

enum class Place { None, Recorded, Unknown };

// The recorded place. Unknown when the key or value is there but cannot be read: a run
// may be unfinished, so none begins over it and no recovery acts on it.
Place ReadJournalPlace(std::wstring& journal) {
  RegistryKey key;
  LONG result = key.OpenKey(HKEY_LOCAL_MACHINE, kProductKey, KEY_READ);
  if (result == ERROR_FILE_NOT_FOUND) return Place::None;
  if (result != ERROR_SUCCESS) return Place::Unknown;
  wchar_t buffer[MAX_PATH * 2];
  result = key.ReadStringValue(kJournalValue, buffer, MAX_PATH * 2);
  if (result == ERROR_FILE_NOT_FOUND) return Place::None;
  if (result != ERROR_SUCCESS) return Place::Unknown;
  journal = buffer;
  return Place::Recorded;
}

// Removes the value, and the key when the value was all it held (a first install's key,
// before the install wrote its record). What cannot be removed stays: a place without a
// journal is forgotten at the next start.
void ForgetJournalPlace() {
  {
    RegistryKey key;
    if (key.OpenKey(HKEY_LOCAL_MACHINE, kProductKey, RegistryKey::kReadWrite) != ERROR_SUCCESS) return;
    const LONG removed = files::DeleteValue(key.get(), kJournalValue);
    if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) return;
    DWORD subkeys = 1, values = 1;
    if (files::CountEntries(key.get(), &subkeys, &values) != ERROR_SUCCESS || subkeys != 0 || values != 0) return;
  }
  // (An empty key that stays is no record: the wizard reads the values it holds.)
  files::DeleteKey(HKEY_LOCAL_MACHINE, kProductKey);
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
        if (!MaybeThere(old)) break;  // never moved, or already back
        if ((!files::Delete(path) && !files::IsGone(GetLastError())) || !files::Move(old, path)) whole = false;
        break;
      }
      case RunStep::NewFile:
        if (!files::Delete(path) && !files::IsGone(GetLastError())) whole = false;
        break;
      case RunStep::NewFolder:
        // The files in it were removed above (steps in reverse order); a folder that still
        // holds something stays, and nothing of the product is lost with it.
        files::RemoveFolder(path);
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
  if (files::Delete(journal) || files::IsGone(GetLastError())) ForgetJournalPlace();
}

bool ReadWholeFile(HANDLE file, std::string& bytes) {
  bytes.clear();
  char piece[0x4000];
  for (;;) {
    DWORD read = 0;
    if (!files::Read(file, piece, sizeof piece, &read)) return false;
    if (read == 0) return true;
    if (bytes.size() + read > kMaxJournalBytes) return false;
    bytes.append(piece, read);
  }
}

}  // namespace

void AppendRunRecord(std::string& out, const RunStep& step) {
  const size_t start = out.size();
  const size_t units = step.name.size();
  out.resize(start + 5 + units * 2 + 4);
  out[start] = static_cast<char>(step.kind);
  StoreLe32(BytesAt(out, start + 1), static_cast<uint32_t>(units));
  for (size_t i = 0; i < units; ++i) StoreLe16(BytesAt(out, start + 5 + 2 * i), static_cast<uint16_t>(step.name[i]));
  const size_t length = 5 + units * 2;
  StoreLe32(BytesAt(out, start + length),
            static_cast<uint32_t>(crc32(0, BytesAt(out, start), static_cast<uInt>(length))));
}

bool ParseRunJournal(const std::string& bytes, std::vector<RunStep>& steps) {
  steps.clear();
  // Cut short before its first record: the process ended before it changed anything.
  if (bytes.size() < sizeof kJournalMagic) return bytes.compare(0, bytes.size(), kJournalMagic, bytes.size()) == 0;
  if (bytes.compare(0, sizeof kJournalMagic, kJournalMagic, sizeof kJournalMagic) != 0) return false;
  size_t at = sizeof kJournalMagic;
  bool finished = false;
  while (bytes.size() - at >= 9) {
    const uint32_t units = LoadLe32(BytesAt(bytes, at + 1));
    if (units > kMaxNameUnits) return false;
    const size_t length = 5 + size_t{units} * 2;
    if (bytes.size() - at < length + 4) break;  // cut short by the end of the process
    const uint32_t check = static_cast<uint32_t>(crc32(0, BytesAt(bytes, at), static_cast<uInt>(length)));
    if (check != LoadLe32(BytesAt(bytes, at + length))) return false;
    RunStep step{static_cast<RunStep::Kind>(static_cast<uint8_t>(bytes[at])), {}};
    for (uint32_t i = 0; i < units; ++i) {
      step.name.push_back(static_cast<wchar_t>(LoadLe16(BytesAt(bytes, at + 5 + 2 * i))));
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
  StopHelpers();
  if (begun_ && !closed_) {
    try {
      Undo();
    } catch (const std::bad_alloc&) {
      // The journal stays; the next start of setup puts the folder back.
    }
  }
}

Failure InstallRun::Plan(const std::vector<ManifestEntry>& entries) {
  std::set<std::wstring> plannedFolders;
  // A name listed twice is one file: its first listing's step covers both writes.
  std::set<std::wstring, NoCase> plannedFiles;
  for (size_t index = 0; index < entries.size(); ++index) {
    const ManifestEntry& entry = entries[index];
    const std::wstring name = ToWide(entry.Name);
    if (entry.Kind == Folder) {
      // Every level that is missing, parents first.
      std::vector<std::wstring> missing;
      for (std::wstring level = name; !level.empty() && !plannedFolders.count(level);) {
        const Presence presence = LookFor(folder_ + level);
        if (presence == Presence::There) break;
        if (presence == Presence::Unknown) return Failed(What::FolderNotMade, folder_ + level, GetLastError());
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
      case Existing::Blocked: return Failed(What::FileNotCreated, path, GetLastError());
    }
    stepEntries_.push_back(index);
  }
  return {};
}

Failure InstallRun::Begin() {
  const std::wstring journalPath = folder_ + kJournalName;
  std::string bytes(kJournalMagic, sizeof kJournalMagic);
  for (const RunStep& step : steps_) AppendRunRecord(bytes, step);

  // A run that the last start could not complete keeps its journal and its place until
  // someone looks at them: nothing is run over them, nor over a place that cannot be read.
  std::wstring unfinished;
  switch (ReadJournalPlace(unfinished)) {
    case Place::None: break;
    case Place::Recorded: closed_ = true; return Failed(What::FileNotCreated, unfinished);
    case Place::Unknown: closed_ = true; return Failed(What::FileNotCreated, journalPath);
  }
  // Whatever lies where files are moved aside must be this run's own, or putting them back
  // could put a stranger's file in place of the installed one.
  const std::wstring taken = TakenAsidePlace(folder_, steps_);
  if (!taken.empty()) {
    closed_ = true;
    return Failed(What::FileNotCreated, taken);
  }
  // The place first: a place without a journal means nothing was changed yet. Without a
  // place, a journal could not be found after the process ended: no run begins.
  if (Failure failure = RecordJournalPlace(journalPath)) {
    ForgetJournalPlace();
    closed_ = true;
    return failure;
  }
  // A journal already there is not this run's: it is not overwritten.
  journal_.reset(files::Open(journalPath, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL));
  if (!journal_) {
    const DWORD error = GetLastError();
    ForgetJournalPlace();
    closed_ = true;
    return Failed(What::FileNotCreated, journalPath, error);
  }
  begun_ = true;
  if (!WriteWholeBuffer(journal_.get(), reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) ||
      !files::Flush(journal_.get())) {
    return Failed(What::FileNotWritten, journalPath, GetLastError());
  }
  return {};
}

bool InstallRun::Advance() {
  const RunStep& step = steps_[done_];
  if (step.kind == RunStep::MovedAside) {
    const std::wstring path = folder_ + step.name;
    // (One that is gone already has nothing to keep.)
    if (!files::Move(path, AsidePath(folder_, step.name))) {
      const DWORD error = GetLastError();
      if (!files::IsGone(error)) {
        moveFailure_ = Failed(What::FileNotCreated, path, error);
        return false;
      }
    }
  }
  ++done_;
  return true;
}

bool InstallRun::StartHelpers() {
  if (!moved_.Make()) return false;
  return StartHelper(helpers_[0]);
}

bool InstallRun::StartHelper(Helper& helper) {
  if (helper.run) return static_cast<bool>(helper.thread);
  helper.run = this;
  // (A helper that cannot be had leaves its share of the flushes to Written.)
  if (!helper.queued.Make() || !helper.flushed.Make()) return false;
  helper.thread.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Help, &helper, 0, nullptr)));
  return static_cast<bool>(helper.thread);
}

unsigned __stdcall InstallRun::Help(void* self) {
  Helper& helper = *static_cast<Helper*>(self);
  try {
    helper.run->HelpUntilStopped(helper);
  } catch (...) {
    helper.fault = std::current_exception();  // rethrown on the worker's thread
  }
  helper.ended = true;
  if (&helper == &helper.run->helpers_[0]) helper.run->moved_.Wake();
  helper.flushed.Wake();
  return 0;
}

void InstallRun::HelpUntilStopped(Helper& helper) {
  const bool mover = &helper == &helpers_[0];
  size_t flushed = 0;
  while (!stopHelpers_) {
    // Moves first: the writes wait for them.
    if (mover && done_ < steps_.size()) {
      if (!Advance()) return;
      moved_.Raise();
      continue;
    }
    if (!helper.queued.Above(flushed)) {
      helper.queued.WaitAbove(flushed, stopHelpers_, kFlushBatch);
      continue;
    }
    Unflushed& slot = helper.slots[flushed % kSlots];
    if (!files::Flush(slot.file.get()) && !helper.failure) {
      helper.failure = Failed(What::FileNotWritten, slot.path, GetLastError());
    }
    slot.file.reset();
    ++flushed;
    helper.flushed.Raise();
  }
}

void InstallRun::StopHelpers() {
  stopHelpers_ = true;
  for (Helper& helper : helpers_) {
    if (!helper.thread) continue;
    helper.queued.Wake();
    WaitForSingleObject(helper.thread.get(), INFINITE);
    helper.thread.reset();
  }
}

Failure InstallRun::MoverFailure() {
  if (helpers_[0].fault) std::rethrow_exception(helpers_[0].fault);
  return moveFailure_;
}

Failure InstallRun::ReadyFor(size_t entry) {
  while (ready_ < steps_.size() && stepEntries_[ready_] <= entry) ++ready_;
  if (helpers_[0].thread) {
    if (ready_ > 0) moved_.WaitAbove(ready_ - 1, helpers_[0].ended);
    // (Ended short of these steps: a move failed, or an exception ended the helper.)
    return done_ >= ready_ ? Failure{} : MoverFailure();
  }
  while (!moveFailure_ && done_ < ready_) Advance();
  return moveFailure_;
}

bool InstallRun::MoveOneAhead(void* self) {
  InstallRun& run = *static_cast<InstallRun*>(self);
  while (!run.moveFailure_ && run.done_ < run.steps_.size()) {
    const bool move = run.steps_[run.done_].kind == RunStep::MovedAside;
    if (!run.Advance()) return false;
    if (move) return true;
  }
  return false;
}

Failure InstallRun::Written(UniqueFile file, const std::wstring& path) {
  // The first helper takes the files while it keeps up, so that it seldom sleeps between
  // two (under Wine each wake-up is a call to the wineserver, and a thread's start costs
  // more). Only when every helper so far has kSpill files waiting (a slow disk) is the
  // next one started, so that the flushes overlap. When all of them are that far behind,
  // the first with a free slot takes the file; with none, it is flushed here.
  const auto waiting = [](const Helper& helper, size_t atLeast) {
    return helper.queuedCount >= atLeast && !helper.flushed.Above(helper.queuedCount - atLeast);
  };
  Helper* taker = nullptr;
  for (size_t i = 0; !taker && i < kHelpers; ++i) {
    Helper& helper = helpers_[i];
    // (The first starts with the moves, in StartHelpers, or not at all.)
    if (i > 0 ? !StartHelper(helper) : !helper.thread) break;
    if (!helper.ended && !waiting(helper, kSpill)) taker = &helper;
  }
  for (size_t i = 0; !taker && i < kHelpers; ++i) {
    Helper& helper = helpers_[i];
    if (helper.thread && !helper.ended && !waiting(helper, kSlots)) taker = &helper;
  }
  if (!taker) {
    if (!files::Flush(file.get())) return Failed(What::FileNotWritten, path, GetLastError());
    return {};
  }
  Unflushed& slot = taker->slots[taker->queuedCount % kSlots];
  slot.file = std::move(file);
  slot.path = path;
  ++taker->queuedCount;
  taker->queued.Raise();
  return {};
}

Failure InstallRun::WaitForFlushes() {
  for (Helper& helper : helpers_) {
    if (!helper.thread || helper.queuedCount == 0) continue;
    if (!helper.flushed.Above(helper.queuedCount - 1)) helper.queued.Wake();  // a batch not filled
    helper.flushed.WaitAbove(helper.queuedCount - 1, helper.ended);
    if (helper.flushed.Above(helper.queuedCount - 1)) continue;
    // (Ended short of its flushes: only an exception ends a helper once the moves are made.)
    if (helper.fault) std::rethrow_exception(helper.fault);
    return moveFailure_;
  }
  StopHelpers();
  for (Helper& helper : helpers_) {
    if (helper.failure) return helper.failure;
  }
  return {};
}

Failure InstallRun::Finish() {
  if (Failure failure = ReadyFor(SIZE_MAX)) return failure;
  if (Failure failure = WaitForFlushes()) return failure;
  std::string record;
  AppendRunRecord(record, {RunStep::Finished, {}});
  steps_.push_back({RunStep::Finished, {}});  // (putting back passes over it)
  stepEntries_.push_back(SIZE_MAX);
  if (!WriteWholeBuffer(journal_.get(), reinterpret_cast<const uint8_t*>(record.data()), record.size()) ||
      !files::Flush(journal_.get())) {
    return Failed(What::FileNotWritten, folder_ + kJournalName, GetLastError());
  }
  // From here on the run has finished, whatever the clearing up meets: what it leaves,
  // the next start removes. Removing thousands of old files takes longer than writing
  // the new ones on some file systems, so it is not done here, before the user sees the
  // end, but after.
  closed_ = true;
  journal_.reset();
  return {};
}

void InstallRun::Undo() {
  StopHelpers();
  // Written files are closed before they are removed.
  for (Helper& helper : helpers_) {
    for (Unflushed& slot : helper.slots) slot.file.reset();
  }
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
    // No place, or one that cannot be read: the next start looks again.
    if (ReadJournalPlace(journal) != Place::Recorded) return;
    const size_t nameLength = sizeof kJournalName / sizeof kJournalName[0] - 1;
    if (journal.size() <= nameLength || journal.compare(journal.size() - nameLength, nameLength, kJournalName) != 0 ||
        journal[journal.size() - nameLength - 1] != L'\\') {
      return;  // not a place this program wrote
    }
    const std::wstring folder = journal.substr(0, journal.size() - nameLength);
    if (!IsRemovableInstallFolder(folder)) return;
    std::vector<RunStep> steps;
    {
      UniqueFile file(files::Open(journal, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
      if (!file) {
        // No journal: the run ended before it changed anything.
        if (files::IsGone(GetLastError())) ForgetJournalPlace();
        return;
      }
      std::string bytes;
      if (!ReadWholeFile(file.get(), bytes) || !ParseRunJournal(bytes, steps)) return;
    }
    const bool finished = !steps.empty() && steps.back().kind == RunStep::Finished;
    if (!finished && !restore) return;
    const bool whole = finished ? DiscardAside(folder, steps) : RestoreSteps(folder, steps);
    if (whole) DropJournal(journal);
  } catch (const std::bad_alloc&) {
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
  // (What cannot be deleted goes at the next restart, or stays: the uninstall reports nothing.)
  for (const ManifestEntry& entry : entries) {
    if (entry.Kind != Folder && IsContainedRelativeName(entry.Name)) {
      DeleteAnyFile(AsidePath(folder, ToWide(entry.Name)));
    }
  }
  DeleteAnyFile(folder + kJournalName);
}

}  // namespace tolvane
