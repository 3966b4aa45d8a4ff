// The writing side of an archive object: the opens that may update, one operation's undo,
// and the write-back at Close (see storage_update.h).
#include "storage/storage_update.h"

#include <algorithm>
#include <exception>

#include "storage/atomic_file_stream.h"
#include "storage/chunked_stream.h"
#include "storage/storage_format.h"
#include "storage/zlib_codec.h"

using namespace tolvane::storage_format;

// ---------------------------------------------------------------------------------------
// Opening for update

bool StorageManager::Open(std::vector<uint8_t>& bytes, StorageOpenMode mode) {
  Close();
  try {
    status_ = 0;
    options_ = requestedOptions_;
    auto stream = std::make_unique<StorageManagerMemoryStream>();
    int result = stream->Open(bytes, mode);
    if (!Attach(std::move(stream), result)) return false;
    StartUpdate(nullptr, true);
    return true;
  } catch (const std::exception&) {
    Release();
    return false;
  }
}

bool StorageManager::Open(const std::wstring& file, StorageOpenMode mode) {
  Close();
  try {
    status_ = 0;
    options_ = requestedOptions_;
    // Whatever mode: a half-made update is never what an open shows.
    if (StorageAtomicFileStream::Recover(file) == StorageAtomicFileStream::Recovery::Failed) return false;
    if (mode == OpenRead) {
      auto stream = std::make_unique<StorageManagerFileStream>();
      int result = stream->Open(file, mode);
      if (!Attach(std::move(stream), result)) return false;
      StartUpdate(nullptr, true);
      return true;
    }
    auto stream = std::make_unique<StorageAtomicFileStream>();
    StorageAtomicFileStream* atomic = stream.get();
    int result = stream->Open(file, mode);
    if (!Attach(std::move(stream), result)) return false;
    StartUpdate(atomic, true);
    // The write-back rewrites the directory and the root list: their old bytes go into
    // the journal with its first entry, which saves a sync each.
    for (uint32_t i = 0; i < 2 && i < directory_.size(); ++i) {
      const BlockRecord& r = directory_[i];
      if (r.type == BlockData && r.offset) atomic->PreserveAtStart(r.offset, r.size);
    }
    return true;
  } catch (const std::exception&) {
    Release();
    return false;
  }
}

bool StorageManager::Open(std::unique_ptr<StorageManagerStream> stream, int openResult) {
  Close();
  status_ = 0;
  options_ = requestedOptions_;
  if (!stream || !Attach(std::move(stream), openResult)) return false;
  try {
    StartUpdate(nullptr, true);
  } catch (const std::exception&) {
    Release();
    return false;
  }
  return true;
}

void StorageManager::StartUpdate(StorageAtomicFileStream* atomic, bool writesBack) {
  auto update = std::make_unique<tolvane::StorageUpdate>(*this, atomic, writesBack);
  writer_ = update.get();
  update_ = std::move(update);
}

tolvane::StorageUpdate& StorageManager::MakeUpdate() {
  StartUpdate(nullptr, false);
  return *writer_;
}

