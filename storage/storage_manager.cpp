// StorageManager: construction, opening, closing and every read.
#include "storage/storage_manager.h"

#include <algorithm>
#include <exception>

#include "storage/chunk_workspace.h"
#include "storage/region_sort.h"
#include "storage/storage_format.h"
#include "storage/zlib_codec.h"

using namespace tolvane::storage_format;

const char* StorageErrorText(int32_t code) {
  switch (code) {
    case StorageWriteFailed: return "a write to the archive failed";
    case StorageReadFailed: return "a read from the archive failed";
    case StorageDirectoryFailed: return "the directory could not be started, or a region is not a multiple of 16";
    case StorageBadBlock: return "block number out of range, wrong record type, or bad stored length";
    case StorageNoSpace: return "no space: the archive could not be extended";
    case StorageNoMemory: return "out of memory or out of record numbers";
    case StorageBlockLost: return "an unreadable block was marked lost";
    case StorageNoRegionAtOffset: return "no region starts at that offset";
    case StorageOffsetBeyondEnd: return "the offset is at or beyond the end of the archive";
    case StorageNoEntry: return "no entry of that name";
    case StorageNotOpen: return "the archive is not open";
    case StorageIntegrityFailed: return "integrity check failed: a gap, an overlap or a wrong end";
    case StorageCompressFailed: return "compression failed";
    case StorageInflateFailed: return "inflating failed: the data is damaged";
    case StorageChunkIndexNotSaved: return "the repaired chunk index could not be saved";
    case StorageNoChunkedStream: return "no chunked stream at that block";
    case StorageChunkOffsetOutside: return "offset outside the chunked stream";
    default: return code < 0 ? "unknown error" : "success";
  }
}

StorageHeader StorageHeader::Parse(const uint8_t* image) {
  StorageHeader h;
  h.signature = Get16(image);
  h.version = Get16(image + 2);
  h.directoryOffset = Get32(image + kDirectoryOffsetField);
  h.headerFlags = Get32(image + kHeaderFlagsField);
  return h;
}

StorageManager::StorageManager(uint16_t signature, uint16_t version)
    : signature_(signature), version_(version), current_(&root_) {
  root_.block = 1;
}

StorageManager::~StorageManager() { Close(); }

// ---------------------------------------------------------------------------------------
// Opening and closing

bool StorageManager::OpenForReading(std::vector<uint8_t>& bytes) {
  Close();
  try {
    status_ = 0;
    options_ = requestedOptions_;
    auto stream = std::make_unique<StorageManagerMemoryStream>();
    int result = stream->Open(bytes, OpenRead);
    return Attach(std::move(stream), result);
  } catch (const std::exception&) {
    Release();
    return false;
  }
}

bool StorageManager::Attach(std::unique_ptr<StorageManagerStream> stream, int openResult) {
  atomic_ = nullptr;
  finish_ = nullptr;
  if (openResult != OpenedExisting && openResult != CreatedNew) return false;
  stream_ = std::move(stream);
  bool ok = false;
  try {
    ok = openResult == OpenedExisting ? LoadArchive() : CreateArchive();
  } catch (const std::exception&) {
    ok = false;
  }
  if (!ok) Release();
  return ok;
}

// Drops the stream without writing back (an update of a file is rolled back by its stream).
void StorageManager::Release() {
  atomic_ = nullptr;
  finish_ = nullptr;
  stream_.reset();
  Reset();
}

