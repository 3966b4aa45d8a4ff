// StorageManager: the archive object. It owns one stream, loads the header, the block
// directory and the root folder list, answers reads by name and by block number, updates
// the archive in place (allocating regions best-fit from the free space) and writes the
// folder lists, the directory and the header back when it is closed.
//
// Results are signed 32-bit: zero or positive on success, a negative StorageError on
// failure. No exception leaves this class. Names are byte strings (the package's names are
// in the ANSI code page of the installing system), compared byte by byte.
//
// Name-based operations without a folder argument act on the root folder; the overloads
// taking a StorageFolder act on that folder, which must be the root or a folder this
// object handed out and that is still open.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "storage/atomic_file_stream.h"
#include "storage/free_space_index.h"
#include "storage/name_index.h"
#include "storage/number_set.h"
#include "storage/storage_stream.h"
#include "storage/zlib_codec.h"

#ifdef _WIN32
struct IStream;
#endif

namespace tolvane {
class ChunkWorkspace;
}

// Package archives are made and read with these.
constexpr uint16_t kPackageSignature = 0x5256;
constexpr uint16_t kPackageVersion = 0x0600;

enum StorageError : int32_t {
  StorageWriteFailed = -3,           // a write to the stream failed
  StorageReadFailed = -4,            // a read from the stream failed
  StorageDirectoryFailed = -6,       // directory not started; in a copy, a region not a multiple of 16
  StorageBadBlock = -7,              // block out of range, wrong record type, or bad storedLength
  StorageNoSpace = -9,               // extending the archive failed
  StorageNoMemory = -10,             // no record number or buffer could be obtained
  StorageBlockLost = -11,            // a copy tolerated an unreadable block and marked it lost
  StorageNoRegionAtOffset = -13,     // no region starts at the given offset
  StorageOffsetBeyondEnd = -14,      // the offset is at or beyond the end of the archive
  StorageNoEntry = -15,              // no entry of that name
  StorageNotOpen = -19,              // the archive is not open
  StorageIntegrityFailed = -20,      // a gap, an overlap or a wrong end
  StorageCompressFailed = -22,       // compression failed or gave an unexpected zlib header
  StorageInflateFailed = -23,        // inflating failed
  StorageChunkIndexNotSaved = -25,   // a repaired chunk index could not be saved
  StorageNoChunkedStream = -26,      // no chunked stream at that block
  StorageChunkOffsetOutside = -27,   // offset outside the chunked stream
};

// Short English meaning of a result code, for tools and logs.
const char* StorageErrorText(int32_t code);

enum BlockType : uint8_t { BlockVacant = 0, BlockData = 1, BlockFree = 2, BlockLost = 3 };

struct BlockRecord {
  uint8_t type = BlockVacant;
  uint8_t reserved = 0;
  uint32_t offset = 0;
  uint32_t size = 0;
};

// The fields of the 128-byte header that carry meaning.
struct StorageHeader {
  uint16_t signature = 0;
  uint16_t version = 0;
  uint32_t directoryOffset = 0;
  uint32_t headerFlags = 0;
  static StorageHeader Parse(const uint8_t* image);
};

// Bits of a folder entry's value.
using EntryValue = uint32_t;
constexpr EntryValue kEntryBlockMask = 0x3FFFFFFFu;
constexpr EntryValue kEntryFolderCompressed = 0x40000000u;
constexpr EntryValue kEntryFolder = 0x80000000u;

enum StorageOptions : uint32_t {
  OptionCompressDirectory = 1,   // header flag bit 0
  OptionCompressFolders = 2,     // header flag bit 1
  OptionSetSizeFlag = 4,         // handed to SetSize; not stored
  OptionCompressChunkIndex = 8,  // header flag bit 2
};

enum StorageStatus : uint32_t {
  StatusDirectoryChanged = 1,
  StatusHeaderChanged = 2,
  StatusSpaceLost = 4,  // a region could not be accounted for; a copy recovers it
  StatusDataChanged = 8,
};

struct StorageFolder {
  tolvane::NameIndex<EntryValue> entries;     // walked in unsigned byte order of the names
  StorageFolder* parent = nullptr;            // null for the root and for detached folders
  uint32_t block = 0;                         // block of the folder's list, 0 when none
  tolvane::NameIndex<StorageFolder*> subfolders;  // null until that subfolder is opened
  uint32_t flags = 0;                         // bit 0: entries changed, list must be written
  uint16_t openCount = 0;
};

