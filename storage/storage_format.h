// The archive's on-disk layout, as the reader and writer share it.
//
//   0..127     StorageHeader
//   128..end   regions, each starting at a multiple of 16 with a length that is a multiple
//              of 16, either a block in use or free space, tiling up to the end.
//
// StorageHeader (little-endian, packed):
//   0  u16 signature        2  u16 version          4  80 bytes description
//   84 8 reserved           92 u32 directoryOffset  96 u32 headerFlags   100 28 reserved
// headerFlags: bit 0 directory compressed, bit 1 root folder list compressed,
//              bit 2 chunk index blocks compressed.
//
// Block at a record's offset: u32 storedLength, payload, padding to the region's size.
// BlockRecord (10 bytes): u8 type, u8 reserved, u32 offset, u32 size.
// Block 0's payload is the array of records (the directory), block 1 the root folder list.
// FolderEntry: u8 nameLength (1..255), name bytes, u32 EntryValue.
// EntryValue: bits 0..29 block number, bit 30 subfolder list compressed, bit 31 subfolder.
// Chunked stream index block: u16 tag (0x5256 plain chunks, 0x5243 compressed chunks),
// u16 chunk size, u32 total length, u32 block number per chunk (see chunked_stream.cpp).
//
// Compressed payloads are zlib streams at level 9 stored without their two header bytes
// 0x78 0xDA, which a reader puts back before inflating.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/little_endian.h"

namespace tolvane::storage_format {

constexpr uint32_t kHeaderSize = 128;
constexpr uint32_t kDescriptionOffset = 4;
constexpr uint32_t kDescriptionSize = 80;
constexpr uint32_t kDirectoryOffsetField = 92;
constexpr uint32_t kHeaderFlagsField = 96;
constexpr uint32_t kRecordSize = 10;
constexpr uint32_t kMaxNameLength = 255;
constexpr uint32_t kPlainDirectoryLimit = 0xA0000000u;

constexpr uint32_t kBlockMask = 0x3FFFFFFFu;
constexpr uint32_t kFolderCompressedBit = 0x40000000u;
constexpr uint32_t kFolderBit = 0x80000000u;

constexpr uint8_t kZlibHeader0 = 0x78;
constexpr uint8_t kZlibHeader1 = 0xDA;

// The largest payload whose region still fits the 32-bit offsets and whose length the
// signed results can carry.
constexpr uint32_t kMaxPayload = 0x7FFFFFFFu - 19;

// What a reader believes of an archive that ends at `end`. A compressed payload can
// inflate a thousandfold, so the inflated forms of the structures every open or lookup
// builds are held to what an archive of that size can plausibly describe, with a floor
// for small archives; memory then stays within a small multiple of the archive's size.
//  - directory: every record but the vacant ones has a region of 16 bytes or more, so a
//    record per 8 bytes leaves room for as many vacated numbers as regions;
//  - folder list: every file entry names a block of its own (16 bytes or more) and an
//    entry takes 6 to 260 bytes, so twice the archive's size;
//  - chunk index: 4 bytes per chunk, chunks of zeros (no block) included, so four times.
constexpr uint32_t kMinDirectoryRecords = 1u << 16;
constexpr uint32_t kMinFolderListBytes = 2u << 20;
constexpr uint32_t kMinChunkIndexBytes = 4u << 20;
constexpr uint64_t MaxDirectoryRecords(uint32_t end) {
  return end / 8 > kMinDirectoryRecords ? end / 8 : kMinDirectoryRecords;
}
constexpr uint64_t MaxFolderListBytes(uint32_t end) {
  return uint64_t{end} * 2 > kMinFolderListBytes ? uint64_t{end} * 2 : kMinFolderListBytes;
}
constexpr uint64_t MaxChunkIndexBytes(uint32_t end) {
  return uint64_t{end} * 4 > kMinChunkIndexBytes ? uint64_t{end} * 4 : kMinChunkIndexBytes;
}

// A folder list stores a name's length in one byte and cannot hold an empty name.
inline bool ValidName(std::string_view name) { return !name.empty() && name.size() <= kMaxNameLength; }

// Region for a payload of n bytes: the u32 length prefix plus the payload, rounded to 16.
constexpr uint32_t RegionSize(uint32_t n) { return (n + 19) & ~15u; }

// The byte order of every field: the loads and stores all the formats share.
using tolvane::LoadLe16;
using tolvane::LoadLe32;
using tolvane::LoadLe64;
using tolvane::StoreLe16;
using tolvane::StoreLe32;
using tolvane::StoreLe64;

}  // namespace tolvane::storage_format