bool StorageManager::LoadArchive() {
  Reset();
  uint32_t size = stream_->GetSize();
  // A memory stream reports short reads as success: without this the header check would
  // look at bytes that are not there.
  if (size < kHeaderSize || size == 0xFFFFFFFFu) return false;
  if (!ReadAt(0, header_, kHeaderSize)) return false;
  StorageHeader h = StorageHeader::Parse(header_);
  if (h.signature != signature_ || h.version != version_) return false;

  if (size % 16) {
    end_ = (size + 15) & ~15u;
    status_ |= StatusSpaceLost;
  } else {
    end_ = size;
  }
  options_ = (options_ & OptionSetSizeFlag) | (h.headerFlags & 1 ? uint32_t{OptionCompressDirectory} : 0u) |
             (h.headerFlags & 2 ? uint32_t{OptionCompressFolders} : 0u) |
             (h.headerFlags & 4 ? uint32_t{OptionCompressChunkIndex} : 0u);

  // Without a directory the archive tiles when nothing follows the header.
  tiled_ = end_ == kHeaderSize;
  tilingKnown_ = true;
  if (h.directoryOffset == 0) return true;
  uint8_t prefix[4];
  if (!ReadAt(h.directoryOffset, prefix, 4)) return false;
  uint32_t storedLength = Get32(prefix);
  if (storedLength == 0) return true;

  if (static_cast<uint64_t>(h.directoryOffset) + 4 + storedLength > size) return false;
  std::vector<uint8_t> records;
  if (h.headerFlags & 1) {
    std::vector<uint8_t> buffer(static_cast<size_t>(storedLength) + 2);
    buffer[0] = kZlibHeader0;
    buffer[1] = kZlibHeader1;
    if (!ReadAt(h.directoryOffset + 4, buffer.data() + 2, storedLength)) return false;
    // No more records than an archive of this size can describe (one more tells).
    const uint64_t most = MaxDirectoryRecords(end_);
    bool limited;
    if (!tolvane::InflateZlibAtMost(buffer.data(), static_cast<uint32_t>(buffer.size()), records, 0,
                                    (most + 1) * kRecordSize, limited) ||
        records.size() / kRecordSize > most)
      return false;
  } else {
    if (storedLength >= kPlainDirectoryLimit || storedLength % kRecordSize) return false;
    records.resize(storedLength);
    if (!ReadAt(h.directoryOffset + 4, records.data(), storedLength)) return false;
  }
  size_t count = records.size() / kRecordSize;
  directory_.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = records.data() + i * kRecordSize;
    BlockRecord& r = directory_[i];
    r.type = p[0];
    r.reserved = 0;
    r.offset = Get32(p + 2);
    r.size = Get32(p + 6);
  }
  FindDamagedRegions();
  RebuildIndexes();

  if (directory_.size() >= 2 && directory_[1].offset != 0) {
    if (!LoadFolderList(1, (h.headerFlags & 2) != 0, root_)) return false;
  }
  return true;
}

bool StorageManager::CreateArchive() {
  Reset();
  end_ = kHeaderSize;
  tiled_ = true;
  tilingKnown_ = true;
  std::fill(std::begin(header_), std::end(header_), 0);
  Put16(header_, signature_);
  Put16(header_ + 2, version_);
  std::copy(std::begin(description_), std::end(description_), header_ + kDescriptionOffset);
  uint32_t flags = (options_ & OptionCompressDirectory ? 1 : 0) | (options_ & OptionCompressFolders ? 2 : 0) |
                   (options_ & OptionCompressChunkIndex ? 4 : 0);
  Put32(header_ + kHeaderFlagsField, flags);
  if (!stream_->Seek(0) || !stream_->Write(header_, kHeaderSize)) return false;
  stream_->Flush();
  return true;
}

bool StorageManager::Close() {
  if (!stream_) return true;
  // Opened only for reading there is nothing to write back, nor an update to finish.
  const bool ok = finish_ ? (this->*finish_)(true) : true;
  Release();
  return ok;
}

void StorageManager::Discard() {
  if (finish_) (this->*finish_)(false);
  Release();
}

void StorageManager::Reset() {
  directory_.clear();
  vacant_.Clear(true);
  free_.Clear();
  damaged_.clear();
  root_.entries.clear();
  root_.subfolders.clear();
  root_.flags = 0;
  openFolders_.clear();
  chunkCache_.clear();
  chunkOwners_.clear();
  if (chunkWork_) chunkWork_->Clear();
  current_ = &root_;
  tiled_ = false;
  tilingKnown_ = true;
}

