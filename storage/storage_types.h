// What the archive's callers see of its format: result codes, block records, header
// fields, entry values, options and status bits, and the chunked-stream index as cached.
// The byte layout itself is described in storage_format.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

namespace tolvane {

// What an archive compresses its blocks with, in DeflateLevel9's place: a complete zlib
// stream with the level-9 header 0x78 0xDA, which any inflater reads back. False on failure.
// Must not throw.
using Compressor = bool (*)(const void* data, uint32_t length, std::vector<uint8_t>& out);

}  // namespace tolvane
