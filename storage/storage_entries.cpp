// StorageManager: the reader's entry decoding. Folder lists are read into their name
// index, names are looked up, and blocks are inflated whole, into a caller's buffer, or in
// pieces into a sink (for entries too large to hold in memory).
#include <algorithm>
#include <exception>
#include <new>

#include "storage/inflate.h"
#include "storage/storage_format.h"
#include "storage/storage_manager.h"

using namespace tolvane::storage_format;

namespace {

// Content beyond this cannot be reported as a length.
constexpr uint64_t kMaxContent = 0x7FFFFFFFu;

}  // namespace

const EntryValue* StorageManager::FindEntry(StorageFolder& folder, const std::string& name) const {
  auto it = folder.entries.find(name);
  return it == folder.entries.end() ? nullptr : &it->second;
}

int32_t StorageManager::ReadBlock(uint32_t block, std::vector<uint8_t>& out, uint32_t maxSize) {
  out.clear();
  if (!stream_) return StorageNotOpen;
  std::vector<uint8_t> buffer;
  int32_t r = ReadStoredPayload(block, buffer);
  if (r <= 0) return r;
  tolvane::PieceInflater* inflater = Inflater();
  if (!inflater) return StorageNoMemory;
  // Compressed content is usually a few times its stored size. Nothing beyond maxSize is
  // inflated: what the caller would cut off is never made (nor is its checksum seen).
  uint64_t hint = std::min<uint64_t>(static_cast<uint64_t>(r) * 4, 0x4000000);
  if (maxSize) hint = std::min<uint64_t>(hint, maxSize);
  const uint64_t limit = maxSize ? maxSize : uint64_t{0x80000000u};
  const auto result = inflater->AppendTo(buffer.data(), static_cast<uint32_t>(r), true, out,
                                         static_cast<uint32_t>(hint), limit);
  if (result != tolvane::PieceInflater::Ended && result != tolvane::PieceInflater::Limited)
    return tolvane::InflateFailureCode(result);
  if (out.size() > 0x7FFFFFFFu) {
    out.clear();
    return StorageInflateFailed;
  }
  return static_cast<int32_t>(out.size());
}

int32_t StorageManager::ReadBlock(uint32_t block, void* buffer, uint32_t capacity) {
  std::vector<uint8_t> content;
  // A capacity of 0 still inflates a first byte, so that damage at the start is reported.
  int32_t r = ReadBlock(block, content, std::max<uint32_t>(capacity, 1));
  if (r <= 0) return r;
  uint32_t n = std::min(static_cast<uint32_t>(r), capacity);
  std::copy(content.begin(), content.begin() + n, static_cast<uint8_t*>(buffer));
  return static_cast<int32_t>(n);
}

int32_t StorageManager::GetEntryLength(StorageFolder& folder, const std::string& name) {
  if (!stream_) return StorageNotOpen;
  const EntryValue* v = FindEntry(folder, name);
  if (!v) return StorageNoEntry;
  return GetBlockLength(*v & kEntryBlockMask);
}

int32_t StorageManager::ReadEntryRaw(StorageFolder& folder, const std::string& name, void* buffer,
                                     uint32_t capacity) {
  if (!stream_) return StorageNotOpen;
  const EntryValue* v = FindEntry(folder, name);
  if (!v) return 0;
  return ReadBlockRaw(*v & kEntryBlockMask, buffer, capacity);
}

int32_t StorageManager::ReadEntryRaw(StorageFolder& folder, const std::string& name, std::vector<uint8_t>& out,
                                     uint32_t maxSize) {
  out.clear();
  if (!stream_) return StorageNotOpen;
  const EntryValue* v = FindEntry(folder, name);
  if (!v) return 0;
  return ReadBlockRaw(*v & kEntryBlockMask, out, maxSize);
}

int32_t StorageManager::ReadEntry(StorageFolder& folder, const std::string& name, std::vector<uint8_t>& out,
                                  uint32_t maxSize) {
  out.clear();
  if (!stream_) return StorageNotOpen;
  const EntryValue* v = FindEntry(folder, name);
  if (!v) return StorageNoEntry;
  return ReadBlock(*v & kEntryBlockMask, out, maxSize);
}

int32_t StorageManager::ReadEntry(StorageFolder& folder, const std::string& name, void* buffer, uint32_t capacity) {
  if (!stream_) return StorageNotOpen;
  const EntryValue* v = FindEntry(folder, name);
  if (!v) return StorageNoEntry;
  return ReadBlock(*v & kEntryBlockMask, buffer, capacity);
}