// The two kinds of chunked stream, told apart by the tag at the start of the index.
enum ChunkKind : uint16_t {
  ChunkKindPlain = 0x5256,       // every chunk a block of exactly chunkSize bytes, as they are
  ChunkKindCompressed = 0x5243,  // every chunk a compressed block; block 0 is a chunk of zeros
};

// A chunked stream's index as it is cached. Index payload: u16 tag, u16 chunkSize,
// u32 totalLength, then a u32 block number per chunk (compressed when the archive's
// OptionCompressChunkIndex is set).
struct ChunkedStream {
  uint16_t tag = 0;
  uint16_t chunkSize = 0;
  uint32_t totalLength = 0;
  std::vector<uint32_t> chunks;
  uint32_t indexBlock = 0;
  uint32_t lastAccess = 0;
};

// Receives an entry's inflated content in pieces, in order (ReadEntryTo). Take returns
// false to stop the read.
class EntrySink {
 public:
  virtual bool Take(const uint8_t* data, size_t length) = 0;

 protected:
  ~EntrySink() = default;
};

class StorageManager {
 public:
  static constexpr uint32_t kNoRecord = 0xFFFFFFFFu;

  StorageManager(uint16_t signature, uint16_t version);
  ~StorageManager();
  StorageManager(const StorageManager&) = delete;
  StorageManager& operator=(const StorageManager&) = delete;

  // Opening closes whatever was open first. The vector belongs to the caller and must
  // stay alive until Close. In-memory archives shorter than the header are refused.
  bool Open(std::vector<uint8_t>& bytes, StorageOpenMode mode);
  // As Open(bytes, OpenRead), for programs that only read: nothing is written back at
  // Close, and none of the writing code is linked (library tolvane_storage_read).
  bool OpenForReading(std::vector<uint8_t>& bytes);
  // A file is first freed of whatever an interrupted update left behind (its journal is
  // rolled back). Opened for writing, everything up to Close is one update that happens
  // whole or not at all (see atomic_file_stream.h); a folder where no journal can be made
  // refuses the writing open.
  bool Open(const std::wstring& file, StorageOpenMode mode);
  // On a stream the caller opened (openResult is what its Open gave), owned from here;
  // updates through it are only as safe as the stream makes them.
  bool Open(std::unique_ptr<StorageManagerStream> stream, int openResult);
  // Read-only opens over a stream: handed over (openResult is what its Open gave; only
  // OpenedExisting opens), or the caller's, which must outlive the archive's Close. As with
  // OpenForReading(bytes), nothing is ever written to the stream and the writing code is
  // not linked.
  bool OpenForReading(std::unique_ptr<StorageManagerStream> stream, int openResult);
  bool OpenForReading(StorageManagerStream& stream);
  // Writes back changed folder lists (deepest first), the root list, the directory and
  // the header, then releases the stream. The write-back stops at the first failure;
  // then, or when the update cannot be made final, an archive file is rolled back to
  // what it was at Open and the result is false. The archive is closed either way.
  bool Close();
  // Closes without writing anything back; an archive file goes back to what it was at Open.
  void Discard();
  bool IsClosed() const { return !stream_; }

  // --- Reads by name. A maxSize of 0 means no limit.
  int32_t GetEntryLength(const std::string& name);
  int32_t ReadEntryRaw(const std::string& name, void* buffer, uint32_t capacity);
  int32_t ReadEntryRaw(const std::string& name, std::vector<uint8_t>& out, uint32_t maxSize = 0);
  int32_t ReadEntry(const std::string& name, void* buffer, uint32_t capacity);
  int32_t ReadEntry(const std::string& name, std::vector<uint8_t>& out, uint32_t maxSize = 0);
  int32_t ReadEntryToStream(const std::string& name, std::ostringstream& out);
  int32_t GetEntryLength(StorageFolder& folder, const std::string& name);
  int32_t ReadEntryRaw(StorageFolder& folder, const std::string& name, void* buffer, uint32_t capacity);
  int32_t ReadEntryRaw(StorageFolder& folder, const std::string& name, std::vector<uint8_t>& out,
                       uint32_t maxSize = 0);
  int32_t ReadEntry(StorageFolder& folder, const std::string& name, void* buffer, uint32_t capacity);
  int32_t ReadEntry(StorageFolder& folder, const std::string& name, std::vector<uint8_t>& out,
                    uint32_t maxSize = 0);
  int32_t ReadEntryToStream(StorageFolder& folder, const std::string& name, std::ostringstream& out);
  // The inflated content handed to sink in pieces of at most PieceInflater::kOutputPiece
  // bytes, the stored payload read in pieces as well: memory does not depend on the
  // entry's size. The content's length, or what ReadEntry would give (StorageNoEntry,
  // StorageBadBlock, StorageReadFailed, StorageInflateFailed, StorageNoMemory), or
  // StorageWriteFailed when the sink refused a piece. The checksum at the end of the
  // stream is only seen after the last piece: on any failure the sink may have taken
  // bytes already, and what it took must be thrown away.
  int32_t ReadEntryTo(const std::string& name, EntrySink& sink);
  int32_t ReadEntryTo(StorageFolder& folder, const std::string& name, EntrySink& sink);
  int32_t ReadBlockTo(uint32_t block, EntrySink& sink);

