// StorageManager: read-only opens over any stream, and reads that hand an entry's content
// on in pieces (for entries too large to hold in memory).
#include <exception>
#include <new>

#include "storage/storage_format.h"
#include "storage/storage_manager.h"
#include "storage/zlib_codec.h"

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

// Content beyond this cannot be reported as a length.
constexpr uint64_t kMaxContent = 0x7FFFFFFFu;

}  // namespace

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

int32_t StorageManager::ReadBlockTo(uint32_t block, EntrySink& sink) {
  if (!stream_) return StorageNotOpen;
  uint32_t payload, length;
  int32_t r = LocateBlock(block, payload, length);
  if (r <= 0) return r;
  if (!pieceInflater_) {
    pieceInflater_.reset(new (std::nothrow) tolvane::PieceInflater);
    if (!pieceInflater_) return StorageNoMemory;
  }
  uint32_t at = payload;
  uint64_t produced = 0;
  tolvane::PieceInflater::Result result;
  try {
    result = pieceInflater_->InflateStored(
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
  switch (result) {
    case tolvane::PieceInflater::Ended: return static_cast<int32_t>(produced);
    case tolvane::PieceInflater::ReadFailed: return StorageReadFailed;
    case tolvane::PieceInflater::Refused: return StorageWriteFailed;
    case tolvane::PieceInflater::NoMemory: return StorageNoMemory;
    default: return StorageInflateFailed;
  }
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
