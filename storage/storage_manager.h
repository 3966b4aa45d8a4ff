// StorageManager: the archive object. It owns one stream, loads the header, the block
// directory and the root folder list, and answers reads by name and by block number. The
// opens that may update add the writing side (storage_update.h): updates in place, with
// regions allocated best-fit from the free space, written back when the archive is closed.
// A program that only reads (OpenForReading) links none of it.
//
// Results are signed 32-bit: zero or positive on success, a negative StorageError on
// failure. No exception leaves this class. Names are byte strings (the package's names are
// in the ANSI code page of the installing system), compared byte by byte. Name-based
// operations without a folder argument act on the root folder; the overloads taking a
// StorageFolder act on that folder, which must be the root or one this object handed out
// and that is still open.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "storage/inflate.h"
#include "storage/storage_folder.h"
#include "storage/storage_stream.h"
#include "storage/storage_types.h"

#ifdef _WIN32
struct IStream;
#endif

namespace tolvane {
class ChunkedStreams;
class StorageSpace;
class StorageUpdate;

// The writing side as the reading core knows it: one virtual call, so that the reading
// core links none of the writing code.
class ArchiveUpdate {
 public:
  virtual ~ArchiveUpdate() = default;
  // Close (keep) or Discard (not keep): writes back what changed, then makes an update of
  // a file final, or rolls it back when something failed or nothing is to be kept.
  virtual bool Finish(bool keep) = 0;
};
}  // namespace tolvane

class StorageManager {
 public:
  static constexpr uint32_t kNoRecord = 0xFFFFFFFFu;
  static constexpr uint16_t kChunkCacheLimit = 256;

  StorageManager(uint16_t signature, uint16_t version);
  ~StorageManager();
  StorageManager(const StorageManager&) = delete;
  StorageManager& operator=(const StorageManager&) = delete;

  // --- Opening (storage_update.cpp unless said). Opening closes whatever was open first.
  // The vector belongs to the caller and must outlive Close; one shorter than the header is refused.
  bool Open(std::vector<uint8_t>& bytes, StorageOpenMode mode);
  // A file is first freed of what an interrupted update left (its journal is rolled back).
  // Opened for writing, everything up to Close is one update that happens whole or not at
  // all (see atomic_file_stream.h); a folder where no journal can be made refuses it.
  bool Open(const std::wstring& file, StorageOpenMode mode);
  // On a stream the caller opened (openResult is what its Open gave), owned from here;
  // updates through it are only as safe as the stream makes them.
  bool Open(std::unique_ptr<StorageManagerStream> stream, int openResult);
  // Read-only opens (storage_blocks.cpp): nothing is ever written back and the writing code
  // is not linked. Over a stream handed over (only OpenedExisting opens) or the caller's,
  // which must outlive Close.
  bool OpenForReading(std::vector<uint8_t>& bytes);
  bool OpenForReading(std::unique_ptr<StorageManagerStream> stream, int openResult);
  bool OpenForReading(StorageManagerStream& stream);
  // Writes back changed folder lists (deepest first), the root list, the directory and the
  // header, then releases the stream. The write-back stops at the first failure; then, or
  // when the update cannot be made final, an archive file is rolled back to what it was at
  // Open and the result is false. The archive is closed either way.
  bool Close();
  // Closes without writing anything back; an archive file goes back to what it was at Open.
  void Discard();
  bool IsClosed() const { return !stream_; }

  // --- Reads by name (storage_entries.cpp). A maxSize of 0 means no limit.
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
  // bytes, the stored payload read in pieces too: memory does not depend on the entry's
  // size. The content's length, what ReadEntry would give, or StorageWriteFailed when the
  // sink refused a piece. The checksum is only seen after the last piece: on any failure
  // what the sink took must be thrown away.
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
  // (storage_hglobal_win32.cpp) A new stream on global memory holding the inflated
  // content, its seek pointer at the end; the caller releases it. Null on any failure, an
  // empty entry included.
  IStream* ReadEntryToHGlobal(const std::string& name);
  IStream* ReadBlockToHGlobal(uint32_t block);
  // The whole content of stream (at most 16 MiB) into out.
  static bool StreamToVector(IStream* stream, std::vector<uint8_t>& out);
#endif

  // --- Compact image for transport (storage_copy.cpp): bytes 92..99 of the header followed
  // by everything after it. Both return the size of the result.
  static int32_t StripHeader(const std::vector<uint8_t>& image, std::vector<uint8_t>& compact);
  int32_t RestoreHeader(const std::vector<uint8_t>& compact, std::vector<uint8_t>& image) const;

