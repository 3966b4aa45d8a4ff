// An extraction that happens whole or not at all. Before the first change the run writes
// a journal into the install folder that lists every change it is about to make: the
// files it will replace (moved aside on the same volume, so that nothing is copied and no
// space is taken), the files and folders it will create. A run that does not finish puts
// everything back from that list; one that finishes says so in the journal, and what it
// moved aside is removed afterwards (ClearUpFinishedRun), while the user already sees the
// end. Where the journal lies is kept in the product's registry key, so that the next
// start of setup finds a run left unfinished, even the first install's, and completes it
// either way. A run whose journal place cannot be recorded does not begin.
//
// What survives what:
// - The process ends at any point (killed, or the system ends it): the folder is the old
//   installation or the new one at the next start of setup, never a mix. The journal's
//   place is recorded before the journal is written, and the journal lists each change
//   before it is made; the next start puts the folder back, or, when the journal says
//   every file was written, removes what was moved aside.
// - The power fails at any point: the same, because each thing the recovery reads is on
//   the disk before what depends on it: the journal's place (RegFlushKey) before the
//   journal, the journal (FlushFileBuffers) before the first change it lists, and every
//   file the run wrote (FlushFileBuffers on each) before the journal says the run
//   finished. The run's moves and creations are metadata changes that the file system
//   logs: after a power cut each has happened or not, and the recovery looks at each on
//   disk before it reverses it. Not covered: the program group, shortcuts and product
//   record an install makes after the run, which reach the disk when the system writes
//   them back. (Wine's RegFlushKey returns without writing: under Wine the place is as
//   safe as Wine keeps its registry.)
// The files are flushed on the run's helper threads, behind the writes, so that the
// extraction seldom waits for the disk; more helpers start, and flush at once, only when
// the first falls behind (a slow disk). A helper that has flushed all it was given sleeps
// until a few files wait, and so wakes once for several: under Wine each wake-up is two
// calls to the wineserver. Handing each file to a helper in turn kept four of them waking
// and sleeping, which cost about 20 ms of CPU on the sample package (142 files, 7 MB);
// tests/bench/extract_peer.py measures the whole mechanism against the same extraction
// without it.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "common/failure.h"
#include "common/win_owners.h"
#include "engine/extract_pipeline.h"

struct ManifestEntry;

namespace tolvane {

// Names inside the install folder that belong to a run, not to the product.
inline constexpr wchar_t kJournalName[] = L"~setup-run.journal";
// A file moved aside lies beside itself, its name followed by this.
inline constexpr wchar_t kAsideSuffix[] = L".~setup-old";
// The registry value (in the product's key) that holds the full path of the journal of
// the run under way.
inline constexpr wchar_t kJournalValue[] = L"SetupRunJournal";

// One change of a run, by the name relative to the install folder.
struct RunStep {
  enum Kind : uint8_t { NewFolder = 'F', NewFile = 'N', MovedAside = 'M', Finished = 'D' };
  Kind kind;
  std::wstring name;
};

class InstallRun {
 public:
  // `folder`: the install folder, ending with a backslash.
  explicit InstallRun(const std::wstring& folder) : folder_(folder) {}
  // A run neither finished nor undone (an exception passed through) is undone here.
  ~InstallRun();
  InstallRun(const InstallRun&) = delete;
  InstallRun& operator=(const InstallRun&) = delete;

  // Decides what the entries will change, touching nothing: every file of the package
  // that exists already must open for writing (a running program's does not), or the
  // run is refused (FileNotCreated with its path).
  Failure Plan(const std::vector<ManifestEntry>& entries);
  // Records where the journal lies, then writes the journal. On failure nothing was
  // changed; after a failure of the journal's writing the run is to be undone.
  Failure Begin();
  // After Begin: starts the first helper thread, which moves the files to be replaced
  // aside, in order, ahead of the entries (so that the writes seldom wait for a move), and
  // brings the files written to the disk behind them (with more helpers, which Written
  // starts when the flushes fall behind). False when the first cannot be had:
  // ReadyFor and MoveOneAhead then make the moves. Written flushes a file itself where a
  // helper is missing.
  bool StartHelpers();
  // Before entry `entry` (manifest index) is written: every file to be replaced up to
  // that entry's is moved aside (waiting for the helper, or moving them here). On failure
  // (also for a move that failed earlier) what was moved is put back by Undo.
  Failure ReadyFor(size_t entry);
  // Without the helpers: moves the next file to be replaced aside ahead of its entry,
  // while the worker would only wait for content (ReadAhead::SetWaitWork). False when
  // none is left or the move failed (ReadyFor reports it).
  static bool MoveOneAhead(void* run);
  // A file of the run is written whole; `file` is still open for writing. It reaches the
  // disk before the run finishes (FileNotWritten with `path` when it cannot).
  Failure Written(UniqueFile file, const std::wstring& path);
  // Every entry is written (each after ReadyFor) and every file handed to Written is on
  // the disk: the journal says so. What was moved aside stays for ClearUpFinishedRun. On
  // failure the run is to be undone.
  Failure Finish();
  // Puts the folder back as the run found it. What cannot be put back (a file in use) is
  // left with its journal for the next start of setup.
  void Undo();

