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

// Region for a payload of n bytes: the u32 length prefix plus the payload, rounded to 16.
constexpr uint32_t RegionSize(uint32_t n) { return (n + 19) & ~15u; }

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace tolvane::storage_format