  // --- Reads by block number; block 0 holds no data.
  int32_t GetBlockLength(uint32_t block);
  int32_t ReadBlockRaw(uint32_t block, void* buffer, uint32_t capacity);
  int32_t ReadBlockRaw(uint32_t block, std::vector<uint8_t>& out, uint32_t maxSize = 0);
  int32_t ReadBlockPart(uint32_t block, void* buffer, uint32_t length, uint32_t offset);
  int32_t ReadBlock(uint32_t block, void* buffer, uint32_t capacity);
  int32_t ReadBlock(uint32_t block, std::vector<uint8_t>& out, uint32_t maxSize = 0);
  int32_t ReadBlockToStream(uint32_t block, std::ostringstream& out);

#ifdef _WIN32
  // A new stream on global memory holding the inflated content, its seek pointer at the
  // end; the caller releases it. Null on any failure, an empty entry included.
  IStream* ReadEntryToHGlobal(const std::string& name);
  IStream* ReadBlockToHGlobal(uint32_t block);
  // The whole content of stream (at most 16 MiB) into out.
  static bool StreamToVector(IStream* stream, std::vector<uint8_t>& out);
#endif

  // Compact image for transport: bytes 92..99 of the header followed by everything after
  // the header. Both return the size of the result.
  static int32_t StripHeader(const std::vector<uint8_t>& image, std::vector<uint8_t>& compact);
  int32_t RestoreHeader(const std::vector<uint8_t>& compact, std::vector<uint8_t>& image) const;

  // --- Entries. Names must be 1 to 255 bytes; other names, and a file name that is a
  // subfolder's, write nothing (result 0).
  int32_t WriteEntryRaw(const std::string& name, const void* data, uint32_t length, bool compact = true);
  int32_t WriteEntry(const std::string& name, const void* data, uint32_t length, bool compact = true);
  int32_t DeleteEntry(const std::string& name);
  int32_t WriteEntryRaw(StorageFolder& folder, const std::string& name, const void* data, uint32_t length,
                        bool compact = true);
  int32_t WriteEntry(StorageFolder& folder, const std::string& name, const void* data, uint32_t length,
                     bool compact = true);
  int32_t DeleteEntry(StorageFolder& folder, const std::string& name);

  // A stored payload handed over piece by piece, for entries too large to hold whole.
  class PayloadSource {
   public:
    virtual ~PayloadSource() = default;
    // The next piece in data/length, length 0 once the payload is complete; false when
    // the payload cannot be produced (the append then fails with StorageWriteFailed).
    virtual bool Next(const uint8_t*& data, uint32_t& length) = 0;
  };
  // Adds a new entry whose block goes at the end of the archive, taking its stored
  // payload from source until it ends; the length prefix and the record are set once the
  // length is known. The bytes are those WriteEntryRaw writes into an archive without free
  // space. Result: the stored length; 0 for a refused name, a name already present or an
  // empty payload; a negative code on failure, which leaves the archive as it was.
  int32_t AppendEntryRaw(StorageFolder& folder, const std::string& name, PayloadSource& source);
  int32_t AppendEntryRaw(const std::string& name, PayloadSource& source);

