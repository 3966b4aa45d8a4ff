// An extraction that happens whole or not at all. Before the first change the run writes
// a journal into the install folder, flushed to disk, that lists every change it is
// about to make: the files it will replace (moved aside on the same volume, so that
// nothing is copied and no space is taken), the files and folders it will create. A run
// that does not finish puts everything back from that list; one that finishes says so in
// the journal, and what it moved aside is removed afterwards (ClearUpFinishedRun), while
// the user already sees the end. Where the journal lies is kept in the product's registry
// key, so that the next start of setup finds a run that a killed process left unfinished,
// even the first install's, and completes it either way.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

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
  // run is refused with "建立文件 " + path + " 出错。", composed in `errorText`.
  const wchar_t* Plan(const std::vector<ManifestEntry>& entries, std::wstring& errorText);
  // Writes the journal and records where it lies. Null on success; otherwise the failure
  // text (the run is then to be undone).
  const wchar_t* Begin(std::wstring& errorText);
  // After Begin: moves the files to be replaced aside, in order, on a thread of its own
  // that runs ahead of the entries, so that the writes seldom wait for a move. False when
  // no thread can be had: ReadyFor and MoveOneAhead then make the moves.
  bool StartMoving();
  // Before entry `entry` (manifest index) is written: every file to be replaced up to
  // that entry's is moved aside (waiting for the moving thread, or moving them here).
  // Null on success; otherwise the failure text (what was moved is put back by Undo),
  // also for a move that failed earlier.
  const wchar_t* ReadyFor(size_t entry, std::wstring& errorText);
  // Without the moving thread: moves the next file to be replaced aside ahead of its
  // entry, while the worker would only wait for content (ReadAhead::SetWaitWork). False
  // when none is left or the move failed (ReadyFor reports it).
  static bool MoveOneAhead(void* run);
  // Every entry is written (each after ReadyFor): the journal says so. What was moved
  // aside stays for ClearUpFinishedRun. Null on success; otherwise the failure text, and
  // the run is to be undone.
  const wchar_t* Finish(std::wstring& errorText);
  // Puts the folder back as the run found it. What cannot be put back (a file in use) is
  // left with its journal for the next start of setup.
  void Undo();

 private:
  std::wstring folder_;
  // Carries out steps_[done_] (a move aside; the other kinds need nothing before their
  // entry's write). False when the move failed: failedPath_ says which.
  bool Advance();
  static unsigned __stdcall MoveAll(void* run);
  // Ends the moving thread (at the next step) and waits for it.
  void StopMoving();

  std::vector<RunStep> steps_;
  std::vector<size_t> stepEntries_;  // the manifest index of each step's entry
  std::atomic<size_t> done_{0};      // steps carried out so far, in order
  size_t ready_ = 0;                 // steps the worker has needed so far
  // Set by whoever makes the moves; with the thread, read only once it has ended.
  std::wstring failedPath_;
  UniqueHandle mover_;
  Counter moved_;  // raised with each step the thread carries out
  std::atomic<bool> stopMoving_{false}, moverEnded_{false};
  std::exception_ptr moverFault_;  // an exception that ended the thread, for the worker
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
