// StorageAtomicFileStream: the rollback journal and the new-file-and-rename update.
#include "storage/atomic_file_stream.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <iterator>
#include <random>

#include "storage/storage_format.h"

using namespace tolvane::storage_format;

namespace {

constexpr uint8_t kMagic[8] = {'T', 'L', 'V', 'J', 'R', 'N', 'L', 1};
constexpr uint32_t kJournalHeaderSize = 48;
constexpr uint32_t kRecordOverhead = 12;      // offset, length, CRC
constexpr uint32_t kRecordPiece = 1u << 20;   // old bytes per record at most

uint32_t Crc(uint32_t crc, const uint8_t* p, size_t n) {
  while (n) {
    uInt piece = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
    crc = static_cast<uint32_t>(crc32(crc, p, piece));
    p += piece;
    n -= piece;
  }
  return crc;
}

// Reads length bytes at offset and puts the stream back where it was.
bool ReadBack(StorageManagerStream& s, uint32_t offset, uint8_t* out, uint32_t length) {
  uint32_t at = s.Tell();
  bool ok = s.Seek(offset) && (length == 0 || s.Read(out, length));
  return s.Seek(at) && ok;
}

// What identifies the archive across an update: its first 128 bytes (of which an update
// only changes the directory offset).
bool HeaderCrc(StorageManagerStream& file, uint64_t oldSize, uint32_t& crc) {
  uint8_t image[kHeaderSize] = {};
  uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(oldSize, kHeaderSize));
  if (file.GetSize() < n || !ReadBack(file, 0, image, n)) return false;
  if (n >= kDirectoryOffsetField + 4) StoreLe32(image + kDirectoryOffsetField, 0);
  crc = Crc(static_cast<uint32_t>(crc32(0, Z_NULL, 0)), image, n);
  return true;
}

struct JournalHeader {
  uint32_t salt = 0;
  uint64_t oldSize = 0;
  uint64_t volume = 0, file = 0;
  uint32_t headerCrc = 0;
};

void EncodeHeader(const JournalHeader& h, uint8_t* p) {
  std::copy(std::begin(kMagic), std::end(kMagic), p);
  StoreLe32(p + 8, h.salt);
  StoreLe32(p + 12, 0);
  StoreLe64(p + 16, h.oldSize);
  StoreLe64(p + 24, h.volume);
  StoreLe64(p + 32, h.file);
  StoreLe32(p + 40, h.headerCrc);
  StoreLe32(p + 44, Crc(static_cast<uint32_t>(crc32(0, Z_NULL, 0)), p, 44));
}

// False for a header that is not all there or does not check out.
bool DecodeHeader(StorageManagerStream& journal, JournalHeader& h) {
  uint8_t p[kJournalHeaderSize];
  if (journal.GetSize() < kJournalHeaderSize || !journal.Seek(0) || !journal.Read(p, kJournalHeaderSize)) return false;
  if (!std::equal(std::begin(kMagic), std::end(kMagic), p)) return false;
  if (LoadLe32(p + 44) != Crc(static_cast<uint32_t>(crc32(0, Z_NULL, 0)), p, 44)) return false;
  h.salt = LoadLe32(p + 8);
  h.oldSize = LoadLe64(p + 16);
  h.volume = LoadLe64(p + 24);
  h.file = LoadLe64(p + 32);
  h.headerCrc = LoadLe32(p + 40);
  return h.oldSize < 0x100000000ull;
}

uint32_t RecordCrc(uint32_t salt, const uint8_t* record, uint32_t length) {
  uint8_t s[4];
  StoreLe32(s, salt);
  uint32_t crc = Crc(static_cast<uint32_t>(crc32(0, Z_NULL, 0)), s, 4);
  return Crc(crc, record, 8 + static_cast<size_t>(length));
}

