// An update of an archive file that happens whole or not at all.
//
// In place (an existing file opened for writing): before the first change to bytes that
// the file held when the update began, those bytes are saved in a rollback journal beside
// it ("<name>-journal") and the journal is synced; growing or cutting the file also waits
// for the journal, which records the old length. Commit syncs the file and deletes the
// journal: that deletion is the moment the update takes effect. Rollback, or Recover at
// the next open after a crash, puts the saved bytes back and cuts the file to its old
// length.
//
// Anew (CreateNew, or OpenOrCreate of a missing file): everything goes to "<name>-new",
// which Commit syncs and renames over the name.
//
// Journal layout (little-endian):
//   header, 48 bytes: "TLVJRNL" 0x01, u32 salt, u32 0, u64 old length of the file,
//     u64 volume and u64 file number of the file, u32 CRC-32 of the file's first 128
//     bytes with the directory offset (bytes 92..95) taken as zero, u32 CRC-32 of the
//     44 bytes before it.
//   records, until the end: u32 offset, u32 length, the length old bytes, u32 CRC-32 of
//     the salt and the 8 + length bytes before it.
// A header that does not check out belongs to a journal that never became valid, so the
// file was not touched; a record that does not check out (torn by a crash while it was
// written) and everything after it were never acted on.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "storage/storage_stream.h"

class StorageAtomicFileStream final : public StorageManagerStream {
 public:
  enum class Recovery {
    Nothing,     // no journal
    Discarded,   // a journal that never became valid, or one made for another file
    RolledBack,  // an interrupted update was undone
    Failed,      // a journal that should be applied could not be: do not use the file
  };

  StorageAtomicFileStream() = default;
  ~StorageAtomicFileStream() override { Close(); }

  static std::wstring JournalName(const std::wstring& name) { return name + L"-journal"; }
  static std::wstring NewName(const std::wstring& name) { return name + L"-new"; }

  // Finishes whatever an interrupted update of name left behind. Every open of an archive
  // file calls it first.
  static Recovery Recover(const std::wstring& name);

  // OpenReadWrite, CreateNew or OpenOrCreate; OpenFailed also when the journal or the new
  // file cannot be made beside name (a read-only folder).
  int Open(const std::wstring& name, StorageOpenMode mode);

  bool Read(void* buffer, uint32_t length) override;
  bool Write(const void* buffer, uint32_t length) override;
  bool Seek(uint32_t position) override;
  uint32_t Tell() override;
  uint32_t GetSize() override;
  bool SetSize(uint32_t length, bool flag) override;
  void Flush() override {}  // durability is Commit's business
  // Without a Commit the update is rolled back.
  void Close() override;

  // Saves the old bytes of a range that writes are about to cover, so that one journal
  // sync serves them all. Only an optimisation: writes save what they need themselves.
  bool Preserve(uint32_t offset, uint32_t length);
  // Ranges saved together with the first thing the journal saves (the regions that every
  // write-back rewrites).
  void PreserveAtStart(uint32_t offset, uint32_t length);

  // Makes the update durable and final. False when it could not: the file is then as it
  // was before the update (or will be after the next open).
  bool Commit();
  // Puts the file back as it was when it was opened. False when that failed; the journal
  // then stays for the next open.
  bool Rollback();

  // One operation's writes, undone when a later write of it fails: Mark starts keeping
  // the bytes they cover (up to a bound), Unmark forgets them, Undo writes them back and
  // restores the length. An Undo that cannot be done fails the whole update instead.
  void Mark();
  void Unmark();
  bool Undo();

  // A write-back: the old bytes its writes cover go to the journal as they come, but the
  // writes (and changes of length) wait in memory until EndBatch, which syncs the journal
  // once and then makes them. Reads and Mark make the waiting writes first.
  void BeginBatch();
  bool EndBatch();

  bool IsOpen() const { return file_.IsOpen(); }
  bool Failed() const { return failed_; }

 private:
  bool StartJournal();
  bool SaveOld(uint32_t offset, uint32_t length, bool& saved);
  bool Prepare(uint64_t offset, uint64_t length);
  void KeepForUndo(uint32_t offset, uint32_t length);
  bool SyncJournal();
  bool Queue(uint32_t offset, const void* buffer, uint32_t length, bool resize, bool flag);
  bool ApplyPending();
  void Forget();

  StorageManagerFileStream file_;
  StorageManagerFileStream journal_;
  std::wstring name_;
  bool anew_ = false;        // writing "<name>-new"
  bool started_ = false;     // the journal has its header (the file may have changed)
  bool folderSynced_ = false;
  bool failed_ = false;      // the journal could not be kept: only a rollback is left
  uint32_t salt_ = 0;
  uint64_t oldSize_ = 0;
  uint64_t volume_ = 0, fileNumber_ = 0;
  uint32_t headerCrc_ = 0;
  uint32_t journalEnd_ = 0;
  std::map<uint32_t, uint32_t> saved_;  // start -> end of the old ranges in the journal
  std::vector<std::pair<uint32_t, uint32_t>> atStart_;
  bool marked_ = false, markTooLarge_ = false;
  uint32_t markSize_ = 0;
  size_t markBytes_ = 0;
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> undo_;  // in the order written
  struct Pending {
    uint32_t offset;  // where the bytes go, or the new length
    bool resize, flag;
    std::vector<uint8_t> bytes;
  };
  bool batching_ = false;
  bool unsynced_ = false;  // the journal holds records not yet synced
  uint32_t batchSize_ = 0;  // the length the file has once the waiting changes are made
  size_t batchBytes_ = 0;
  std::vector<Pending> pending_;  // in the order made
};
