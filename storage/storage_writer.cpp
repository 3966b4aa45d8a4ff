// StorageManager: blocks, entries and folders, and writing folder lists and the directory.
#include <algorithm>
#include <exception>

#include "storage/storage_format.h"
#include "storage/storage_manager.h"
#include "storage/zlib_codec.h"

using namespace tolvane::storage_format;

namespace {

// A folder list stores a name's length in one byte and cannot hold an empty name.
bool ValidName(const std::string& name) { return !name.empty() && name.size() <= kMaxNameLength; }

// Compresses data into its stored form: the zlib stream without its two header bytes,
// which out keeps at the front (callers skip them). With zlib unless the archive was given
// another compressor.
int32_t CompressForStorage(tolvane::Compressor compressor, const void* data, uint32_t length,
                           std::vector<uint8_t>& out) {
  if (!(compressor ? compressor : tolvane::DeflateLevel9)(data, length, out) || !tolvane::HasLevel9Header(out))
    return StorageCompressFailed;
  if (out.size() - 2 > kMaxPayload) return StorageNoSpace;
  return 0;
}

template <typename F>
auto Guarded(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const std::exception&) {
    return StorageNoMemory;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Blocks

int32_t StorageManager::NewBlock(uint32_t length, uint32_t wanted) {
  EnsureReservedRecords();
  if (length > kMaxPayload) return StorageNoSpace;
  const uint32_t need = RegionSize(length);
  if (wanted > 0 && (wanted >= directory_.size() || directory_[wanted].type != BlockVacant)) return StorageBadBlock;
  int64_t at = AllocateSpace(need, kNoRecord);
  if (at < 1) return static_cast<int32_t>(at);
  const uint32_t offset = static_cast<uint32_t>(at);
  int32_t number = wanted > 0 ? static_cast<int32_t>(wanted) : NewRecordNumber();
  if (number < 1) {
    ReleaseSpace(offset, need, kNoRecord);
    return StorageNoMemory;
  }
  SetRecord(static_cast<uint32_t>(number), BlockData, offset, need);
  uint8_t prefix[4];
  Put32(prefix, length);
  Preserve(offset, 4 + length);
  if (!stream_->Seek(offset) || !stream_->Write(prefix, 4)) {
    ReleaseSpace(offset, need, kNoRecord);
    Vacate(static_cast<uint32_t>(number));
    return StorageWriteFailed;
  }
  return number;
}

int32_t StorageManager::CreateBlockRaw(const void* data, uint32_t length, bool force) {
  return Guarded([&]() -> int32_t {
    if (!stream_) return StorageNotOpen;
    if (length == 0 && !force) return 0;
    int32_t number = NewBlock(length, 0);
    if (number < 1) return number;
    status_ |= StatusDataChanged;
    if (length && !stream_->Write(data, length)) {
      // Nobody learns the number of a block whose payload failed: give its space back.
      DeleteBlock(static_cast<uint32_t>(number));
      return StorageWriteFailed;
    }
    return number;
  });
}

int32_t StorageManager::CreateBlock(const void* data, uint32_t length, bool force) {
  return Guarded([&]() -> int32_t {
    if (!stream_) return StorageNotOpen;
    if (length == 0 && !force) return 0;
    std::vector<uint8_t> stored;
    int32_t r = CompressForStorage(compressor_, data, length, stored);
    if (r < 0) return r;
    return CreateBlockRaw(stored.data() + 2, static_cast<uint32_t>(stored.size() - 2), force);
  });
}

void StorageManager::BeginOperation(OperationState& state) {
  state.active = atomic_ != nullptr;
  if (!state.active) return;
  state.owner = this;
  state.records = directory_.size();
  undo_ = &state.changed;
  state.damaged = damaged_;
  state.end = end_;
  state.status = status_;
  state.tiled = tiled_;
  state.tilingKnown = tilingKnown_;
  atomic_->Mark();
}

void StorageManager::EndOperation(OperationState& state, bool failed) {
  if (!state.active) return;
  state.active = false;
  undo_ = nullptr;
  if (!failed) {
    atomic_->Unmark();
    return;
  }
  // The old payload is written back, and the records that said where it was; records
  // added by the operation go again.
  atomic_->Undo();
  for (auto it = state.changed.rbegin(); it != state.changed.rend(); ++it) directory_[it->first] = it->second;
  directory_.resize(state.records);
  damaged_ = std::move(state.damaged);
  RebuildIndexes();
  end_ = state.end;
  status_ = state.status;
  tiled_ = state.tiled;
  tilingKnown_ = state.tilingKnown;
}

int32_t StorageManager::RewriteBlockRaw(uint32_t block, const void* data, uint32_t length, bool compact) {
  return Guarded([&]() -> int32_t {
    if (!stream_) return StorageNotOpen;
    if (block == 0) return length == 0 ? 0 : StorageBadBlock;
    if (block >= directory_.size()) return StorageBadBlock;
    const uint8_t type = directory_[block].type;
    if (type != BlockVacant && type != BlockData) return StorageBadBlock;
    // A rewrite that fails half-way would lose the old content: in an archive file it is
    // undone instead.
    OperationState state;
    BeginOperation(state);
    int32_t r = type == BlockVacant ? NewBlock(length, block) : ResizeBlock(block, length, compact);
    if (r > 0) {
      status_ |= StatusDataChanged;
      ForgetInflated(block);
      if (length && !stream_->Write(data, length)) r = StorageWriteFailed;
    }
    EndOperation(state, r < 0);
    return r <= 0 ? r : static_cast<int32_t>(length);
  });
}

int32_t StorageManager::RewriteBlock(uint32_t block, const void* data, uint32_t length, bool compact) {
  return Guarded([&]() -> int32_t {
    if (!stream_) return StorageNotOpen;
    if (length == 0) return RewriteBlockRaw(block, nullptr, 0, compact);
    std::vector<uint8_t> stored;
    int32_t r = CompressForStorage(compressor_, data, length, stored);
    if (r < 0) return r;
    return RewriteBlockRaw(block, stored.data() + 2, static_cast<uint32_t>(stored.size() - 2), compact);
  });
}

int32_t StorageManager::WriteBlockRaw(uint32_t block, const void* data, uint32_t length, bool compact) {
  return Guarded([&]() -> int32_t {
    if (!stream_) return StorageNotOpen;
    if (block == 0) return CreateBlockRaw(data, length, false);
    if (length == 0) {
      int32_t d = DeleteBlock(block);
      return d < 0 ? d : 0;
    }
    int32_t r = RewriteBlockRaw(block, data, length, compact);
    return r < 0 ? r : static_cast<int32_t>(block);
  });
}

int32_t StorageManager::WriteBlock(uint32_t block, const void* data, uint32_t length, bool compact) {
  return Guarded([&]() -> int32_t {
    if (!stream_) return StorageNotOpen;
    if (length == 0) return block == 0 ? 0 : WriteBlockRaw(block, nullptr, 0, compact);
    std::vector<uint8_t> stored;
    int32_t r = CompressForStorage(compressor_, data, length, stored);
    if (r < 0) return r;
    return WriteBlockRaw(block, stored.data() + 2, static_cast<uint32_t>(stored.size() - 2), compact);
  });
}

int32_t StorageManager::WriteBlockPart(uint32_t block, const void* data, uint32_t length, uint32_t offset) {
  return Guarded([&]() -> int32_t {
    if (!stream_) return StorageNotOpen;
    uint32_t payload, stored;
    int32_t r = LocateBlock(block, payload, stored);
    if (r <= 0) return r;
    if (offset >= stored) return 0;
    uint32_t n = std::min(length, stored - offset);
    ForgetInflated(block);
    // Only bytes change here: the stream alone puts them back.
    if (atomic_) atomic_->Mark();
    bool ok = stream_->Seek(payload + offset) && stream_->Write(data, n);
    if (atomic_) ok ? atomic_->Unmark() : static_cast<void>(atomic_->Undo());
    if (!ok) return StorageWriteFailed;
    status_ |= StatusDataChanged;
    return static_cast<int32_t>(n);
  });
}

int32_t StorageManager::DeleteBlock(uint32_t block) {
  return Guarded([&]() -> int32_t {
    if (!stream_) return StorageNotOpen;
    if (block == 0) return 0;
    if (block >= directory_.size()) return StorageBadBlock;
    BlockRecord r = directory_[block];
    if (r.type == BlockData || r.type == BlockLost) {
      // A folder list deleted through the block operations is written afresh, under a
      // new number, when its folder is saved: the old number may hold other data by then.
      if (block == 1) root_.flags |= 1;
      for (auto& f : openFolders_) {
        if (f->block == block) {
          f->block = 0;
          f->flags |= 1;
        }
      }
      // Nor are cached chunked streams whose index or chunk this was any longer usable
      // as they are cached: their next lookup checks the stored index.
      ForgetChunkBlock(block);
    }
    if (r.type == BlockData) {
      const bool damaged = IsDamaged(block);
      Vacate(block);
      status_ |= StatusDataChanged;
      if (r.offset == 0) return 0;  // no space to give back
      if (damaged) {
        // Not this block's alone to give back: a copy recovers what is really free.
        status_ |= StatusSpaceLost;
        return 0;
      }
      return ReleaseSpace(r.offset, r.size, kNoRecord) ? 1 : 0;
    }
    if (r.type == BlockLost) {
      Vacate(block);
      status_ |= StatusDataChanged;
    }
    return 0;
  });
}

// ---------------------------------------------------------------------------------------
// Entries

int32_t StorageManager::WriteEntryRaw(StorageFolder& folder, const std::string& name, const void* data,
                                      uint32_t length, bool compact) {
  return Guarded([&]() -> int32_t {
    if (!stream_) return StorageNotOpen;
    if (!ValidName(name)) return 0;
    // A subfolder's name is never overwritten by a file, saved or not.
    if (folder.subfolders.count(name)) return 0;
    auto it = folder.entries.find(name);
    uint32_t block = it == folder.entries.end() ? 0 : (it->second & kEntryBlockMask);
    if (block > 0) {
      if (length > 0) return RewriteBlockRaw(block, data, length, compact);
      DeleteBlock(block);
      folder.entries.erase(it);
      folder.flags |= 1;
      return 0;
    }
    if (length == 0) return 0;
    folder.flags |= 1;
    int32_t number = CreateBlockRaw(data, length, false);
    if (number < 0) return number;
    // A file entry without a block takes the new one; keeping the old value would lose the data.
    folder.entries[name] = static_cast<EntryValue>(number);
    return static_cast<int32_t>(length);
  });
}

int32_t StorageManager::WriteEntry(StorageFolder& folder, const std::string& name, const void* data,
                                   uint32_t length, bool compact) {
  return Guarded([&]() -> int32_t {
    if (!stream_) return StorageNotOpen;
    if (length == 0) return DeleteEntry(folder, name);
    if (!ValidName(name) || folder.subfolders.count(name)) return 0;
    std::vector<uint8_t> stored;
    int32_t r = CompressForStorage(compressor_, data, length, stored);
    if (r < 0) return r;
    return WriteEntryRaw(folder, name, stored.data() + 2, static_cast<uint32_t>(stored.size() - 2), compact);
  });
}

int32_t StorageManager::DeleteEntry(StorageFolder& folder, const std::string& name) {
  return Guarded([&]() -> int32_t {
    if (!stream_) return StorageNotOpen;
    auto it = folder.entries.find(name);
    if (it == folder.entries.end() || (it->second & kEntryBlockMask) == 0) return 0;
    if (folder.subfolders.count(name)) return 0;
    int32_t d = DeleteBlock(it->second & kEntryBlockMask);
    if (d < 0) return d;
    folder.entries.erase(it);
    folder.flags |= 1;
    return 0;
  });
}

int32_t StorageManager::AppendEntryRaw(StorageFolder& folder, const std::string& name, PayloadSource& source) {
  return Guarded([&]() -> int32_t {
    if (!stream_) return StorageNotOpen;
    if (!ValidName(name) || folder.subfolders.count(name) || folder.entries.find(name) != folder.entries.end())
      return 0;
    EnsureReservedRecords();
    const uint32_t offset = end_;
    // Whatever went wrong, the archive ends where it ended before.
    auto undo = [&](int32_t code) {
      stream_->SetSize(offset, (options_ & OptionSetSizeFlag) != 0);
      return code;
    };
    uint8_t prefix[4] = {0, 0, 0, 0};
    Preserve(offset, 4);
    if (!stream_->Seek(offset) || !stream_->Write(prefix, 4)) return undo(StorageWriteFailed);
    uint64_t length = 0;
    for (;;) {
      const uint8_t* piece = nullptr;
      uint32_t n = 0;
      if (!source.Next(piece, n)) return undo(StorageWriteFailed);
      if (n == 0) break;
      length += n;
      if (length > kMaxPayload || offset + uint64_t(RegionSize(uint32_t(length))) > 0xFFFFFFF0u)
        return undo(StorageNoSpace);
      Preserve(uint32_t(offset + 4 + length - n), n);
      if (!stream_->Write(piece, n)) return undo(StorageWriteFailed);
    }
    if (length == 0) return undo(0);
    const uint32_t need = RegionSize(static_cast<uint32_t>(length));
    if (!SetEnd(uint64_t(offset) + need)) return undo(StorageNoSpace);
    int32_t number = NewRecordNumber();
    if (number < 1) {
      SetEnd(offset);
      return number < 0 ? number : StorageNoMemory;
    }
    SetRecord(static_cast<uint32_t>(number), BlockData, offset, need);
    Put32(prefix, static_cast<uint32_t>(length));
    if (!stream_->Seek(offset) || !stream_->Write(prefix, 4)) {
      Vacate(static_cast<uint32_t>(number));
      SetEnd(offset);
      return StorageWriteFailed;
    }
    status_ |= StatusDataChanged;
    folder.entries[name] = static_cast<EntryValue>(number);
    folder.flags |= 1;
    return static_cast<int32_t>(length);
  });
}

int32_t StorageManager::AppendEntryRaw(const std::string& name, PayloadSource& source) {
  return AppendEntryRaw(*current_, name, source);
}

int32_t StorageManager::WriteEntryRaw(const std::string& name, const void* data, uint32_t length, bool compact) {
  return WriteEntryRaw(*current_, name, data, length, compact);
}
int32_t StorageManager::WriteEntry(const std::string& name, const void* data, uint32_t length, bool compact) {
  return WriteEntry(*current_, name, data, length, compact);
}
int32_t StorageManager::DeleteEntry(const std::string& name) { return DeleteEntry(*current_, name); }

// ---------------------------------------------------------------------------------------
// Folders

bool StorageManager::IsOpenFolder(const StorageFolder* folder) const {
  for (const auto& f : openFolders_) {
    if (f.get() == folder) return true;
  }
  return false;
}

void StorageManager::RemoveOpenFolder(const StorageFolder* folder) {
  openFolders_.remove_if([folder](const std::unique_ptr<StorageFolder>& f) { return f.get() == folder; });
}

StorageFolder* StorageManager::CreateFolder(StorageFolder& parent, const std::string& name) {
  try {
    if (!stream_ || !ValidName(name)) return nullptr;
    if (&parent != &root_ && !IsOpenFolder(&parent)) return nullptr;
    if (parent.entries.count(name) || parent.subfolders.count(name)) return nullptr;
    auto folder = std::make_unique<StorageFolder>();
    folder->parent = &parent;
    folder->openCount = 1;
    StorageFolder* result = folder.get();
    openFolders_.push_back(std::move(folder));
    parent.entries[name] = kEntryFolder;
    parent.subfolders[name] = result;
    parent.flags |= 1;
    return result;
  } catch (const std::exception&) {
    return nullptr;
  }
}

StorageFolder* StorageManager::OpenFolder(StorageFolder& parent, const std::string& name) {
  try {
    if (!stream_) return nullptr;
    if (&parent != &root_ && !IsOpenFolder(&parent)) return nullptr;
    auto it = parent.subfolders.find(name);
    if (it == parent.subfolders.end()) return nullptr;
    if (it->second) {
      if (it->second->openCount == 0xFFFF) return nullptr;
      ++it->second->openCount;
      return it->second;
    }
    auto entry = parent.entries.find(name);
    if (entry == parent.entries.end()) return nullptr;
    auto folder = std::make_unique<StorageFolder>();
    uint32_t block = entry->second & kEntryBlockMask;
    if (!LoadFolderList(block, (entry->second & kEntryFolderCompressed) != 0, *folder)) return nullptr;
    folder->parent = &parent;
    folder->block = block;
    folder->openCount = 1;
    folder->flags = 0;
    StorageFolder* result = folder.get();
    openFolders_.push_back(std::move(folder));
    it->second = result;
    return result;
  } catch (const std::exception&) {
    return nullptr;
  }
}

StorageFolder* StorageManager::CreateFolder(const std::string& name) { return CreateFolder(*current_, name); }
StorageFolder* StorageManager::OpenFolder(const std::string& name) { return OpenFolder(*current_, name); }

bool StorageManager::CloseFolder(StorageFolder* folder) {
  try {
    if (!stream_ || !folder || folder == &root_ || !IsOpenFolder(folder)) return false;
    for (const auto& sub : folder->subfolders) {
      if (sub.second) return false;
    }
    if (folder->openCount > 1) {
      --folder->openCount;
      return true;
    }
    // A folder whose list cannot be written stays open: false always means "still open".
    if (!SaveSubfolder(*folder)) return false;
    if (StorageFolder* parent = folder->parent) {
      for (auto& sub : parent->subfolders) {
        if (sub.second == folder) sub.second = nullptr;
      }
    }
    RemoveOpenFolder(folder);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool StorageManager::DeleteFolder(StorageFolder* folder) {
  try {
    if (!stream_ || !folder || folder == &root_ || !IsOpenFolder(folder)) return false;
    if (folder->openCount > 1 || !folder->parent) return false;
    for (const auto& sub : folder->subfolders) {
      if (sub.second) return false;
    }
    for (const auto& e : folder->entries) {
      if (e.second & kEntryFolder) return false;
    }
    StorageFolder* parent = folder->parent;
    auto key = std::find_if(parent->subfolders.begin(), parent->subfolders.end(),
                            [folder](const auto& s) { return s.second == folder; });
    if (key == parent->subfolders.end()) return false;
    auto entry = parent->entries.find(key->first);
    // A folder that was never saved has no block to free: refused.
    if (entry == parent->entries.end() || (entry->second & kEntryBlockMask) == 0) return false;
    for (const auto& e : folder->entries) {
      if (DeleteBlock(e.second & kEntryBlockMask) < 0) status_ |= StatusSpaceLost;
    }
    if (DeleteBlock(entry->second & kEntryBlockMask) < 0) status_ |= StatusSpaceLost;
    parent->entries.erase(entry);
    parent->subfolders.erase(key);
    parent->flags |= 1;
    RemoveOpenFolder(folder);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool StorageManager::DetachFolder(StorageFolder* folder) {
  if (!stream_ || !folder || folder == &root_ || !IsOpenFolder(folder) || !folder->parent) return false;
  StorageFolder* parent = folder->parent;
  auto key = std::find_if(parent->subfolders.begin(), parent->subfolders.end(),
                          [folder](const auto& s) { return s.second == folder; });
  if (key == parent->subfolders.end()) return false;
  parent->entries.erase(key->first);
  parent->subfolders.erase(key);
  parent->flags |= 1;
  // The folder stays open but no longer refers to a parent that may be closed before it.
  folder->parent = nullptr;
  return true;
}

bool StorageManager::DetachFolder(StorageFolder& parent, const std::string& name) {
  if (!stream_) return false;
  if (&parent != &root_ && !IsOpenFolder(&parent)) return false;
  auto key = parent.subfolders.find(name);
  if (key == parent.subfolders.end() || key->second) return false;
  parent.subfolders.erase(key);
  parent.entries.erase(name);
  parent.flags |= 1;
  return true;
}

bool StorageManager::DetachFolder(const std::string& name) { return DetachFolder(*current_, name); }

// ---------------------------------------------------------------------------------------
// Writing back

bool StorageManager::WriteFolderList(const StorageFolder& folder, EntryValue reference) {
  std::vector<uint8_t> bytes;
  for (const auto& e : folder.entries) {
    if (!ValidName(e.first)) return false;
    size_t at = bytes.size();
    bytes.resize(at + 1 + e.first.size() + 4);
    bytes[at] = static_cast<uint8_t>(e.first.size());
    std::copy(e.first.begin(), e.first.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at + 1));
    Put32(bytes.data() + at + 1 + e.first.size(), e.second);
  }
  if (bytes.size() > kMaxPayload) return false;
  const uint32_t number = reference & kEntryBlockMask;
  if (reference & kEntryFolderCompressed) {
    std::vector<uint8_t> stored;
    if (CompressForStorage(compressor_, bytes.data(), static_cast<uint32_t>(bytes.size()), stored) < 0) return false;
    uint32_t length = static_cast<uint32_t>(stored.size() - 2);
    if (ResizeBlock(number, length, true) <= 0) return false;
    return stream_->Write(stored.data() + 2, length);
  }
  uint32_t length = static_cast<uint32_t>(bytes.size());
  if (ResizeBlock(number, length, true) <= 0) return false;
  return stream_->Write(bytes.data(), length);
}

void StorageManager::SetParentEntry(StorageFolder& folder, EntryValue value) {
  StorageFolder* parent = folder.parent;
  if (!parent) return;
  for (const auto& sub : parent->subfolders) {
    if (sub.second != &folder) continue;
    EntryValue& v = parent->entries[sub.first];
    if (v != value) {
      v = value;
      parent->flags |= 1;
    }
    return;
  }
}

bool StorageManager::SaveSubfolder(StorageFolder& folder) {
  if (!(folder.flags & 1)) return true;
  if (folder.entries.empty()) {
    if (folder.block >= 2) DeleteBlock(folder.block);
    folder.block = 0;
    SetParentEntry(folder, kEntryFolder);
  } else {
    EnsureReservedRecords();
    // A list block that is no longer a block of this folder (freed or lost through the
    // block operations, or damaged) is not written over: the list gets a new number.
    uint32_t block = folder.block;
    if (block >= directory_.size() || block < 2 || IsDamaged(block) ||
        (directory_[block].type != BlockData && directory_[block].type != BlockVacant))
      block = 0;
    int32_t number = block ? static_cast<int32_t>(block) : NewRecordNumber();
    if (number < 1) return false;
    EntryValue reference =
        static_cast<EntryValue>(number) | (options_ & OptionCompressFolders ? kEntryFolderCompressed : 0);
    if (!WriteFolderList(folder, reference)) return false;
    folder.block = static_cast<uint32_t>(number);
    SetParentEntry(folder, reference | kEntryFolder);
  }
  folder.flags &= ~1u;
  return true;
}

bool StorageManager::SaveRoot() {
  if (!(root_.flags & 1)) return true;
  if (root_.entries.empty()) {
    if (directory_.size() > 1 && directory_[1].offset != 0) {
      BlockRecord old = directory_[1];
      const bool damaged = IsDamaged(1);
      SetRecord(1, BlockVacant, 0, 0);
      SetRecord(0, BlockData, directory_[0].offset, directory_[0].size);
      if (old.type == BlockData && !damaged) ReleaseSpace(old.offset, old.size, kNoRecord);
      if (damaged) status_ |= StatusSpaceLost;
    }
  } else {
    EnsureReservedRecords();
    // Record 1 holds the root list; a damaged archive may have given the number away.
    const BlockRecord& r1 = directory_[1];
    if ((r1.type != BlockData && r1.type != BlockVacant) || IsDamaged(1)) {
      if (r1.offset != 0) status_ |= StatusSpaceLost;
      SetRecord(1, BlockData, 0, 0);
    }
    EntryValue reference = 1 | (options_ & OptionCompressFolders ? kEntryFolderCompressed : 0);
    if (!WriteFolderList(root_, reference)) return false;
  }
  root_.flags &= ~1u;
  return true;
}

void StorageManager::SerializeDirectory(const std::vector<BlockRecord>& records, std::vector<uint8_t>& out) const {
  out.resize(records.size() * kRecordSize);
  uint8_t* p = out.data();
  for (const BlockRecord& r : records) {
    p[0] = r.type;
    p[1] = 0;
    Put32(p + 2, r.offset);
    Put32(p + 6, r.size);
    p += kRecordSize;
  }
}

bool StorageManager::SaveDirectory() {
  if (!(status_ & StatusDirectoryChanged)) return true;
  // The directory gets a fresh region each time: its size depends on the allocations
  // made for it.
  // Record 0 always describes the directory, whatever a damaged archive said it was.
  if (!directory_.empty()) {
    BlockRecord old = directory_[0];
    if (old.type == BlockData && old.offset != 0 && !IsDamaged(0)) {
      ReleaseSpace(old.offset, old.size, kNoRecord);
    } else if (old.type != BlockVacant && old.offset != 0) {
      status_ |= StatusSpaceLost;
    }
    SetRecord(0, BlockData, 0, 0);
  }
  // Records of damaged regions are written as lost: their data was never readable, and by
  // the next open the space they claim may hold other blocks (the archive grew over it).
  // The root list keeps its record: it is read from there, and only overlaps (it would
  // not have loaded from anywhere else).
  for (uint32_t number : std::vector<uint32_t>(damaged_)) {
    if (number == 1) continue;
    const BlockRecord r = directory_[number];
    SetRecord(number, BlockLost, r.offset, r.size);
  }
  while (directory_.size() > 2 && directory_.back().type == BlockVacant) {
    vacant_.Erase(static_cast<uint32_t>(directory_.size() - 1));
    directory_.pop_back();
  }
  if (directory_.size() < 2 || (directory_.size() == 2 && directory_[1].offset == 0)) {
    directory_.clear();
    vacant_.Clear();
    free_.Clear();
    tiled_ = true;
    tilingKnown_ = true;
    status_ &= ~StatusDirectoryChanged;
    if (Get32(header_ + kDirectoryOffsetField) != 0) {
      Put32(header_ + kDirectoryOffsetField, 0);
      status_ |= StatusHeaderChanged;
    }
    return SetEnd(kHeaderSize);
  }

  // Allocating the directory's region can change records (and append some), so the
  // region is sized again until the latest form fits.
  constexpr int kMaxRounds = 64;
  std::vector<uint8_t> plain;
  std::vector<uint8_t> stored;
  const bool compressed = (options_ & OptionCompressDirectory) != 0;
  auto encode = [&](uint32_t& length) {
    SerializeDirectory(directory_, plain);
    if (!compressed) {
      length = static_cast<uint32_t>(plain.size());
      return plain.size() <= kMaxPayload;
    }
    if (CompressForStorage(compressor_, plain.data(), static_cast<uint32_t>(plain.size()), stored) < 0) return false;
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
    if (static_cast<uint64_t>(directory_[0].size) >= static_cast<uint64_t>(latest) + 4) break;
    written = latest;
  }
  if (latest != written) {
    uint8_t prefix[4];
    Put32(prefix, latest);
    if (!stream_->Seek(directory_[0].offset) || !stream_->Write(prefix, 4)) return false;
  }
  const uint8_t* bytes = compressed ? stored.data() + 2 : plain.data();
  if (!stream_->Write(bytes, latest)) return false;
  Put32(header_ + kDirectoryOffsetField, directory_[0].offset);
  status_ |= StatusHeaderChanged;
  status_ &= ~StatusDirectoryChanged;
  return true;
}