// ---------------------------------------------------------------------------------------
// Reading

bool StorageManager::ReadAt(uint32_t offset, void* buffer, uint32_t length) {
  // Never hand out bytes that are not in the stream, whatever the stream does with a
  // read that runs past its end.
  if (static_cast<uint64_t>(offset) + length > stream_->GetSize()) return false;
  if (!stream_->Seek(offset)) return false;
  return length == 0 || stream_->Read(buffer, length);
}

int32_t StorageManager::LocateBlock(uint32_t block, uint32_t& payload, uint32_t& storedLength) {
  payload = 0;
  storedLength = 0;
  if (block == 0) return 0;
  if (block >= directory_.size()) return StorageBadBlock;
  const BlockRecord& r = directory_[block];
  if (r.type != BlockData) return StorageBadBlock;
  if (r.offset == 0) return 0;  // a block without space holds nothing yet
  if (!InBounds(r.offset, r.size) || IsDamaged(block)) return StorageBadBlock;
  uint8_t prefix[4];
  if (!ReadAt(r.offset, prefix, 4)) return StorageReadFailed;
  uint32_t length = Get32(prefix);
  if (length >= r.size || length > kMaxPayload) return StorageBadBlock;
  if (static_cast<uint64_t>(r.offset) + 4 + length > stream_->GetSize()) return StorageReadFailed;
  payload = r.offset + 4;
  storedLength = length;
  return static_cast<int32_t>(length);
}

const EntryValue* StorageManager::FindEntry(StorageFolder& folder, const std::string& name) const {
  auto it = folder.entries.find(name);
  return it == folder.entries.end() ? nullptr : &it->second;
}

int32_t StorageManager::GetBlockLength(uint32_t block) {
  if (!stream_) return StorageNotOpen;
  uint32_t payload, length;
  return LocateBlock(block, payload, length);
}

int32_t StorageManager::ReadBlockRaw(uint32_t block, void* buffer, uint32_t capacity) {
  if (!stream_) return StorageNotOpen;
  uint32_t payload, length;
  int32_t r = LocateBlock(block, payload, length);
  if (r <= 0) return r;
  uint32_t n = std::min(length, capacity);
  if (!ReadAt(payload, buffer, n)) return StorageReadFailed;
  return static_cast<int32_t>(n);
}

int32_t StorageManager::ReadBlockRaw(uint32_t block, std::vector<uint8_t>& out, uint32_t maxSize) {
  out.clear();
  if (!stream_) return StorageNotOpen;
  uint32_t payload, length;
  int32_t r = LocateBlock(block, payload, length);
  if (r <= 0) return r;
  uint32_t n = maxSize ? std::min(length, maxSize) : length;
  try {
    out.resize(n);
  } catch (const std::exception&) {
    return StorageNoMemory;
  }
  if (!ReadAt(payload, out.data(), n)) {
    out.clear();
    return StorageReadFailed;
  }
  return static_cast<int32_t>(n);
}

int32_t StorageManager::ReadBlockPart(uint32_t block, void* buffer, uint32_t length, uint32_t offset) {
  if (!stream_) return StorageNotOpen;
  uint32_t payload, stored;
  int32_t r = LocateBlock(block, payload, stored);
  if (r <= 0) return r;
  if (offset >= stored) return 0;
  uint32_t n = std::min(length, stored - offset);
  if (!ReadAt(payload + offset, buffer, n)) return StorageReadFailed;
  return static_cast<int32_t>(n);
}

// The stored payload of block with the zlib header put back in front; its length, 0 for
// an empty block, or a negative code.
int32_t StorageManager::ReadStoredPayload(uint32_t block, std::vector<uint8_t>& buffer) {
  uint32_t payload, length;
  int32_t r = LocateBlock(block, payload, length);
  if (r <= 0) return r;
  try {
    buffer.resize(static_cast<size_t>(length) + 2);
  } catch (const std::exception&) {
    return StorageNoMemory;
  }
  buffer[0] = kZlibHeader0;
  buffer[1] = kZlibHeader1;
  if (!ReadAt(payload, buffer.data() + 2, length)) return StorageReadFailed;
  return r;
}

