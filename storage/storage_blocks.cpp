// The block layer's reading half (storage_blocks.h): the directory's damaged regions and
// reading a block's stored bytes; and StorageManager's construction, read-only opens,
// closing, and loading of the header and the directory.
#include "storage/storage_manager.h"

#include <algorithm>
#include <exception>
#include <new>

#include "storage/archive_update.h"
#include "storage/inflate.h"
#include "storage/region_sort.h"
#include "storage/storage_format.h"

using namespace tolvane::storage_format;

namespace {

// Lends the archive a stream that stays the caller's.
class BorrowedStream final : public StorageManagerStream {
 public:
  explicit BorrowedStream(StorageManagerStream& stream) : stream_(stream) {}
  bool Read(void* buffer, uint32_t length) override { return stream_.Read(buffer, length); }
  bool Write(const void*, uint32_t) override { return false; }
  bool Seek(uint32_t position) override { return stream_.Seek(position); }
  uint32_t Tell() override { return stream_.Tell(); }
  uint32_t GetSize() override { return stream_.GetSize(); }
  bool SetSize(uint32_t, bool) override { return false; }
  void Close() override {}  // the owner closes it
  bool ReadPieces(const Piece* pieces, size_t count) override { return stream_.ReadPieces(pieces, count); }

 private:
  StorageManagerStream& stream_;
};

}  // namespace

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
  h.signature = LoadLe16(image);
  h.version = LoadLe16(image + 2);
  h.directoryOffset = LoadLe32(image + kDirectoryOffsetField);
  h.headerFlags = LoadLe32(image + kHeaderFlagsField);
  return h;
}