// Writes every whole record back into file, cuts it to its old length and syncs it.
bool ApplyJournal(StorageManagerStream& journal, StorageManagerFileStream& file, const JournalHeader& h) {
  const uint64_t size = journal.GetSize();
  uint64_t pos = kJournalHeaderSize;
  std::vector<uint8_t> record;
  while (pos + kRecordOverhead <= size) {
    uint8_t head[8];
    if (!journal.Seek(static_cast<uint32_t>(pos)) || !journal.Read(head, 8)) return false;
    const uint32_t offset = LoadLe32(head), length = LoadLe32(head + 4);
    // A torn record (or one no writer makes) ends what was acted on.
    if (length > kRecordPiece || pos + kRecordOverhead + length > size) break;
    if (static_cast<uint64_t>(offset) + length > h.oldSize) break;
    record.resize(8 + static_cast<size_t>(length) + 4);
    std::copy(head, head + 8, record.begin());
    if (!journal.Read(record.data() + 8, length + 4)) return false;
    if (LoadLe32(record.data() + 8 + length) != RecordCrc(h.salt, record.data(), length)) break;
    if (length && (!file.Seek(offset) || !file.Write(record.data() + 8, length))) return false;
    pos += kRecordOverhead + length;
  }
  return file.SetSize(static_cast<uint32_t>(h.oldSize), false) && file.Sync();
}

uint32_t NewSalt() {
  try {
    std::random_device rd;
    return rd();
  } catch (const std::exception&) {
    return static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
}

}  // namespace

StorageAtomicFileStream::Recovery StorageAtomicFileStream::Recover(const std::wstring& name) {
  try {
    // A new file that was never renamed into place is nobody's.
    if (StorageManagerFileStream::Exists(NewName(name))) StorageManagerFileStream::Remove(NewName(name));
    const std::wstring journalName = JournalName(name);
    if (!StorageManagerFileStream::Exists(journalName)) return Recovery::Nothing;
    StorageManagerFileStream journal;
    if (journal.Open(journalName, OpenRead) != OpenedExisting) return Recovery::Failed;
    JournalHeader h;
    if (!DecodeHeader(journal, h)) {
      // Never valid: the file was not touched.
      journal.Close();
      StorageManagerFileStream::Remove(journalName);
      return Recovery::Discarded;
    }
    StorageManagerFileStream file;
    if (file.Open(name, OpenReadWrite) != OpenedExisting) {
      if (StorageManagerFileStream::Exists(name)) return Recovery::Failed;
      journal.Close();
      StorageManagerFileStream::Remove(journalName);
      return Recovery::Discarded;
    }
    uint64_t volume = 0, number = 0;
    uint32_t crc = 0;
    if (!file.Identity(volume, number) || volume != h.volume || number != h.file || !HeaderCrc(file, h.oldSize, crc) ||
        crc != h.headerCrc) {
      // Made for a file that had this name before: applying it would damage this one.
      file.Close();
      journal.Close();
      StorageManagerFileStream::Remove(journalName);
      return Recovery::Discarded;
    }
    bool ok = ApplyJournal(journal, file, h);
    file.Close();
    journal.Close();
    if (!ok) return Recovery::Failed;
    // Should the journal stay, the next open applies it again to the same effect.
    if (StorageManagerFileStream::Remove(journalName)) StorageManagerFileStream::SyncFolderOf(name);
    return Recovery::RolledBack;
  } catch (const std::exception&) {
    return Recovery::Failed;
  }
}

int StorageAtomicFileStream::Open(const std::wstring& name, StorageOpenMode mode) {
  Close();
  try {
    name_ = name;
    if (mode == OpenOrCreate) mode = StorageManagerFileStream::Exists(name) ? OpenReadWrite : CreateNew;
    if (mode == CreateNew) {
      anew_ = true;
      if (file_.Open(NewName(name), CreateNew) == CreatedNew) return CreatedNew;
      Forget();
      return OpenFailed;
    }
    if (mode != OpenReadWrite || file_.Open(name, OpenReadWrite) != OpenedExisting) {
      Forget();
      return OpenFailed;
    }
    // Without a journal there is no way back: no update (a read-only folder refuses here).
    oldSize_ = file_.GetSize();
    if (oldSize_ == 0xFFFFFFFFu || !file_.Identity(volume_, fileNumber_) || !HeaderCrc(file_, oldSize_, headerCrc_) ||
        journal_.Open(JournalName(name), CreateNew) != CreatedNew) {
      file_.Close();
      if (journal_.IsOpen()) {
        journal_.Close();
        StorageManagerFileStream::Remove(JournalName(name));
      }
      Forget();
      return OpenFailed;
    }
    salt_ = NewSalt();
    return OpenedExisting;
  } catch (const std::exception&) {
    file_.Close();
    journal_.Close();
    Forget();
    return OpenFailed;
  }
}