 private:
  // A written file waiting to be flushed.
  struct Unflushed {
    UniqueFile file;
    std::wstring path;
  };
  static constexpr size_t kHelpers = 4;
  // At most this many written files wait for one helper; beyond, the worker flushes.
  static constexpr size_t kSlots = 16;
  // A helper with nothing to flush sleeps until this many files wait (Finish and Undo
  // wake it for fewer).
  static constexpr size_t kFlushBatch = 4;
  // With this many files waiting for each helper so far, the next one is started.
  static constexpr size_t kSpill = kFlushBatch + 4;
  static_assert(kSpill < kSlots);
  // One of the helper threads, with its own ring of written files: the worker fills slot
  // queuedCount % kSlots and raises `queued`, the helper flushes slot flushedCount %
  // kSlots and raises `flushed`. The first helper takes the written files while it keeps
  // up; the others start when the disk falls behind, so that their flushes overlap (the
  // disk serves several at once). The first helper also makes the moves, ahead of the
  // entries, before its flushes.
  struct Helper {
    InstallRun* run = nullptr;
    Unflushed slots[kSlots];
    Counter queued, flushed;
    size_t queuedCount = 0;  // (the worker's own copy of `queued`)
    UniqueHandle thread;
    std::atomic<bool> ended{false};
    std::exception_ptr fault;  // an exception that ended the thread, for the worker
    // Its first flush that failed; the worker reads it once `flushed` says so.
    Failure failure;
  };

  // Carries out steps_[done_] (a move aside; the other kinds need nothing before their
  // entry's write). False when the move failed: moveFailure_ says which.
  bool Advance();
  // Starts a helper once; whether it runs.
  bool StartHelper(Helper& helper);
  static unsigned __stdcall Help(void* helper);
  void HelpUntilStopped(Helper& helper);
  // Ends the helpers (after the step or flush in hand) and waits for them.
  void StopHelpers();
  // Waits until the helpers have flushed every file handed to them; their failure, or
  // one's exception rethrown.
  Failure WaitForFlushes();
  // The first helper's failure, or its exception rethrown, once it has ended short of its
  // moves.
  Failure MoverFailure();

  std::wstring folder_;
  std::vector<RunStep> steps_;
  std::vector<size_t> stepEntries_;  // the manifest index of each step's entry
  std::atomic<size_t> done_{0};      // steps carried out so far, in order
  size_t ready_ = 0;                 // steps the worker has needed so far
  // Set by whoever makes the moves; with the helper, read only once it has ended.
  Failure moveFailure_;
  Counter moved_;  // raised with each step the first helper carries out
  Helper helpers_[kHelpers];
  std::atomic<bool> stopHelpers_{false};
  UniqueFile journal_;
  bool begun_ = false;
  bool closed_ = false;
};

// At start-up: completes a run that the last setup process left unfinished (restores the
// folder, or removes what was moved aside when every file had been written). A journal
// that cannot be read whole or is damaged is left as it is, and nothing is touched.
void RecoverUnfinishedRun();

// After a run that finished (the worker's last work, once the user sees the end): removes
// what it moved aside, then its journal. Nothing when no finished run is recorded.
void ClearUpFinishedRun();
// True while ClearUpFinishedRun works: the program lets it end rather than end it.
bool ClearingUpFinishedRun();

// At uninstall: removes whatever a run left in `folder` (the journal, the package's
// files moved aside). Files that cannot be deleted are marked for removal at the next
// restart.
void RemoveRunLeftovers(const std::wstring& folder, const std::vector<ManifestEntry>& entries);

// Journal bytes and back (exposed for tests). Parse is false for a damaged journal; a
// record cut short at the end (the process ended while writing it) is no damage: the
// change it would have described was never made.
void AppendRunRecord(std::string& out, const RunStep& step);
bool ParseRunJournal(const std::string& bytes, std::vector<RunStep>& steps);

}  // namespace tolvane