StorageManager::StorageManager(uint16_t signature, uint16_t version)
    : StorageBlocks(signature, version), current_(&root_) {
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

bool StorageManager::OpenForReading(std::unique_ptr<StorageManagerStream> stream, int openResult) {
  Close();
  // A read-only open never makes a fresh archive: that would write a header.
  if (!stream || openResult != OpenedExisting) return false;
  status_ = 0;
  options_ = requestedOptions_;
  return Attach(std::move(stream), openResult);
}

bool StorageManager::OpenForReading(StorageManagerStream& stream) {
  Close();
  std::unique_ptr<StorageManagerStream> borrowed(new (std::nothrow) BorrowedStream(stream));
  return borrowed && OpenForReading(std::move(borrowed), OpenedExisting);
}

bool StorageManager::Attach(std::unique_ptr<StorageManagerStream> stream, int openResult) {
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
  writer_ = nullptr;
  update_.reset();  // before the stream it may point at
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

  if (h.directoryOffset == 0) return true;
  uint8_t prefix[4];
  if (!ReadAt(h.directoryOffset, prefix, 4)) return false;
  uint32_t storedLength = LoadLe32(prefix);
  if (storedLength == 0) return true;

  if (static_cast<uint64_t>(h.directoryOffset) + 4 + storedLength > size) return false;
  std::vector<uint8_t> records;
  if (h.headerFlags & 1) {
    std::vector<uint8_t> stored(storedLength);
    if (!ReadAt(h.directoryOffset + 4, stored.data(), storedLength)) return false;
    // No more records than an archive of this size can describe (one more tells).
    const uint64_t most = MaxDirectoryRecords(end_);
    if (!InflateWhole(stored, records, (most + 1) * kRecordSize) || records.size() / kRecordSize > most) return false;
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
    r.offset = LoadLe32(p + 2);
    r.size = LoadLe32(p + 6);
  }
  FindDamagedRegions();

  if (directory_.size() >= 2 && directory_[1].offset != 0) {
    if (!LoadFolderList(1, (h.headerFlags & 2) != 0, root_)) return false;
  }
  return true;
}

bool StorageManager::CreateArchive() {
  Reset();
  end_ = kHeaderSize;
  std::fill(std::begin(header_), std::end(header_), 0);
  StoreLe16(header_, signature_);
  StoreLe16(header_ + 2, version_);
  std::copy(std::begin(description_), std::end(description_), header_ + kDescriptionOffset);
  uint32_t flags = (options_ & OptionCompressDirectory ? 1 : 0) | (options_ & OptionCompressFolders ? 2 : 0) |
                   (options_ & OptionCompressChunkIndex ? 4 : 0);
  StoreLe32(header_ + kHeaderFlagsField, flags);
  if (!stream_->Seek(0) || !stream_->Write(header_, kHeaderSize)) return false;
  stream_->Flush();
  return true;
}

bool StorageManager::Close() {
  if (!stream_) return true;
  // Opened only for reading there is nothing to write back, nor an update to finish.
  const bool ok = update_ ? update_->Finish(true) : true;
  Release();
  return ok;
}

void StorageManager::Discard() {
  if (update_) update_->Finish(false);
  Release();
}

void StorageManager::Reset() {
  directory_.clear();
  damaged_.clear();
  root_.entries.clear();
  root_.subfolders.clear();
  root_.flags = 0;
  openFolders_.clear();
  current_ = &root_;
}

// ---------------------------------------------------------------------------------------
// Reading blocks

bool StorageBlocks::ReadAt(uint32_t offset, void* buffer, uint32_t length) {
  // Never hand out bytes that are not in the stream, whatever the stream does with a
  // read that runs past its end.
  if (static_cast<uint64_t>(offset) + length > stream_->GetSize()) return false;
  if (!stream_->Seek(offset)) return false;
  return length == 0 || stream_->Read(buffer, length);
}

bool StorageBlocks::ReadBytes(uint32_t offset, void* buffer, uint32_t length) {
  return stream_ && ReadAt(offset, buffer, length);
}

bool StorageBlocks::ReadBytePieces(uint32_t offset, const StorageManagerStream::Piece* pieces, size_t count) {
  if (!stream_) return false;
  uint64_t last = offset;
  for (size_t k = 0; k < count; ++k) last += pieces[k].length;
  return last <= stream_->GetSize() && stream_->Seek(offset) && stream_->ReadPieces(pieces, count);
}

bool StorageBlocks::RegionIsOwn(uint32_t block) const {
  if (block >= directory_.size()) return false;
  const BlockRecord& r = directory_[block];
  return InBounds(r.offset, r.size) && !IsDamaged(block);
}

int32_t StorageBlocks::LocateBlock(uint32_t block, uint32_t& payload, uint32_t& storedLength) {
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
  uint32_t length = LoadLe32(prefix);
  if (length >= r.size || length > kMaxPayload) return StorageBadBlock;
  if (static_cast<uint64_t>(r.offset) + 4 + length > stream_->GetSize()) return StorageReadFailed;
  payload = r.offset + 4;
  storedLength = length;
  return static_cast<int32_t>(length);
}

int32_t StorageBlocks::GetBlockLength(uint32_t block) {
  if (!stream_) return StorageNotOpen;
  uint32_t payload, length;
  return LocateBlock(block, payload, length);
}

int32_t StorageBlocks::ReadBlockRaw(uint32_t block, void* buffer, uint32_t capacity) {
  if (!stream_) return StorageNotOpen;
  uint32_t payload, length;
  int32_t r = LocateBlock(block, payload, length);
  if (r <= 0) return r;
  uint32_t n = std::min(length, capacity);
  if (!ReadAt(payload, buffer, n)) return StorageReadFailed;
  return static_cast<int32_t>(n);
}

int32_t StorageBlocks::ReadBlockRaw(uint32_t block, std::vector<uint8_t>& out, uint32_t maxSize) {
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

// Where length bytes from offset into block's payload lie, cut at the payload's end: at and
// n, with a positive result; 0 when nothing is there, or a negative code.
int32_t StorageBlocks::LocatePart(uint32_t block, uint32_t offset, uint32_t length, uint32_t& at, uint32_t& n) {
  uint32_t payload, stored;
  int32_t r = LocateBlock(block, payload, stored);
  if (r <= 0) return r;
  if (offset >= stored) return 0;
  at = payload + offset;
  n = std::min(length, stored - offset);
  return 1;
}

int32_t StorageBlocks::ReadBlockPart(uint32_t block, void* buffer, uint32_t length, uint32_t offset) {
  if (!stream_) return StorageNotOpen;
  uint32_t at, n;
  int32_t r = LocatePart(block, offset, length, at, n);
  if (r <= 0) return r;
  if (!ReadAt(at, buffer, n)) return StorageReadFailed;
  return static_cast<int32_t>(n);
}

// The stored payload of block: its length, 0 for an empty block, or a negative code.
int32_t StorageBlocks::ReadStoredPayload(uint32_t block, std::vector<uint8_t>& buffer) {
  uint32_t payload, length;
  int32_t r = LocateBlock(block, payload, length);
  if (r <= 0) return r;
  try {
    buffer.resize(length);
  } catch (const std::exception&) {
    return StorageNoMemory;
  }
  if (!ReadAt(payload, buffer.data(), length)) return StorageReadFailed;
  return r;
}

tolvane::PieceInflater* StorageManager::Inflater() {
  if (!pieceInflater_) pieceInflater_.reset(new (std::nothrow) tolvane::PieceInflater);
  return pieceInflater_.get();
}

// A stored payload (the directory, a folder list) inflated whole into out, at most limit
// bytes: false when it is damaged, or longer (the caller then sees limit bytes).
bool StorageManager::InflateWhole(const std::vector<uint8_t>& stored, std::vector<uint8_t>& out, uint64_t limit) {
  tolvane::PieceInflater* inflater = Inflater();
  if (!inflater) return false;
  const auto r = inflater->AppendTo(stored.data(), static_cast<uint32_t>(stored.size()), true, out, 0, limit);
  return r == tolvane::PieceInflater::Ended || r == tolvane::PieceInflater::Limited;
}


// Regions that lie over the header, past the end, are empty, or overlap another region
// are not their blocks' alone: reading one could show another block's bytes, writing one
// could overwrite them (or the header), and giving one back to the allocator would hand
// out space in use. Their blocks are refused and their space is never released.
void StorageBlocks::FindDamagedRegions() {
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

bool StorageBlocks::IsDamaged(uint32_t number) const {
  return !damaged_.empty() && std::binary_search(damaged_.begin(), damaged_.end(), number);
}

int32_t StorageBlocks::CheckIntegrity(uint32_t* firstBad) const {
  if (firstBad) *firstBad = kNoRecord;
  if (!stream_) return StorageNotOpen;
  std::vector<tolvane::Region> regions;
  for (uint32_t i = 0; i < directory_.size(); ++i) {
    const BlockRecord& r = directory_[i];
    if ((r.type == BlockData && r.offset != 0) || r.type == BlockFree) regions.push_back({r.offset, i, r.size});
  }
  tolvane::SortByOffset(regions);
  uint64_t position = kHeaderSize;
  for (const tolvane::Region& r : regions) {
    if (r.offset != position) {
      if (firstBad) *firstBad = r.number;
      return StorageIntegrityFailed;
    }
    position = static_cast<uint64_t>(r.offset) + r.size;
  }
  if (position != end_) {
    if (firstBad && !regions.empty()) *firstBad = regions.back().number;
    return StorageIntegrityFailed;
  }
  return 0;
}
