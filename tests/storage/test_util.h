// Helpers shared by the archive tests.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "storage/storage_manager.h"
#include "storage/zlib_codec.h"

namespace tolvane::test {

inline std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Text-like content that compresses the way real files do.
inline std::vector<uint8_t> SampleContent(size_t size, uint32_t seed) {
  static const char* const kWords[] = {"server ", "translation ", "tolvane ", "config ", "=", "1", "\r\n",
                                       "path ", "value ", "[section]\r\n", "0x", "data "};
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  out.reserve(size);
  while (out.size() < size) {
    if (rng() % 8 == 0) {
      out.push_back(static_cast<uint8_t>(rng()));
    } else {
      const char* w = kWords[rng() % (sizeof kWords / sizeof kWords[0])];
      out.insert(out.end(), w, w + std::strlen(w));
    }
  }
  out.resize(size);
  return out;
}

inline uint32_t U32At(const std::vector<uint8_t>& v, size_t at) {
  return static_cast<uint32_t>(v[at]) | (static_cast<uint32_t>(v[at + 1]) << 8) |
         (static_cast<uint32_t>(v[at + 2]) << 16) | (static_cast<uint32_t>(v[at + 3]) << 24);
}

inline void PutU32At(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

// Stored (compressed) form of content: a level-9 zlib stream without its two header bytes.
inline std::vector<uint8_t> Stored(const std::vector<uint8_t>& content) {
  std::vector<uint8_t> z;
  DeflateLevel9(content.data(), static_cast<uint32_t>(content.size()), z);
  return std::vector<uint8_t>(z.begin() + 2, z.end());
}

// Free records of the directory as (offset, size) pairs, in record order.
inline std::vector<std::pair<uint32_t, uint32_t>> FreeRegions(const StorageManager& m) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const BlockRecord& r : m.Directory()) {
    if (r.type == BlockFree) out.emplace_back(r.offset, r.size);
  }
  return out;
}

}  // namespace tolvane::test

namespace tolvane::test {

// Builds archive images by hand, for the cases a writer never produces.
class ImageBuilder {
 public:
  explicit ImageBuilder(uint32_t headerFlags = 0, uint16_t signature = kPackageSignature,
                        uint16_t version = kPackageVersion)
      : image_(128, 0) {
    image_[0] = static_cast<uint8_t>(signature);
    image_[1] = static_cast<uint8_t>(signature >> 8);
    image_[2] = static_cast<uint8_t>(version);
    image_[3] = static_cast<uint8_t>(version >> 8);
    PutU32At(image_, 96, headerFlags);
  }

  // Appends a region holding storedLength and payload; regionSize 0 means just enough.
  uint32_t Place(const std::vector<uint8_t>& payload, uint32_t storedLength, uint32_t regionSize = 0) {
    uint32_t offset = static_cast<uint32_t>(image_.size());
    if (!regionSize) regionSize = (static_cast<uint32_t>(payload.size()) + 19) & ~15u;
    image_.resize(offset + regionSize, 0);
    PutU32At(image_, offset, storedLength);
    std::copy(payload.begin(), payload.end(), image_.begin() + offset + 4);
    return offset;
  }
  uint32_t Place(const std::vector<uint8_t>& payload) {
    return Place(payload, static_cast<uint32_t>(payload.size()));
  }

  void Record(uint32_t number, uint8_t type, uint32_t offset, uint32_t size) {
    if (records_.size() <= number) records_.resize(number + 1);
    records_[number] = BlockRecord{type, 0, offset, size};
  }
  // Records a block in use at offset with the region Place gave it.
  void Data(uint32_t number, uint32_t offset, uint32_t size) { Record(number, BlockData, offset, size); }

  static std::vector<uint8_t> DirectoryBytes(const std::vector<BlockRecord>& records) {
    std::vector<uint8_t> out(records.size() * 10, 0);
    for (size_t i = 0; i < records.size(); ++i) {
      out[i * 10] = records[i].type;
      PutU32At(out, i * 10 + 2, records[i].offset);
      PutU32At(out, i * 10 + 6, records[i].size);
    }
    return out;
  }

  // Places the directory (record 0 describing itself) and points the header at it.
  std::vector<uint8_t> Finish() {
    if (records_.empty()) records_.resize(1);
    uint32_t offset = static_cast<uint32_t>(image_.size());
    uint32_t length = static_cast<uint32_t>(records_.size() * 10);
    records_[0] = BlockRecord{BlockData, 0, offset, (length + 19) & ~15u};
    Place(DirectoryBytes(records_));
    PutU32At(image_, 92, offset);
    return image_;
  }

  std::vector<uint8_t>& image() { return image_; }

 private:
  std::vector<uint8_t> image_;
  std::vector<BlockRecord> records_;
};

// FolderEntry records for a list block.
inline std::vector<uint8_t> FolderList(const std::vector<std::pair<std::string, uint32_t>>& entries) {
  std::vector<uint8_t> out;
  for (const auto& e : entries) {
    out.push_back(static_cast<uint8_t>(e.first.size()));
    out.insert(out.end(), e.first.begin(), e.first.end());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(e.second >> (8 * i)));
  }
  return out;
}

}  // namespace tolvane::test