  // --- Blocks.
  int32_t CreateBlockRaw(const void* data, uint32_t length, bool force = false);
  int32_t CreateBlock(const void* data, uint32_t length, bool force = false);
  int32_t RewriteBlockRaw(uint32_t block, const void* data, uint32_t length, bool compact = true);
  int32_t RewriteBlock(uint32_t block, const void* data, uint32_t length, bool compact = true);
  int32_t WriteBlockRaw(uint32_t block, const void* data, uint32_t length, bool compact = true);
  int32_t WriteBlock(uint32_t block, const void* data, uint32_t length, bool compact = true);
  int32_t WriteBlockPart(uint32_t block, const void* data, uint32_t length, uint32_t offset);
  int32_t DeleteBlock(uint32_t block);

  // --- Folders. Folders are owned by this object until closed (or until the archive is).
  StorageFolder* CreateFolder(const std::string& name);
  StorageFolder* OpenFolder(const std::string& name);
  StorageFolder* CreateFolder(StorageFolder& parent, const std::string& name);
  StorageFolder* OpenFolder(StorageFolder& parent, const std::string& name);
  bool CloseFolder(StorageFolder* folder);
  bool DeleteFolder(StorageFolder* folder);
  // Remove a subfolder from its parent without freeing any block.
  bool DetachFolder(StorageFolder* folder);
  bool DetachFolder(const std::string& name);
  bool DetachFolder(StorageFolder& parent, const std::string& name);

  // --- Maintenance.
  // Writes a compacted copy (no free space) to target: 0, StorageBlockLost when tolerate
  // let an unreadable block through as lost, or a negative code.
  int32_t CopyTo(StorageManagerStream& target, bool tolerate);
  // The same into a file, which takes the copy's content whole or keeps its own.
  int32_t CopyTo(const std::wstring& file, bool tolerate);
  // 0 when the used and free regions tile [128, end) exactly; otherwise
  // StorageIntegrityFailed and, in firstBad, the first record out of place (kNoRecord when
  // the archive's end is wrong without any region).
  int32_t CheckIntegrity(uint32_t* firstBad = nullptr) const;

  // --- Space management, for the operations above and for tests.
  // Start of a region of need bytes (best fit, else appended), or a negative code.
  int64_t AllocateSpace(uint32_t need, uint32_t exclude);
  // Returns a region to the free space, merging it with free neighbours.
  bool ReleaseSpace(uint32_t offset, uint32_t size, uint32_t exclude);
  // Gives block a region for a length-byte payload, writes the length prefix and leaves
  // the stream at the payload. Returns length or a negative code.
  int32_t ResizeBlock(uint32_t block, uint32_t length, bool compact);

  // --- Inspection.
  StorageFolder& Root() { return root_; }
  const std::vector<BlockRecord>& Directory() const { return directory_; }
  uint32_t End() const { return end_; }
  uint32_t Status() const { return status_; }
  uint32_t Options() const { return options_; }
  const uint8_t* HeaderImage() const { return header_; }
  uint16_t Signature() const { return signature_; }
  uint16_t Version() const { return version_; }
  uint32_t RequestedOptions() const { return requestedOptions_; }
  void SetRequestedOptions(uint32_t options) { requestedOptions_ = options; }
  uint16_t ChunkCacheLimit() const { return chunkCacheLimit_; }
  // Blocks, folder lists and the directory written from here on are compressed with
  // compressor (null: zlib level 9). Chunks and copies always use zlib.
  void SetCompressor(tolvane::Compressor compressor) { compressor_ = compressor; }

  // --- Chunked streams: large streams kept as fixed-size chunks, each its own block, and
  // addressed by the number of their index block. Lengths of a stream are at most
  // 0x7FFFFFFF bytes, so that every length fits a result. A negative offset counts from
  // the end of the stream. Every change to an index is saved at once.
  //
  // The new index block number, or StorageWriteFailed (nothing is left behind). A chunk
  // size of 0 or an unknown kind is refused the same way.
  int32_t CreateChunkedStream(const void* data, uint32_t length, uint16_t chunkSize, uint16_t kind);
  // totalLength, or StorageNoChunkedStream.
  int32_t GetChunkedStreamLength(uint32_t block);
  // Grows (the new bytes read as zeros) or shrinks the stream.
  bool ResizeChunkedStream(uint32_t block, uint32_t newLength);
  // Bytes read or written, cut at the end of the stream (writing never extends it).
  int32_t ReadChunkedStream(uint32_t block, void* buffer, uint32_t length, int64_t offset);
  int32_t WriteChunkedStream(uint32_t block, const void* data, uint32_t length, int64_t offset);
  bool DeleteChunkedStream(uint32_t block);
  // 1 when the index was repaired and saved, 0 when there was nothing to repair (or no
  // index at block), StorageChunkIndexNotSaved when the repaired index could not be saved.
  int32_t RepairChunkedStream(uint32_t block);
  // The cached stream at block, loaded and checked when it is not cached; null when block
  // holds no usable index. The pointer stays valid until the next chunked-stream call.
  const ChunkedStream* LookupChunkedStream(uint32_t block);
  static int32_t ListChunks(const ChunkedStream& stream, std::vector<uint32_t>& out);
  const std::map<uint32_t, ChunkedStream>& ChunkCache() const { return chunkCache_; }
  // The millisecond tick that ages cache entries (a wrapping u32, like GetTickCount).
  void SetTickSource(std::function<uint32_t()> ticks);

