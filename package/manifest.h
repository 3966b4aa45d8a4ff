// The package manifest: the product's folders and files in order of creation, the
// package version, the total size of the files and the key block for KeyProvider.
//
// Stored form (little-endian, no padding):
//   u16 Version | u32 Reserved | u64 TotalBytes | CompactCount n |
//   n x { CompactCount length | length UTF-16LE code units | u32 Kind } | 128-byte KeyBlock
//
// CompactCount: one byte 0x00-0x7F holds the value itself; otherwise the first byte's low
// seven bits and the second byte form a big-endian 15-bit value, unless that is zero, in
// which case the next four bytes hold the value as u32 little-endian (80 00 xx xx xx xx).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum EntryKind : uint32_t { SubfolderFile = 0, TopLevelFile = 1, Folder = 2 };

constexpr int ManifestResourceId = 218;
constexpr int PayloadResourceId = 219;

struct ManifestEntry {
  std::u16string Name;  // relative path, components separated by '\'
  uint32_t Kind = SubfolderFile;  // only Folder is told apart; any other value is a file
};

struct PackageManifest {
  uint16_t Version = 0;
  uint32_t Reserved = 0;
  uint64_t TotalBytes = 0;
  std::vector<ManifestEntry> Entries;
  std::array<uint8_t, 128> KeyBlock{};
};

// Reads exact byte counts from memory. A read that asks for more than remains fails, and
// after one failure every later read fails too, so a reader can check once at the end.
class ByteInputStream {
 public:
  ByteInputStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool ReadExact(void* out, size_t n);
  bool Failed() const { return failed_; }
  size_t Remaining() const { return failed_ ? 0 : size_ - pos_; }
  // Marks the stream failed, as a read past its end would.
  void Fail() { failed_ = true; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool failed_ = false;
};

bool ReadCompactCount(ByteInputStream& in, uint32_t& count);
bool ReadCompactString(ByteInputStream& in, std::u16string& text);
bool ReadManifest(ByteInputStream& in, PackageManifest& manifest);

// Appends the shortest CompactCount form of value.
void WriteCompactCount(std::vector<uint8_t>& out, uint32_t value);
std::vector<uint8_t> WriteManifest(const PackageManifest& manifest);
