// The writing side of an archive object: what the opens that may update add to the
// reading core. It owns the free space (storage_space.h) and the chunked streams
// (chunked_stream.h), undoes an operation on an archive file that fails half-way (with the
// file's journal, atomic_file_stream.h), and writes folder lists, the directory and the
// header back when the archive is closed. Internal to storage/.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "storage/archive_update.h"
#include "storage/storage_manager.h"
#include "storage/storage_space.h"

class StorageAtomicFileStream;

namespace tolvane {

class ChunkedStreams;

class StorageUpdate final : public ArchiveUpdate {
 public:
  // atomic: the archive's stream when it is an update of a file. writesBack false: made
  // for a writing call after a read-only open, whose Close writes nothing back.
  StorageUpdate(StorageManager& archive, StorageAtomicFileStream* atomic, bool writesBack);
  ~StorageUpdate() override;
  StorageUpdate(const StorageUpdate&) = delete;
  StorageUpdate& operator=(const StorageUpdate&) = delete;

  bool Finish(bool keep) override;
  // Writes back what changed; an archive file gets it after one sync of the journal.
  bool WriteBack();

  StorageSpace& Space() { return space_; }
  ChunkedStreams& Chunks();  // made at its first use
  const ChunkedStreams* ChunksIfMade() const { return chunks_.get(); }

  // --- One operation on an archive file, undone whole when one of its writes fails: the
  // old payload is written back, and the records that said where it was.
  class Operation {
   public:
    explicit Operation(StorageUpdate& update);
    ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
    void End(bool failed);

   private:
    StorageUpdate& u_;
    bool active_;
    StorageSpace::ChangeLog changed_;
    size_t records_ = 0;  // directory size before
    std::vector<uint32_t> damaged_;
    uint32_t end_ = 0, status_ = 0;
    std::pair<bool, bool> tiling_;
  };
  // Tells an update of a file which old bytes the next writes cover.
  void Preserve(uint32_t offset, uint32_t length);
  // Bytes written in place, put back by the file's journal alone when the write fails.
  bool WriteInPlace(uint32_t at, const void* data, uint32_t length);

  // --- Blocks. A new block (number `wanted`, or a new number when 0) with a region for a
  // length-byte payload, its length prefix written and the stream left at the payload.
  int32_t NewBlock(uint32_t length, uint32_t wanted);
  // Gives block a region for a length-byte payload (compact: the best-fitting one, the
  // unused tail given back), writes the length prefix and leaves the stream at the
  // payload: length or a negative code (StorageManager::ResizeBlock).
  int32_t ResizeBlock(uint32_t block, uint32_t length, bool compact);
  // A block's bytes are about to change, or its length: what the chunked streams keep of
  // it is stale. ForgetChunkBlock: it is no longer a block of any stream.
  void ForgetInflated(uint32_t block);
  void NoteBlockResized(uint32_t block);
  void ForgetChunkBlock(uint32_t block);

  // --- Folder lists.
  bool SaveSubfolder(StorageFolder& folder);
  static void SerializeDirectory(const std::vector<BlockRecord>& records, std::vector<uint8_t>& out);

 private:
  bool WriteBackSteps();
  bool WriteFolderList(const StorageFolder& folder, EntryValue reference);
  void SetParentEntry(StorageFolder& folder, EntryValue value);
  bool SaveRoot();
  bool SaveDirectory();

  StorageManager& a_;
  StorageAtomicFileStream* atomic_;
  const bool writesBack_;
  StorageSpace space_;
  std::unique_ptr<ChunkedStreams> chunks_;
};

// Compresses data into its stored form: the zlib stream without its two header bytes,
// which out keeps at the front (callers skip them). With zlib unless the archive was given
// another compressor. 0 or a negative code.
int32_t CompressForStorage(Compressor compressor, const void* data, uint32_t length, std::vector<uint8_t>& out);

}  // namespace tolvane
