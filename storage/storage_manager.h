// StorageManager: the archive object, on the block layer (storage_blocks.h). It owns one
// stream, loads the header, the directory and the root folder list, and answers reads by
// name and by block number. The opens that
// may update add the writing side (storage_update.h), which a program that only reads
// (OpenForReading) does not link. Results: zero or positive, or a negative StorageError;
// no exception leaves this class. Names are byte strings compared byte by byte. Operations
// by name act on the root folder, or on the folder given (the root or one handed out and
// still open).
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
#include "storage/storage_blocks.h"
#include "storage/storage_folder.h"
#include "storage/storage_stream.h"
#include "storage/storage_types.h"

#ifdef _WIN32
struct IStream;
#endif
class StorageAtomicFileStream;

namespace tolvane {
class StorageSpace;
class StorageUpdate;

class ArchiveUpdate;  // the writing side as the reading core knows it (archive_update.h)
}  // namespace tolvane

class StorageManager : public StorageBlocks {
 public:
  static constexpr uint16_t kChunkCacheLimit = 256;

  StorageManager(uint16_t signature, uint16_t version);
  ~StorageManager();
  StorageManager(const StorageManager&) = delete;
  StorageManager& operator=(const StorageManager&) = delete;

  // --- Opening closes whatever was open first (storage_update.cpp). A vector stays the
  // caller's until Close. A file is first freed of what an interrupted update left; opened
  // for writing, everything up to Close happens whole or not at all (atomic_file_stream.h).
  // A stream the caller opened (openResult: what its Open gave) is owned from here.
  bool Open(std::vector<uint8_t>& bytes, StorageOpenMode mode);
  bool Open(const std::wstring& file, StorageOpenMode mode);
  bool Open(std::unique_ptr<StorageManagerStream> stream, int openResult);
  // Read-only opens (storage_blocks.cpp): nothing is ever written back. Over a stream
  // handed over (OpenedExisting only) or the caller's, which must outlive Close.
  bool OpenForReading(std::vector<uint8_t>& bytes);
  bool OpenForReading(std::unique_ptr<StorageManagerStream> stream, int openResult);
  bool OpenForReading(StorageManagerStream& stream);
  // Writes back changed folder lists (deepest first), the root list, the directory and the
  // header, stopping at the first failure; then, or when the update cannot be made final,
  // an archive file goes back to what it was at Open (false). Closed either way.
  bool Close();
  void Discard();  // closes without writing back; an archive file goes back to Open's state
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
  int32_t ReadEntryRaw(StorageFolder& folder, const std::string& name, std::vector<uint8_t>& out, uint32_t maxSize = 0);
  int32_t ReadEntry(StorageFolder& folder, const std::string& name, void* buffer, uint32_t capacity);
  int32_t ReadEntry(StorageFolder& folder, const std::string& name, std::vector<uint8_t>& out, uint32_t maxSize = 0);
  int32_t ReadEntryToStream(StorageFolder& folder, const std::string& name, std::ostringstream& out);
  // The content handed to sink in pieces of at most PieceInflater::kOutputPiece bytes,
  // memory not depending on the entry's size: its length, what ReadEntry would give, or
  // StorageWriteFailed when the sink refused a piece. On failure what it took is void.
  int32_t ReadEntryTo(const std::string& name, EntrySink& sink);
  int32_t ReadEntryTo(StorageFolder& folder, const std::string& name, EntrySink& sink);
  int32_t ReadBlockTo(uint32_t block, EntrySink& sink);

  // --- Inflating reads by block number (the stored payload: storage_blocks.h).
  int32_t ReadBlock(uint32_t block, void* buffer, uint32_t capacity);
  int32_t ReadBlock(uint32_t block, std::vector<uint8_t>& out, uint32_t maxSize = 0);
  int32_t ReadBlockToStream(uint32_t block, std::ostringstream& out);

#ifdef _WIN32
  // (storage_hglobal_win32.cpp) A new global-memory stream of the content, its seek
  // pointer at the end, the caller's to release; null on failure or an empty entry.
  // StreamToVector: the whole content of stream (at most 16 MiB) into out.
  IStream* ReadEntryToHGlobal(const std::string& name);
  IStream* ReadBlockToHGlobal(uint32_t block);
  static bool StreamToVector(IStream* stream, std::vector<uint8_t>& out);
#endif