 private:
  // Opening and closing.
  bool Attach(std::unique_ptr<StorageManagerStream> stream, int openResult);
  void Release();
  bool FinishUpdate(bool keep);
  // What an operation on an archive file puts back when one of its writes fails, so that
  // the archive is as it was before the operation (in memory and in the file).
  // The records are not copied: each one SetRecord changes is logged with its old value,
  // so that an operation costs what it changes, not the size of the directory.
  struct OperationState {
    OperationState() = default;
    OperationState(const OperationState&) = delete;
    OperationState& operator=(const OperationState&) = delete;
    ~OperationState() {
      if (owner) owner->undo_ = nullptr;  // also when the operation ended in an exception
    }
    StorageManager* owner = nullptr;
    bool active = false;
    std::vector<std::pair<uint32_t, BlockRecord>> changed;  // number, record before
    size_t records = 0;                                      // directory size before
    std::vector<uint32_t> damaged;
    uint32_t end = 0, status = 0;
    bool tiled = false, tilingKnown = false;
  };
  void BeginOperation(OperationState& state);
  void EndOperation(OperationState& state, bool failed);
  // Tells an update of a file which old bytes the next writes cover.
  void Preserve(uint32_t offset, uint32_t length) {
    if (atomic_) atomic_->Preserve(offset, length);
  }
  bool LoadArchive();
  bool CreateArchive();
  bool WriteBack();
  bool WriteBackSteps();
  void Reset();

  // Reading.
  bool ReadAt(uint32_t offset, void* buffer, uint32_t length);
  int32_t LocateBlock(uint32_t block, uint32_t& payload, uint32_t& storedLength);
  int32_t ReadStoredPayload(uint32_t block, std::vector<uint8_t>& buffer);
  int32_t ReadBlockToStreamUnguarded(uint32_t block, std::ostringstream& out);
  bool LoadFolderList(uint32_t block, bool compressed, StorageFolder& folder);
  const EntryValue* FindEntry(StorageFolder& folder, const std::string& name) const;
  void FindDamagedRegions();
  bool IsDamaged(uint32_t number) const;

  // Records and space.
  void SetRecord(uint32_t number, uint8_t type, uint32_t offset, uint32_t size);
  void Vacate(uint32_t number);
  void IndexRecord(uint32_t number);
  void RebuildIndexes();
  void LearnTiling();
  bool InBounds(uint64_t offset, uint64_t size) const;
  bool FindBestFree(uint32_t need, uint32_t exclude, tolvane::FreeRegion& found);
  int32_t FindRegionAt(uint32_t offset, uint32_t& number);
  bool SetEnd(uint64_t newEnd);
  int32_t NewRecordNumber();
  void TrimIfLast(uint32_t number);
  void EnsureReservedRecords();
  int32_t NewBlock(uint32_t length, uint32_t wanted);

  // Writing back.
  bool WriteFolderList(const StorageFolder& folder, EntryValue reference);
  bool SaveSubfolder(StorageFolder& folder);
  bool SaveRoot();
  bool SaveDirectory();
  void SetParentEntry(StorageFolder& folder, EntryValue value);
  void SerializeDirectory(const std::vector<BlockRecord>& records, std::vector<uint8_t>& out) const;
  bool IsOpenFolder(const StorageFolder* folder) const;
  void RemoveOpenFolder(const StorageFolder* folder);