int32_t StorageManager::GetEntryLength(const std::string& name) { return GetEntryLength(*current_, name); }
int32_t StorageManager::ReadEntryRaw(const std::string& name, void* buffer, uint32_t capacity) {
  return ReadEntryRaw(*current_, name, buffer, capacity);
}
int32_t StorageManager::ReadEntryRaw(const std::string& name, std::vector<uint8_t>& out, uint32_t maxSize) {
  return ReadEntryRaw(*current_, name, out, maxSize);
}
int32_t StorageManager::ReadEntry(const std::string& name, void* buffer, uint32_t capacity) {
  return ReadEntry(*current_, name, buffer, capacity);
}
int32_t StorageManager::ReadEntry(const std::string& name, std::vector<uint8_t>& out, uint32_t maxSize) {
  return ReadEntry(*current_, name, out, maxSize);
}

// Loads a folder's entries from its list block.
bool StorageManager::LoadFolderList(uint32_t block, bool compressed, StorageFolder& folder) {
  folder.entries.clear();
  folder.subfolders.clear();
  // Block 0 is an empty folder even before the archive has a directory.
  if (block == 0) return true;
  if (block >= directory_.size()) return false;
  const BlockRecord& r = directory_[block];
  if (r.offset == 0) return true;
  // A list over another region is still read (check and dump need the names), but never
  // written in place: saving gives it a region of its own.
  if (!InBounds(r.offset, r.size)) return false;
  uint8_t prefix[4];
  if (!ReadAt(r.offset, prefix, 4)) return false;
  uint32_t storedLength = LoadLe32(prefix);
  if (storedLength >= r.size) return false;  // it would run into what follows

  // Checked before anything is allocated for it.
  if (static_cast<uint64_t>(r.offset) + 4 + storedLength > stream_->GetSize()) return false;
  std::vector<uint8_t> bytes;
  if (compressed) {
    std::vector<uint8_t> stored(storedLength);
    if (!ReadAt(r.offset + 4, stored.data(), storedLength)) return false;
    if (!InflateWhole(stored, bytes, MaxFolderListBytes(end_) + 1) || bytes.size() > MaxFolderListBytes(end_))
      return false;
  } else {
    bytes.resize(storedLength);
    if (!ReadAt(r.offset + 4, bytes.data(), storedLength)) return false;
  }
  // FolderEntry records fill the list exactly; a later record of a name replaces an
  // earlier one. A first walk counts them, so that the index is sized once.
  size_t count = 0, nameBytes = 0;
  for (size_t pos = 0; pos < bytes.size(); pos += 1 + size_t{bytes[pos]} + 4) {
    ++count;
    nameBytes += bytes[pos];
  }
  folder.entries.reserve(count, nameBytes);
  size_t pos = 0;
  while (pos < bytes.size()) {
    uint32_t n = bytes[pos];
    if (n == 0 || pos + 1 + n + 4 > bytes.size()) return false;
    std::string_view name(reinterpret_cast<const char*>(bytes.data() + pos + 1), n);
    folder.entries.insert_or_assign(name, LoadLe32(bytes.data() + pos + 1 + n));
    pos += 1 + n + 4;
  }
  for (const auto& e : folder.entries) {
    if (e.second & kEntryFolder) folder.subfolders.emplace(e.first, nullptr);
  }
  return true;
}

int32_t StorageManager::ReadBlockTo(uint32_t block, EntrySink& sink) {
  if (!stream_) return StorageNotOpen;
  uint32_t payload, length;
  int32_t r = LocateBlock(block, payload, length);
  if (r <= 0) return r;
  tolvane::PieceInflater* inflater = Inflater();
  if (!inflater) return StorageNoMemory;
  uint32_t at = payload;
  uint64_t produced = 0;
  tolvane::PieceInflater::Result result;
  try {
    result = inflater->InflateStored(
        length,
        [this, &at](uint8_t* buffer, uint32_t n) {
          if (!ReadAt(at, buffer, n)) return false;
          at += n;
          return true;
        },
        [&sink](const uint8_t* data, size_t n) { return sink.Take(data, n); }, kMaxContent, produced);
  } catch (const std::exception&) {
    return StorageNoMemory;  // only the callbacks' wrappers can throw
  }
  return result == tolvane::PieceInflater::Ended ? static_cast<int32_t>(produced)
                                                 : tolvane::InflateFailureCode(result);
}

int32_t StorageManager::ReadEntryTo(StorageFolder& folder, const std::string& name, EntrySink& sink) {
  if (!stream_) return StorageNotOpen;
  const EntryValue* v = FindEntry(folder, name);
  if (!v) return StorageNoEntry;
  return ReadBlockTo(*v & kEntryBlockMask, sink);
}

int32_t StorageManager::ReadEntryTo(const std::string& name, EntrySink& sink) {
  return ReadEntryTo(*current_, name, sink);
}