void StorageAtomicFileStream::Forget() {
  name_.clear();
  anew_ = started_ = folderSynced_ = failed_ = false;
  oldSize_ = volume_ = fileNumber_ = 0;
  headerCrc_ = journalEnd_ = 0;
  saved_.clear();
  atStart_.clear();
  Unmark();
  batching_ = unsynced_ = false;
  batchSize_ = 0;
  batchBytes_ = 0;
  pending_.clear();
}

bool StorageAtomicFileStream::Read(void* buffer, uint32_t length) {
  if (!pending_.empty() && !ApplyPending()) return false;
  return file_.Read(buffer, length);
}
bool StorageAtomicFileStream::Seek(uint32_t position) { return file_.Seek(position); }
uint32_t StorageAtomicFileStream::Tell() { return file_.Tell(); }
uint32_t StorageAtomicFileStream::GetSize() { return batching_ ? batchSize_ : file_.GetSize(); }

constexpr size_t kBatchLimit = 8u << 20;

bool StorageAtomicFileStream::Write(const void* buffer, uint32_t length) {
  if (!file_.IsOpen()) return false;
  uint32_t at = file_.Tell();
  if (at == 0xFFFFFFFFu || static_cast<uint64_t>(at) + length >= 0x100000000ull || !Prepare(at, length)) return false;
  if (batching_) {
    if (batchBytes_ + length > kBatchLimit && !ApplyPending()) return false;
    if (Queue(at, buffer, length, false, false)) {
      batchSize_ = std::max(batchSize_, at + length);
      return file_.Seek(at + length);
    }
    // No memory to wait with: made now.
    if (!ApplyPending()) return false;
  }
  KeepForUndo(at, length);
  return file_.Write(buffer, length);
}

bool StorageAtomicFileStream::SetSize(uint32_t length, bool flag) {
  if (!file_.IsOpen()) return false;
  uint32_t size = GetSize();
  if (size == 0xFFFFFFFFu) return false;
  if (length != size && !Prepare(length, length < size ? size - length : 0)) return false;
  if (batching_) {
    if (Queue(length, nullptr, 0, true, flag)) {
      batchSize_ = length;
      return file_.Seek(length);
    }
    if (!ApplyPending()) return false;
  }
  if (length < size) KeepForUndo(length, size - length);
  return file_.SetSize(length, flag);
}

void StorageAtomicFileStream::BeginBatch() {
  if (anew_ || failed_ || !file_.IsOpen() || batching_) return;
  uint32_t size = file_.GetSize();
  if (size == 0xFFFFFFFFu) return;
  batching_ = true;
  batchSize_ = size;
}

bool StorageAtomicFileStream::EndBatch() {
  if (!batching_) return !failed_;
  bool ok = ApplyPending();
  batching_ = false;
  return ok;
}