  // Chunked streams.
  ChunkedStream* FindChunked(uint32_t block);
  void MapChunks(const ChunkedStream& s);
  void UnmapChunk(uint32_t chunk, uint32_t indexBlock);
  void UnmapChunks(const ChunkedStream& s);
  void DropChunked(uint32_t block);
  void ForgetChunkBlock(uint32_t block);
  ChunkedStream* LookupChunked(uint32_t block);
  bool LoadChunkIndex(uint32_t block, ChunkedStream& out);
  bool ChunksUsable(const ChunkedStream& s);
  void EvictChunkedStream();
  bool SaveChunkIndex(const ChunkedStream& s);
  tolvane::ChunkWorkspace& ChunkWork();
  void ForgetInflated(uint32_t block);
  void NoteBlockResized(uint32_t block);
  int32_t ReadChunkStored(uint32_t block, const uint8_t*& payload, uint32_t& length);
  int32_t InflateChunk(const ChunkedStream& s, uint32_t number, uint8_t* out);
  int32_t ChunkContent(const ChunkedStream& s, size_t index, uint8_t*& content);
  int32_t WriteChunkBlock(uint32_t number, const uint8_t* content, uint32_t length);
  bool ReadPlainPieces(const ChunkedStream& s, uint8_t* buffer, uint32_t pos, uint32_t count);
  int32_t ZeroChunkTail(ChunkedStream& s, uint32_t from, uint32_t to);
  bool ResizeChunked(ChunkedStream& s, uint32_t newLength);
  int32_t ReadChunked(ChunkedStream& s, uint8_t* buffer, uint32_t length, int64_t offset);
  int32_t WriteChunked(ChunkedStream& s, const uint8_t* data, uint32_t length, int64_t offset);
  bool DeleteChunked(uint32_t block);
  uint32_t Ticks() const;

  // Copying.
  enum class CopyResult { Ok, ReadFailed, WriteFailed };
  CopyResult CopyRegion(uint32_t offset, uint32_t size, StorageManagerStream& target, std::vector<uint8_t>& buffer);

  uint16_t signature_;
  uint16_t version_;
  uint32_t end_ = 0;
  std::vector<BlockRecord> directory_;
  // Reusable record numbers: the vacant ones here, the free regions in free_.
  tolvane::NumberSet vacant_;
  tolvane::FreeSpaceIndex free_;
  // Whether the regions tiled [128, end) when the archive was opened; worked out when it
  // is first needed, before the first change, so that an archive only read never sorts
  // its regions.
  bool tiled_ = false;
  bool tilingKnown_ = false;
  // Records whose regions were found damaged at open (sorted); a record leaves the list
  // when it is given another region or none.
  std::vector<uint32_t> damaged_;
  // While an operation on an archive file runs: where SetRecord logs what it changes.
  std::vector<std::pair<uint32_t, BlockRecord>>* undo_ = nullptr;
  StorageFolder root_;
  StorageFolder* current_;
  std::list<std::unique_ptr<StorageFolder>> openFolders_;
  std::map<uint32_t, ChunkedStream> chunkCache_;
  uint16_t chunkCacheLimit_ = 256;
  std::function<uint32_t()> tickSource_;  // empty: a monotonic millisecond clock
  // Chunk block -> index block of every cached stream naming it, so that a chunk block
  // deleted through the block operations takes its streams out of the cache.
  std::unordered_multimap<uint32_t, uint32_t> chunkOwners_;
  // Zlib streams, inflated chunks and buffers of the chunked-stream operations; made at
  // their first use and kept while this object lives.
  std::unique_ptr<tolvane::ChunkWorkspace> chunkWork_;
  // Buffers and zlib stream of ReadBlockTo, made at its first use.
  std::unique_ptr<tolvane::PieceInflater> pieceInflater_;
  uint32_t requestedOptions_ = 0;
  tolvane::Compressor compressor_ = nullptr;
  uint32_t options_ = 0;
  uint32_t status_ = 0;
  uint8_t description_[80] = {};
  uint8_t header_[128] = {};
  std::unique_ptr<StorageManagerStream> stream_;
  StorageAtomicFileStream* atomic_ = nullptr;  // stream_, when it is an update of a file
  // What Close and Discard do before the stream is let go: set by the opens that may
  // update (FinishUpdate), null after OpenForReading. A pointer, so that the reading core
  // does not link the writing code.
  bool (StorageManager::*finish_)(bool keep) = nullptr;
};
