// StorageManager: folders, and writing their lists back. A folder list is a run of
// FolderEntry records (storage_format.h) in unsigned byte order of the names; the reading
// side loads it into the folder's name index (storage_entries.cpp).
#include <algorithm>
#include <exception>

#include "storage/storage_format.h"
#include "storage/storage_manager.h"
#include "storage/storage_update.h"

using namespace tolvane::storage_format;

namespace {

bool IsOpen(const std::list<std::unique_ptr<StorageFolder>>& open, const StorageFolder* folder) {
  for (const auto& f : open) {
    if (f.get() == folder) return true;
  }
  return false;
}

void RemoveOpen(std::list<std::unique_ptr<StorageFolder>>& open, const StorageFolder* folder) {
  open.remove_if([folder](const std::unique_ptr<StorageFolder>& f) { return f.get() == folder; });
}

}  // namespace

StorageFolder* StorageManager::CreateFolder(StorageFolder& parent, const std::string& name) {
  try {
    if (!stream_ || !ValidName(name)) return nullptr;
    if (&parent != &root_ && !IsOpen(openFolders_, &parent)) return nullptr;
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
    if (&parent != &root_ && !IsOpen(openFolders_, &parent)) return nullptr;
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
    if (!stream_ || !folder || folder == &root_ || !IsOpen(openFolders_, folder)) return false;
    for (const auto& sub : folder->subfolders) {
      if (sub.second) return false;
    }
    if (folder->openCount > 1) {
      --folder->openCount;
      return true;
    }
    // A folder whose list cannot be written stays open: false always means "still open".
    if (!Update().SaveSubfolder(*folder)) return false;
    if (StorageFolder* parent = folder->parent) {
      for (auto& sub : parent->subfolders) {
        if (sub.second == folder) sub.second = nullptr;
      }
    }
    RemoveOpen(openFolders_, folder);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool StorageManager::DeleteFolder(StorageFolder* folder) {
  try {
    if (!stream_ || !folder || folder == &root_ || !IsOpen(openFolders_, folder)) return false;
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
    RemoveOpen(openFolders_, folder);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool StorageManager::DetachFolder(StorageFolder* folder) {
  if (!stream_ || !folder || folder == &root_ || !IsOpen(openFolders_, folder) || !folder->parent) return false;
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
  if (&parent != &root_ && !IsOpen(openFolders_, &parent)) return false;
  auto key = parent.subfolders.find(name);
  if (key == parent.subfolders.end() || key->second) return false;
  parent.subfolders.erase(key);
  parent.entries.erase(name);
  parent.flags |= 1;
  return true;
}

bool StorageManager::DetachFolder(const std::string& name) { return DetachFolder(*current_, name); }

// ---------------------------------------------------------------------------------------
// Writing folder lists back

namespace tolvane {

bool StorageUpdate::WriteFolderList(const StorageFolder& folder, EntryValue reference) {
  std::vector<uint8_t> bytes;
  for (const auto& e : folder.entries) {
    if (!ValidName(e.first)) return false;
    size_t at = bytes.size();
    bytes.resize(at + 1 + e.first.size() + 4);
    bytes[at] = static_cast<uint8_t>(e.first.size());
    std::copy(e.first.begin(), e.first.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at + 1));
    StoreLe32(bytes.data() + at + 1 + e.first.size(), e.second);
  }
  if (bytes.size() > kMaxPayload) return false;
  const uint32_t number = reference & kEntryBlockMask;
  if (reference & kEntryFolderCompressed) {
    std::vector<uint8_t> stored;
    if (CompressForStorage(a_.compressor_, bytes.data(), static_cast<uint32_t>(bytes.size()), stored) < 0) return false;
    uint32_t length = static_cast<uint32_t>(stored.size() - 2);
    if (ResizeBlock(number, length, true) <= 0) return false;
    return a_.stream_->Write(stored.data() + 2, length);
  }
  uint32_t length = static_cast<uint32_t>(bytes.size());
  if (ResizeBlock(number, length, true) <= 0) return false;
  return a_.stream_->Write(bytes.data(), length);
}

void StorageUpdate::SetParentEntry(StorageFolder& folder, EntryValue value) {
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

bool StorageUpdate::SaveSubfolder(StorageFolder& folder) {
  if (!(folder.flags & 1)) return true;
  if (folder.entries.empty()) {
    if (folder.block >= 2) a_.DeleteBlock(folder.block);
    folder.block = 0;
    SetParentEntry(folder, kEntryFolder);
  } else {
    space_.EnsureReservedRecords();
    // A list block that is no longer a block of this folder (freed or lost through the
    // block operations, or damaged) is not written over: the list gets a new number.
    uint32_t block = folder.block;
    if (block >= a_.directory_.size() || block < 2 || a_.IsDamaged(block) ||
        (a_.directory_[block].type != BlockData && a_.directory_[block].type != BlockVacant))
      block = 0;
    int32_t number = block ? static_cast<int32_t>(block) : space_.NewRecordNumber();
    if (number < 1) return false;
    EntryValue reference =
        static_cast<EntryValue>(number) | (a_.options_ & OptionCompressFolders ? kEntryFolderCompressed : 0);
    if (!WriteFolderList(folder, reference)) return false;
    folder.block = static_cast<uint32_t>(number);
    SetParentEntry(folder, reference | kEntryFolder);
  }
  folder.flags &= ~1u;
  return true;
}

bool StorageUpdate::SaveRoot() {
  if (!(a_.root_.flags & 1)) return true;
  if (a_.root_.entries.empty()) {
    if (a_.directory_.size() > 1 && a_.directory_[1].offset != 0) {
      BlockRecord old = a_.directory_[1];
      const bool damaged = a_.IsDamaged(1);
      space_.SetRecord(1, BlockVacant, 0, 0);
      space_.SetRecord(0, BlockData, a_.directory_[0].offset, a_.directory_[0].size);
      if (old.type == BlockData && !damaged) space_.Release(old.offset, old.size, StorageManager::kNoRecord);
      if (damaged) a_.status_ |= StatusSpaceLost;
    }
  } else {
    space_.EnsureReservedRecords();
    // Record 1 holds the root list; a damaged archive may have given the number away.
    const BlockRecord& r1 = a_.directory_[1];
    if ((r1.type != BlockData && r1.type != BlockVacant) || a_.IsDamaged(1)) {
      if (r1.offset != 0) a_.status_ |= StatusSpaceLost;
      space_.SetRecord(1, BlockData, 0, 0);
    }
    EntryValue reference = 1 | (a_.options_ & OptionCompressFolders ? kEntryFolderCompressed : 0);
    if (!WriteFolderList(a_.root_, reference)) return false;
  }
  a_.root_.flags &= ~1u;
  return true;
}

}  // namespace tolvane