int32_t StorageManager::ReadBlock(uint32_t block, std::vector<uint8_t>& out, uint32_t maxSize) {
  out.clear();
  if (!stream_) return StorageNotOpen;
  std::vector<uint8_t> buffer;
  int32_t r = ReadStoredPayload(block, buffer);
  if (r <= 0) return r;
  // Compressed content is usually a few times its stored size. Nothing beyond maxSize is
  // inflated: what the caller would cut off is never made (nor is its checksum seen).
  uint64_t hint = std::min<uint64_t>(static_cast<uint64_t>(r) * 4, 0x4000000);
  if (maxSize) hint = std::min<uint64_t>(hint, maxSize);
  const uint64_t limit = maxSize ? maxSize : uint64_t{0x80000000u};
  bool limited;
  if (!tolvane::InflateZlibAtMost(buffer.data(), static_cast<uint32_t>(buffer.size()), out,
                                  static_cast<uint32_t>(hint), limit, limited))
    return StorageInflateFailed;
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
  uint32_t storedLength = Get32(prefix);
  if (storedLength >= r.size) return false;  // it would run into what follows

  // Checked before anything is allocated for it.
  if (static_cast<uint64_t>(r.offset) + 4 + storedLength > stream_->GetSize()) return false;
  std::vector<uint8_t> bytes;
  if (compressed) {
    std::vector<uint8_t> buffer(static_cast<size_t>(storedLength) + 2);
    buffer[0] = kZlibHeader0;
    buffer[1] = kZlibHeader1;
    if (!ReadAt(r.offset + 4, buffer.data() + 2, storedLength)) return false;
    bool limited;
    if (!tolvane::InflateZlibAtMost(buffer.data(), static_cast<uint32_t>(buffer.size()), bytes, 0,
                                    MaxFolderListBytes(end_) + 1, limited) ||
        bytes.size() > MaxFolderListBytes(end_))
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
    folder.entries.insert_or_assign(name, Get32(bytes.data() + pos + 1 + n));
    pos += 1 + n + 4;
  }
  for (const auto& e : folder.entries) {
    if (e.second & kEntryFolder) folder.subfolders.emplace(e.first, nullptr);
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// Damaged regions

// Regions that lie over the header, past the end, are empty, or overlap another region
// are not their blocks' alone: reading one could show another block's bytes, writing one
// could overwrite them (or the header), and giving one back to the allocator would hand
// out space in use. Their blocks are refused and their space is never released.
void StorageManager::FindDamagedRegions() {
  damaged_.clear();
  std::vector<tolvane::Region> regions;
  for (uint32_t i = 0; i < directory_.size(); ++i) {
    const BlockRecord& r = directory_[i];
    if (r.type == BlockFree || (r.type == BlockData && r.offset != 0)) regions.push_back({r.offset, i, r.size});
  }
  // Pushed in number order, so equal offsets stay in number order.
  tolvane::SortByOffset(regions);
  // In offset order a region overlaps an earlier one exactly when it starts before the
  // farthest end reached so far, and then it overlaps the region that reached it.
  uint64_t reach = 0;
  uint32_t reacher = 0;
  for (const tolvane::Region& g : regions) {
    const uint64_t last = static_cast<uint64_t>(g.offset) + g.size;
    bool bad = !InBounds(g.offset, g.size);
    if (g.size && g.offset < reach) {
      bad = true;
      damaged_.push_back(reacher);
    }
    if (bad) damaged_.push_back(g.number);
    if (last > reach) {
      reach = last;
      reacher = g.number;
    }
  }
  std::sort(damaged_.begin(), damaged_.end());
  damaged_.erase(std::unique(damaged_.begin(), damaged_.end()), damaged_.end());
}

bool StorageManager::IsDamaged(uint32_t number) const {
  return !damaged_.empty() && std::binary_search(damaged_.begin(), damaged_.end(), number);
}