bool StorageAtomicFileStream::Queue(uint32_t offset, const void* buffer, uint32_t length, bool resize, bool flag) {
  try {
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    pending_.push_back(Pending{offset, resize, flag, length ? std::vector<uint8_t>(p, p + length) : std::vector<uint8_t>()});
    batchBytes_ += length;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// The journal on disk first, then the changes that waited for it.
bool StorageAtomicFileStream::ApplyPending() {
  bool ok = !failed_;
  if (ok && unsynced_) {
    ok = SyncJournal();
    unsynced_ = false;
  }
  const uint32_t at = file_.Tell();
  for (size_t i = 0; ok && i < pending_.size(); ++i) {
    const Pending& p = pending_[i];
    if (p.resize) {
      ok = file_.SetSize(p.offset, p.flag);
    } else {
      ok = p.bytes.empty() ||
           (file_.Seek(p.offset) && file_.Write(p.bytes.data(), static_cast<uint32_t>(p.bytes.size())));
    }
  }
  pending_.clear();
  batchBytes_ = 0;
  ok = file_.Seek(at) && ok;
  // Changes left unmade, or half made: only the whole update can be undone.
  if (!ok) failed_ = true;
  return ok;
}

constexpr size_t kUndoLimit = 16u << 20;

void StorageAtomicFileStream::Mark() {
  Unmark();
  // Undo reads and writes the file itself.
  EndBatch();
  marked_ = true;
  markSize_ = file_.GetSize();
}

void StorageAtomicFileStream::Unmark() {
  marked_ = markTooLarge_ = false;
  markBytes_ = 0;
  undo_.clear();
}

// The bytes of [offset, offset + length) that the file holds now. Those past the length
// at Mark are cut by Undo anyway: a block moved to the end keeps nothing.
void StorageAtomicFileStream::KeepForUndo(uint32_t offset, uint32_t length) {
  if (!marked_ || markTooLarge_) return;
  uint32_t size = file_.GetSize();
  if (size == 0xFFFFFFFFu) {
    markTooLarge_ = true;
    return;
  }
  size = std::min(size, markSize_);
  if (offset >= size) return;
  uint32_t n = std::min(length, size - offset);
  if (markBytes_ + n > kUndoLimit) {
    markTooLarge_ = true;
    return;
  }
  try {
    std::vector<uint8_t> bytes(n);
    if (!ReadBack(file_, offset, bytes.data(), n)) {
      markTooLarge_ = true;
      return;
    }
    undo_.emplace_back(offset, std::move(bytes));
    markBytes_ += n;
  } catch (const std::exception&) {
    markTooLarge_ = true;
  }
}

bool StorageAtomicFileStream::Undo() {
  bool ok = marked_ && !markTooLarge_ && markSize_ != 0xFFFFFFFFu;
  for (auto it = undo_.rbegin(); ok && it != undo_.rend(); ++it) {
    uint32_t n = static_cast<uint32_t>(it->second.size());
    ok = n == 0 || (file_.Seek(it->first) && file_.Write(it->second.data(), n));
  }
  ok = ok && file_.SetSize(markSize_, false);
  Unmark();
  // What the file now holds is not known: only the whole update can be undone.
  if (!ok) failed_ = true;
  return ok;
}

bool StorageAtomicFileStream::Preserve(uint32_t offset, uint32_t length) { return Prepare(offset, length); }

void StorageAtomicFileStream::PreserveAtStart(uint32_t offset, uint32_t length) {
  if (anew_ || started_ || offset >= oldSize_ || length == 0) return;
  try {
    atStart_.emplace_back(offset, length);
  } catch (const std::exception&) {
    // only an optimisation
  }
}

bool StorageAtomicFileStream::StartJournal() {
  JournalHeader h;
  h.salt = salt_;
  h.oldSize = oldSize_;
  h.volume = volume_;
  h.file = fileNumber_;
  h.headerCrc = headerCrc_;
  uint8_t image[kJournalHeaderSize];
  EncodeHeader(h, image);
  if (!journal_.Seek(0) || !journal_.Write(image, kJournalHeaderSize)) return false;
  journalEnd_ = kJournalHeaderSize;
  started_ = true;
  // Every write-back rewrites the header; the regions named by the archive come along.
  bool saved = false;
  if (!SaveOld(0, static_cast<uint32_t>(std::min<uint64_t>(oldSize_, kHeaderSize)), saved)) return false;
  for (const auto& r : atStart_) {
    uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(r.first) + r.second, oldSize_);
    if (r.first < end && !SaveOld(r.first, static_cast<uint32_t>(end - r.first), saved)) return false;
  }
  atStart_.clear();
  return true;
}

// Appends the old bytes of the parts of [offset, offset + length) not yet in the journal.
bool StorageAtomicFileStream::SaveOld(uint32_t offset, uint32_t length, bool& saved) {
  const uint32_t end = offset + length;
  uint32_t pos = offset;
  std::vector<uint8_t> record;
  while (pos < end) {
    auto next = saved_.upper_bound(pos);
    if (next != saved_.begin()) {
      auto prev = std::prev(next);
      if (prev->second > pos) {
        pos = prev->second;
        continue;
      }
    }
    uint32_t gapEnd = next == saved_.end() ? end : std::min(end, next->first);
    uint32_t n = std::min(gapEnd - pos, kRecordPiece);
    record.resize(8 + static_cast<size_t>(n) + 4);
    StoreLe32(record.data(), pos);
    StoreLe32(record.data() + 4, n);
    if (!ReadBack(file_, pos, record.data() + 8, n)) return false;
    StoreLe32(record.data() + 8 + n, RecordCrc(salt_, record.data(), n));
    if (!journal_.Seek(journalEnd_) || !journal_.Write(record.data(), static_cast<uint32_t>(record.size())))
      return false;
    journalEnd_ += static_cast<uint32_t>(record.size());
    // Adjacent ranges are joined so that the map stays small.
    uint32_t start = pos;
    auto before = saved_.find(pos);
    if (before == saved_.end() && next != saved_.begin()) {
      auto prev = std::prev(next);
      if (prev->second == pos) start = prev->first;
    }
    uint32_t stop = pos + n;
    if (next != saved_.end() && next->first == stop) {
      stop = next->second;
      saved_.erase(next);
    }
    saved_[start] = stop;
    pos += n;
    saved = true;
  }
  return true;
}

// Before bytes at [offset, offset + length) change, or the length of the file does: the
// journal holds their old content and is on disk.
bool StorageAtomicFileStream::Prepare(uint64_t offset, uint64_t length) {
  if (anew_) return true;
  if (failed_) return false;
  try {
    bool saved = false;
    if (!started_) {
      if (!StartJournal()) throw std::exception();
      saved = true;
    }
    if (offset < oldSize_ && length) {
      uint64_t end = std::min(offset + length, oldSize_);
      if (!SaveOld(static_cast<uint32_t>(offset), static_cast<uint32_t>(end - offset), saved)) throw std::exception();
    }
    if (saved) {
      if (batching_) {
        unsynced_ = true;
      } else if (!SyncJournal()) {
        throw std::exception();
      }
    }
    return true;
  } catch (const std::exception&) {
    failed_ = true;
    return false;
  }
}

bool StorageAtomicFileStream::SyncJournal() {
  if (!journal_.Sync()) return false;
  // The journal's name must outlast a crash as surely as its content.
  if (!folderSynced_) {
    if (!StorageManagerFileStream::SyncFolderOf(name_)) return false;
    folderSynced_ = true;
  }
  return true;
}

bool StorageAtomicFileStream::Commit() {
  if (!file_.IsOpen()) return false;
  EndBatch();
  const std::wstring name = name_;
  if (anew_) {
    const bool ok = !failed_ && file_.Sync() && file_.Rename(NewName(name), name);
    file_.Close();
    if (!ok) StorageManagerFileStream::Remove(NewName(name));
    // Once renamed the update has happened; a folder that cannot be synced only makes it
    // less sure to outlast a power cut.
    if (ok) StorageManagerFileStream::SyncFolderOf(name);
    Forget();
    return ok;
  }
  if (failed_ || (started_ && !file_.Sync())) {
    Rollback();
    return false;
  }
  journal_.Close();
  if (!started_) {
    // Nothing changed; an empty journal left behind would be discarded at the next open.
    file_.Close();
    StorageManagerFileStream::Remove(JournalName(name));
    Forget();
    return true;
  }
  if (!StorageManagerFileStream::Remove(JournalName(name))) {
    Rollback();
    return false;
  }
  // Deleting the journal made the update final (see the new-file case above for a failing
  // folder sync: the worst a power cut can do then is bring the journal back, which takes
  // the file back to its old state whole).
  StorageManagerFileStream::SyncFolderOf(name);
  file_.Close();
  Forget();
  return true;
}

bool StorageAtomicFileStream::Rollback() {
  if (!file_.IsOpen()) return false;
  const std::wstring name = name_;
  bool ok = true;
  if (anew_) {
    file_.Close();
    ok = StorageManagerFileStream::Remove(NewName(name));
  } else if (!started_) {
    file_.Close();
    journal_.Close();
    StorageManagerFileStream::Remove(JournalName(name));
  } else {
    try {
      // The journal as written, or as named when a failed commit has closed it.
      JournalHeader h;
      if (!journal_.IsOpen() && journal_.Open(JournalName(name), OpenRead) != OpenedExisting) {
        ok = false;
      } else {
        ok = DecodeHeader(journal_, h) && ApplyJournal(journal_, file_, h);
      }
    } catch (const std::exception&) {
      ok = false;
    }
    journal_.Close();
    file_.Close();
    // A journal that could not be applied stays for the next open.
    if (ok && StorageManagerFileStream::Remove(JournalName(name))) StorageManagerFileStream::SyncFolderOf(name);
  }
  Forget();
  return ok;
}

void StorageAtomicFileStream::Close() {
  if (file_.IsOpen()) Rollback();
  journal_.Close();
  Forget();
}
