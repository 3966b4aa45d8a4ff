// StorageManager: writing entries and blocks. An archive file's operation that fails
// half-way is undone whole (StorageUpdate::Operation).
#include <algorithm>
#include <exception>

#include "storage/chunked_stream.h"
#include "storage/storage_format.h"
#include "storage/storage_manager.h"
#include "storage/storage_update.h"
#include "storage/zlib_codec.h"

using namespace tolvane::storage_format;

namespace {

template <typename F>
auto Guarded(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const std::exception&) {
    return StorageNoMemory;
  }
}

}  // namespace

namespace tolvane {

int32_t CompressForStorage(Compressor compressor, const void* data, uint32_t length, std::vector<uint8_t>& out) {
  if (!(compressor ? compressor : DeflateLevel9)(data, length, out) || !HasLevel9Header(out))
    return StorageCompressFailed;
  if (out.size() - 2 > kMaxPayload) return StorageNoSpace;
  return 0;
}

int32_t StorageUpdate::NewBlock(uint32_t length, uint32_t wanted) {
  space_.EnsureReservedRecords();
  if (length > kMaxPayload) return StorageNoSpace;
  const uint32_t need = RegionSize(length);
  if (wanted > 0 && (wanted >= a_.directory_.size() || a_.directory_[wanted].type != BlockVacant))
    return StorageBadBlock;
  int64_t at = space_.Allocate(need, StorageManager::kNoRecord);
  if (at < 1) return static_cast<int32_t>(at);
  const uint32_t offset = static_cast<uint32_t>(at);
  int32_t number = wanted > 0 ? static_cast<int32_t>(wanted) : space_.NewRecordNumber();
  if (number < 1) {
    space_.Release(offset, need, StorageManager::kNoRecord);
    return StorageNoMemory;
  }
  space_.SetRecord(static_cast<uint32_t>(number), BlockData, offset, need);
  uint8_t prefix[4];
  StoreLe32(prefix, length);
  Preserve(offset, 4 + length);
  if (!a_.stream_->Seek(offset) || !a_.stream_->Write(prefix, 4)) {
    space_.Release(offset, need, StorageManager::kNoRecord);
    space_.Vacate(static_cast<uint32_t>(number));
    return StorageWriteFailed;
  }
  return number;
}

}  // namespace tolvane

// ---------------------------------------------------------------------------------------
// Blocks

int32_t StorageManager::CreateBlockRaw(const void* data, uint32_t length, bool force) {
  return Guarded([&]() -> int32_t {
    if (!stream_) return StorageNotOpen;
    if (length == 0 && !force) return 0;
    int32_t number = Update().NewBlock(length, 0);
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
    int32_t r = tolvane::CompressForStorage(compressor_, data, length, stored);
    if (r < 0) return r;
    return CreateBlockRaw(stored.data() + 2, static_cast<uint32_t>(stored.size() - 2), force);
  });
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
    tolvane::StorageUpdate::Operation operation(Update());
    int32_t r = type == BlockVacant ? Update().NewBlock(length, block) : Update().ResizeBlock(block, length, compact);
    if (r > 0) {
      status_ |= StatusDataChanged;
      Update().ForgetInflated(block);
      if (length && !stream_->Write(data, length)) r = StorageWriteFailed;
    }
    operation.End(r < 0);
    return r <= 0 ? r : static_cast<int32_t>(length);
  });
}

int32_t StorageManager::RewriteBlock(uint32_t block, const void* data, uint32_t length, bool compact) {
  return Guarded([&]() -> int32_t {
    if (!stream_) return StorageNotOpen;
    if (length == 0) return RewriteBlockRaw(block, nullptr, 0, compact);
    std::vector<uint8_t> stored;
    int32_t r = tolvane::CompressForStorage(compressor_, data, length, stored);
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
    int32_t r = tolvane::CompressForStorage(compressor_, data, length, stored);
    if (r < 0) return r;
    return WriteBlockRaw(block, stored.data() + 2, static_cast<uint32_t>(stored.size() - 2), compact);
  });
}

int32_t StorageManager::WriteBlockPart(uint32_t block, const void* data, uint32_t length, uint32_t offset) {
  return Guarded([&]() -> int32_t {
    if (!stream_) return StorageNotOpen;
    uint32_t at, n;
    int32_t r = LocatePart(block, offset, length, at, n);
    if (r <= 0) return r;
    Update().ForgetInflated(block);
    // Only bytes change here: the stream alone puts them back.
    if (!Update().WriteInPlace(at, data, n)) return StorageWriteFailed;
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
    if (r.type == BlockData && r.offset != 0) Update().Space().PrefetchNeighbours(r.offset, r.size);
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
      Update().ForgetChunkBlock(block);
    }
    if (r.type == BlockData) {
      const bool damaged = IsDamaged(block);
      Update().Space().Vacate(block);
      status_ |= StatusDataChanged;
      if (r.offset == 0) return 0;  // no space to give back
      if (damaged) {
        // Not this block's alone to give back: a copy recovers what is really free.
        status_ |= StatusSpaceLost;
        return 0;
      }
      return Update().Space().Release(r.offset, r.size, kNoRecord) ? 1 : 0;
    }
    if (r.type == BlockLost) {
      Update().Space().Vacate(block);
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
    // Where the payload's region will come from is fetched while the name is looked up.
    Update().Space().PrefetchBestFit(RegionSize(length));
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
    int32_t r = tolvane::CompressForStorage(compressor_, data, length, stored);
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
    Update().Space().EnsureReservedRecords();
    const uint32_t offset = end_;
    // Whatever went wrong, the archive ends where it ended before.
    auto undo = [&](int32_t code) {
      stream_->SetSize(offset, (options_ & OptionSetSizeFlag) != 0);
      return code;
    };
    uint8_t prefix[4] = {0, 0, 0, 0};
    Update().Preserve(offset, 4);
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
      Update().Preserve(uint32_t(offset + 4 + length - n), n);
      if (!stream_->Write(piece, n)) return undo(StorageWriteFailed);
    }
    if (length == 0) return undo(0);
    const uint32_t need = RegionSize(static_cast<uint32_t>(length));
    if (!Update().Space().SetEnd(uint64_t(offset) + need)) return undo(StorageNoSpace);
    int32_t number = Update().Space().NewRecordNumber();
    if (number < 1) {
      Update().Space().SetEnd(offset);
      return number < 0 ? number : StorageNoMemory;
    }
    Update().Space().SetRecord(static_cast<uint32_t>(number), BlockData, offset, need);
    StoreLe32(prefix, static_cast<uint32_t>(length));
    if (!stream_->Seek(offset) || !stream_->Write(prefix, 4)) {
      Update().Space().Vacate(static_cast<uint32_t>(number));
      Update().Space().SetEnd(offset);
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