  // --- Compact image for transport (storage_copy.cpp): header bytes 92..99, then all after.
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
  // A stored payload piece by piece (length 0 at its end; false: it cannot be produced).
  class PayloadSource {
   public:
    virtual ~PayloadSource() = default;
    virtual bool Next(const uint8_t*& data, uint32_t& length) = 0;
  };
  // A new entry at the end of the archive, its stored payload from source (the bytes
  // WriteEntryRaw writes into an archive without free space): the stored length; 0 for a
  // refused or present name or an empty payload; on failure the archive is as it was.
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

  // --- Folders (storage_folders.cpp), this object's until closed. Detach: out of the
  // parent without freeing any block.
  StorageFolder* CreateFolder(const std::string& name);
  StorageFolder* OpenFolder(const std::string& name);
  StorageFolder* CreateFolder(StorageFolder& parent, const std::string& name);
  StorageFolder* OpenFolder(StorageFolder& parent, const std::string& name);
  bool CloseFolder(StorageFolder* folder);
  bool DeleteFolder(StorageFolder* folder);
  bool DetachFolder(StorageFolder* folder);
  bool DetachFolder(const std::string& name);
  bool DetachFolder(StorageFolder& parent, const std::string& name);

  // --- Maintenance (storage_copy.cpp). A copy without free space: 0, StorageBlockLost when
  // tolerate let an unreadable block through, or a negative code; a file takes it whole.
  int32_t CopyTo(StorageManagerStream& target, bool tolerate);
  int32_t CopyTo(const std::wstring& file, bool tolerate);

  // --- Space (storage_space.h), for the operations above and for tests.
  int64_t AllocateSpace(uint32_t need, uint32_t exclude);
  bool ReleaseSpace(uint32_t offset, uint32_t size, uint32_t exclude);
  int32_t ResizeBlock(uint32_t block, uint32_t length, bool compact);

  // --- Inspection (and the block layer's: storage_blocks.h).
  StorageFolder& Root() { return root_; }
  uint32_t RequestedOptions() const { return requestedOptions_; }
  void SetRequestedOptions(uint32_t options) { requestedOptions_ = options; }
  uint16_t ChunkCacheLimit() const { return kChunkCacheLimit; }
  // Blocks, folder lists and the directory are compressed with it from here on (null:
  // zlib level 9); chunks and copies always use zlib.
  void SetCompressor(tolvane::Compressor compressor) { compressor_ = compressor; }

  // --- Chunked streams (chunked_stream.h), addressed by their index block. Lengths up to
  // 0x7FFFFFFF; a negative offset counts from the end; every index change is saved at once.
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
  // The millisecond tick (wrapping, like GetTickCount) that ages cached indexes.
  void SetTickSource(std::function<uint32_t()> ticks) { tickSource_ = std::move(ticks); }
  const std::function<uint32_t()>& TickSource() const { return tickSource_; }

 private:
  friend class tolvane::StorageSpace;
  friend class tolvane::StorageUpdate;
  bool Attach(std::unique_ptr<StorageManagerStream> stream, int openResult);
  void Release();
  bool LoadArchive();
  bool CreateArchive();
  void Reset();
  tolvane::PieceInflater* Inflater();  // made at its first use
  bool InflateWhole(const std::vector<uint8_t>& stored, std::vector<uint8_t>& out, uint64_t limit);
  bool LoadFolderList(uint32_t block, bool compressed, StorageFolder& folder);
  const EntryValue* FindEntry(StorageFolder& folder, const std::string& name) const;
  // The writing side (storage_update.cpp), made at its first use after a read-only open;
  // it then never writes back.
  tolvane::StorageUpdate& Update() { return writer_ ? *writer_ : MakeUpdate(); }
  tolvane::StorageUpdate& MakeUpdate();
  void StartUpdate(StorageAtomicFileStream* atomic, bool writesBack);

  StorageFolder root_;
  StorageFolder* current_;
  std::list<std::unique_ptr<StorageFolder>> openFolders_;
  uint32_t requestedOptions_ = 0;
  uint8_t description_[80] = {};
  std::unique_ptr<tolvane::PieceInflater> pieceInflater_;  // of every inflating read
  tolvane::Compressor compressor_ = nullptr;
  std::function<uint32_t()> tickSource_;  // empty: a monotonic millisecond clock
  std::unique_ptr<tolvane::ArchiveUpdate> update_;  // null after OpenForReading
  tolvane::StorageUpdate* writer_ = nullptr;  // update_, as the writing code sees it
};