namespace tolvane {

StorageUpdate::StorageUpdate(StorageManager& archive, StorageAtomicFileStream* atomic, bool writesBack)
    : a_(archive), atomic_(atomic), writesBack_(writesBack), space_(archive) {
  space_.Rebuild();
}

StorageUpdate::~StorageUpdate() = default;

ChunkedStreams& StorageUpdate::Chunks() {
  if (!chunks_) chunks_ = std::make_unique<ChunkedStreams>(a_);
  return *chunks_;
}

bool StorageUpdate::Finish(bool keep) {
  if (!writesBack_) return true;
  bool ok = false;
  if (keep) {
    try {
      ok = WriteBack();
    } catch (const std::exception&) {
      ok = false;
    }
  }
  if (atomic_) ok = ok ? atomic_->Commit() : (atomic_->Rollback(), false);
  return ok;
}

void StorageUpdate::Preserve(uint32_t offset, uint32_t length) {
  if (atomic_) atomic_->Preserve(offset, length);
}

bool StorageUpdate::WriteInPlace(uint32_t at, const void* data, uint32_t length) {
  if (atomic_) atomic_->Mark();
  bool ok = a_.stream_->Seek(at) && a_.stream_->Write(data, length);
  if (atomic_) ok ? atomic_->Unmark() : static_cast<void>(atomic_->Undo());
  return ok;
}

// ---------------------------------------------------------------------------------------
// One operation's undo

StorageUpdate::Operation::Operation(StorageUpdate& update) : u_(update), active_(update.atomic_ != nullptr) {
  if (!active_) return;
  const StorageManager& a = u_.a_;
  records_ = a.directory_.size();
  damaged_ = a.damaged_;
  end_ = a.end_;
  status_ = a.status_;
  tiling_ = u_.space_.Tiling();
  u_.space_.LogChanges(&changed_);
  u_.atomic_->Mark();
}

// Also when the operation ended in an exception.
StorageUpdate::Operation::~Operation() {
  if (active_) u_.space_.LogChanges(nullptr);
}

void StorageUpdate::Operation::End(bool failed) {
  if (!active_) return;
  active_ = false;
  u_.space_.LogChanges(nullptr);
  if (!failed) {
    u_.atomic_->Unmark();
    return;
  }
  // The old payload is written back, and the records that said where it was; records
  // added by the operation go again.
  StorageManager& a = u_.a_;
  u_.atomic_->Undo();
  for (auto it = changed_.rbegin(); it != changed_.rend(); ++it) a.directory_[it->first] = it->second;
  a.directory_.resize(records_);
  a.damaged_ = std::move(damaged_);
  u_.space_.Rebuild();
  a.end_ = end_;
  a.status_ = status_;
  u_.space_.RestoreTiling(tiling_);
}

// ---------------------------------------------------------------------------------------
// Writing back

// An archive file gets the write-back's changes after one sync of the journal holding
// every old byte they cover, however many regions they rewrite.
bool StorageUpdate::WriteBack() {
  if (!atomic_) return WriteBackSteps();
  atomic_->BeginBatch();
  bool ok;
  try {
    ok = WriteBackSteps();
  } catch (const std::exception&) {
    atomic_->EndBatch();
    throw;
  }
  return atomic_->EndBatch() && ok;
}

// Stops at the first failure: what follows a failed step would describe what is not there.
bool StorageUpdate::WriteBackSteps() {
  // Deepest folders first: saving a folder updates its parent's entry.
  std::vector<StorageFolder*> folders;
  for (auto& f : a_.openFolders_) folders.push_back(f.get());
  auto depth = [](const StorageFolder* f) {
    size_t d = 0;
    for (const StorageFolder* p = f->parent; p; p = p->parent) ++d;
    return d;
  };
  std::stable_sort(folders.begin(), folders.end(),
                   [&](const StorageFolder* a, const StorageFolder* b) { return depth(a) > depth(b); });
  for (StorageFolder* f : folders) {
    if ((f->flags & 1) && !SaveSubfolder(*f)) return false;
  }
  if ((a_.root_.flags & 1) && !SaveRoot()) return false;
  if ((a_.status_ & StatusDirectoryChanged) && !SaveDirectory()) return false;
  if (a_.status_ & StatusHeaderChanged) {
    if (!a_.stream_->Seek(0) || !a_.stream_->Write(a_.header_, kHeaderSize)) return false;
    a_.status_ &= ~StatusHeaderChanged;
  }
  a_.stream_->Flush();
  return true;
}

void StorageUpdate::SerializeDirectory(const std::vector<BlockRecord>& records, std::vector<uint8_t>& out) {
  out.resize(records.size() * kRecordSize);
  uint8_t* p = out.data();
  for (const BlockRecord& r : records) {
    p[0] = r.type;
    p[1] = 0;
    StoreLe32(p + 2, r.offset);
    StoreLe32(p + 6, r.size);
    p += kRecordSize;
  }
}

bool StorageUpdate::SaveDirectory() {
  if (!(a_.status_ & StatusDirectoryChanged)) return true;
  // The directory gets a fresh region each time: its size depends on the allocations
  // made for it.
  // Record 0 always describes the directory, whatever a damaged archive said it was.
  if (!a_.directory_.empty()) {
    BlockRecord old = a_.directory_[0];
    if (old.type == BlockData && old.offset != 0 && !a_.IsDamaged(0)) {
      space_.Release(old.offset, old.size, StorageManager::kNoRecord);
    } else if (old.type != BlockVacant && old.offset != 0) {
      a_.status_ |= StatusSpaceLost;
    }
    space_.SetRecord(0, BlockData, 0, 0);
  }
  // Records of damaged regions are written as lost: their data was never readable, and by
  // the next open the space they claim may hold other blocks (the archive grew over it).
  // The root list keeps its record: it is read from there, and only overlaps (it would
  // not have loaded from anywhere else).
  for (uint32_t number : std::vector<uint32_t>(a_.damaged_)) {
    if (number == 1) continue;
    const BlockRecord r = a_.directory_[number];
    space_.SetRecord(number, BlockLost, r.offset, r.size);
  }
  space_.TrimDirectory();
  if (a_.directory_.size() < 2 || (a_.directory_.size() == 2 && a_.directory_[1].offset == 0)) {
    a_.directory_.clear();
    space_.Clear();
    a_.status_ &= ~StatusDirectoryChanged;
    if (LoadLe32(a_.header_ + kDirectoryOffsetField) != 0) {
      StoreLe32(a_.header_ + kDirectoryOffsetField, 0);
      a_.status_ |= StatusHeaderChanged;
    }
    return space_.SetEnd(kHeaderSize);
  }

  // Allocating the directory's region can change records (and append some), so the
  // region is sized again until the latest form fits.
  constexpr int kMaxRounds = 64;
  std::vector<uint8_t> plain;
  std::vector<uint8_t> stored;
  const bool compressed = (a_.options_ & OptionCompressDirectory) != 0;
  auto encode = [&](uint32_t& length) {
    SerializeDirectory(a_.directory_, plain);
    if (!compressed) {
      length = static_cast<uint32_t>(plain.size());
      return plain.size() <= kMaxPayload;
    }
    if (CompressForStorage(a_.compressor_, plain.data(), static_cast<uint32_t>(plain.size()), stored) < 0) return false;
    length = static_cast<uint32_t>(stored.size() - 2);
    return true;
  };
  uint32_t written = 0;
  if (!encode(written)) return false;
  uint32_t latest = written;
  for (int round = 0;; ++round) {
    if (round == kMaxRounds) return false;
    if (ResizeBlock(0, written, true) <= 0) return false;
    if (!encode(latest)) return false;
    if (static_cast<uint64_t>(a_.directory_[0].size) >= static_cast<uint64_t>(latest) + 4) break;
    written = latest;
  }
  if (latest != written) {
    uint8_t prefix[4];
    StoreLe32(prefix, latest);
    if (!a_.stream_->Seek(a_.directory_[0].offset) || !a_.stream_->Write(prefix, 4)) return false;
  }
  const uint8_t* bytes = compressed ? stored.data() + 2 : plain.data();
  if (!a_.stream_->Write(bytes, latest)) return false;
  StoreLe32(a_.header_ + kDirectoryOffsetField, a_.directory_[0].offset);
  a_.status_ |= StatusHeaderChanged;
  a_.status_ &= ~StatusDirectoryChanged;
  return true;
}

}  // namespace tolvane

namespace tolvane {

void StorageUpdate::ForgetInflated(uint32_t block) {
  if (chunks_) chunks_->ForgetInflated(block);
}

void StorageUpdate::NoteBlockResized(uint32_t block) {
  if (chunks_) chunks_->NoteBlockResized(block);
}

void StorageUpdate::ForgetChunkBlock(uint32_t block) {
  if (chunks_) chunks_->ForgetChunkBlock(block);
}

}  // namespace tolvane