  // --- Entries and blocks (storage_writes.cpp). Names must be 1 to 255 bytes; other
  // names, and a file name that is a subfolder's, write nothing (result 0).
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
    // The next piece, length 0 once the payload is complete; false when it cannot be
    // produced (the append then fails with StorageWriteFailed).
    virtual bool Next(const uint8_t*& data, uint32_t& length) = 0;
  };
  // A new entry whose block goes at the end of the archive, its stored payload taken from
  // source: the bytes WriteEntryRaw writes into an archive without free space. The stored
  // length; 0 for a refused name, a name already present or an empty payload; a negative
  // code on failure, which leaves the archive as it was.
  int32_t AppendEntryRaw(StorageFolder& folder, const std::string& name, PayloadSource& source);
  int32_t AppendEntryRaw(const std::string& name, PayloadSource& source);
  int32_t CreateBlockRaw(const void* data, uint32_t length, bool force = false);
  int32_t CreateBlock(const void* data, uint32_t length, bool force = false);
  int32_t RewriteBlockRaw(uint32_t block, const void* data, uint32_t length, bool compact = true);
  int32_t RewriteBlock(uint32_t block, const void* data, uint32_t length, bool compact = true);
  int32_t WriteBlockRaw(uint32_t block, const void* data, uint32_t length, bool compact = true);
  int32_t WriteBlock(uint32_t block, const void* data, uint32_t length, bool compact = true);
  int32_t WriteBlockPart(uint32_t block, const void* data, uint32_t length, uint32_t offset);
  int32_t DeleteBlock(uint32_t block);

  // --- Folders (storage_folders.cpp), owned by this object until closed or the archive is.
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

  // --- Maintenance (storage_copy.cpp). A compacted copy (no free space) to target: 0,
  // StorageBlockLost when tolerate let an unreadable block through as lost, or a negative
  // code. Into a file, the file takes the copy's content whole or keeps its own.
  int32_t CopyTo(StorageManagerStream& target, bool tolerate);
  int32_t CopyTo(const std::wstring& file, bool tolerate);
  // 0 when the used and free regions tile [128, end) exactly; otherwise
  // StorageIntegrityFailed and, in firstBad, the first record out of place (kNoRecord when
  // the archive's end is wrong without any region).
  int32_t CheckIntegrity(uint32_t* firstBad = nullptr) const;

  // --- Space (storage_space.cpp), for the operations above and for tests. AllocateSpace:
  // start of a region of need bytes (best fit, else appended), or a negative code.
  // ReleaseSpace merges the region with free neighbours. ResizeBlock gives block a region
  // for a length-byte payload, writes the length prefix and leaves the stream at the
  // payload: length or a negative code.
  int64_t AllocateSpace(uint32_t need, uint32_t exclude);
  bool ReleaseSpace(uint32_t offset, uint32_t size, uint32_t exclude);
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
  uint16_t ChunkCacheLimit() const { return kChunkCacheLimit; }
  // Blocks, folder lists and the directory written from here on are compressed with
  // compressor (null: zlib level 9). Chunks and copies always use zlib.
  void SetCompressor(tolvane::Compressor compressor) { compressor_ = compressor; }

  // --- Chunked streams (chunked_stream.h): large streams kept as fixed-size chunks, each
  // its own block, addressed by the number of their index block. Lengths up to 0x7FFFFFFF;
  // a negative offset counts from the end. Every change to an index is saved at once.
  int32_t CreateChunkedStream(const void* data, uint32_t length, uint16_t chunkSize, uint16_t kind);
  int32_t GetChunkedStreamLength(uint32_t block);
  bool ResizeChunkedStream(uint32_t block, uint32_t newLength);
  int32_t ReadChunkedStream(uint32_t block, void* buffer, uint32_t length, int64_t offset);
  int32_t WriteChunkedStream(uint32_t block, const void* data, uint32_t length, int64_t offset);
  bool DeleteChunkedStream(uint32_t block);
  int32_t RepairChunkedStream(uint32_t block);
  const ChunkedStream* LookupChunkedStream(uint32_t block);
  static int32_t ListChunks(const ChunkedStream& stream, std::vector<uint32_t>& out);
  const std::map<uint32_t, ChunkedStream>& ChunkCache() const;
  // The millisecond tick that ages cache entries (a wrapping u32, like GetTickCount).
  void SetTickSource(std::function<uint32_t()> ticks) { tickSource_ = std::move(ticks); }

 private:
  friend class tolvane::ChunkedStreams;
  friend class tolvane::StorageSpace;
  friend class tolvane::StorageUpdate;

  bool Attach(std::unique_ptr<StorageManagerStream> stream, int openResult);
  void Release();
  bool LoadArchive();
  bool CreateArchive();
  void Reset();
  bool ReadAt(uint32_t offset, void* buffer, uint32_t length);
  bool InBounds(uint64_t offset, uint64_t size) const;
  void FindDamagedRegions();
  bool IsDamaged(uint32_t number) const;
  int32_t LocateBlock(uint32_t block, uint32_t& payload, uint32_t& storedLength);
  int32_t ReadStoredPayload(uint32_t block, std::vector<uint8_t>& buffer);
  tolvane::PieceInflater* Inflater();  // made at its first use
  bool InflateWhole(const std::vector<uint8_t>& stored, std::vector<uint8_t>& out, uint64_t limit);
  bool LoadFolderList(uint32_t block, bool compressed, StorageFolder& folder);
  const EntryValue* FindEntry(StorageFolder& folder, const std::string& name) const;
  // The writing side, made at its first use after a read-only open (it then never writes
  // back); in the library of the writing code, like everything that calls it.
  tolvane::StorageUpdate& Update();

  uint16_t signature_;
  uint16_t version_;
  uint32_t end_ = 0;
  std::vector<BlockRecord> directory_;
  // Records whose regions were found damaged at open (sorted); a record leaves the list
  // when it is given another region or none.
  std::vector<uint32_t> damaged_;
  StorageFolder root_;
  StorageFolder* current_;
  std::list<std::unique_ptr<StorageFolder>> openFolders_;
  uint32_t requestedOptions_ = 0;
  uint32_t options_ = 0;
  uint32_t status_ = 0;
  uint8_t description_[80] = {};
  uint8_t header_[128] = {};
  std::unique_ptr<StorageManagerStream> stream_;
  // The zlib stream and buffers of every inflating read.
  std::unique_ptr<tolvane::PieceInflater> pieceInflater_;
  tolvane::Compressor compressor_ = nullptr;
  std::function<uint32_t()> tickSource_;  // empty: a monotonic millisecond clock
  // Set by the opens that may update; null after OpenForReading.
  std::unique_ptr<tolvane::ArchiveUpdate> update_;
};
