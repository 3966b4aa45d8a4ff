#include "package/manifest.h"

#include <cstring>
#include <memory>
#include <new>

#include "common/little_endian.h"

bool ByteInputStream::ReadExact(void* out, size_t n) {
  if (failed_ || n > size_ - pos_) {
    failed_ = true;
    return false;
  }
  if (n) std::memcpy(out, data_ + pos_, n);
  pos_ += n;
  return true;
}

namespace {

using tolvane::LoadLe16;
using tolvane::LoadLe32;

void StoreLE(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

// Names up to this many code units are read through the stack; longer ones (never seen
// in a real package) through a heap buffer that lives only for the read.
constexpr uint32_t kStackNameUnits = 65535;

// Smallest stored entry: a one-byte empty name and its kind.
constexpr size_t kMinEntryBytes = 5;

bool ReadNameUnits(ByteInputStream& in, uint32_t length, std::u16string& text) {
  // A length the input cannot hold fails like the short read it would be, before any
  // buffer is sized from it.
  if (uint64_t(length) * 2 > in.Remaining()) {
    in.Fail();
    return false;
  }
  uint8_t stackBytes[kStackNameUnits * 2];
  std::unique_ptr<uint8_t[]> heapBytes;
  uint8_t* bytes = stackBytes;
  if (length > kStackNameUnits) {
    heapBytes.reset(new (std::nothrow) uint8_t[size_t(length) * 2]);
    if (!heapBytes) return false;
    bytes = heapBytes.get();
  }
  if (!in.ReadExact(bytes, size_t(length) * 2)) return false;
  text.resize(length);
  for (uint32_t i = 0; i < length; ++i) text[i] = char16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return true;
}

}  // namespace

bool ReadCompactCount(ByteInputStream& in, uint32_t& count) {
  uint8_t b0 = 0;
  count = 0;
  if (!in.ReadExact(&b0, 1)) return false;
  if (b0 < 0x80) {
    count = b0;
    return true;
  }
  uint8_t b1 = 0;
  if (!in.ReadExact(&b1, 1)) return false;
  count = uint32_t(b0 & 0x7F) << 8 | b1;
  if (count != 0) return true;
  uint8_t wide[4];
  if (!in.ReadExact(wide, 4)) {
    count = 0;
    return false;
  }
  count = LoadLe32(wide);
  return true;
}

bool ReadCompactString(ByteInputStream& in, std::u16string& text) {
  text.clear();
  uint32_t length = 0;
  if (!ReadCompactCount(in, length)) return false;
  if (length == 0) return true;
  try {
    return ReadNameUnits(in, length, text);
  } catch (const std::bad_alloc&) {
    text.clear();
    return false;
  }
}

bool ReadManifest(ByteInputStream& in, PackageManifest& manifest) {
  uint8_t fixed[14];
  if (!in.ReadExact(fixed, 2)) return false;
  manifest.Version = LoadLe16(fixed);
  if (!in.ReadExact(fixed + 2, 4)) return false;
  manifest.Reserved = LoadLe32(fixed + 2);
  if (!in.ReadExact(fixed + 6, 8)) return false;
  manifest.TotalBytes = LoadLe32(fixed + 6) | uint64_t(LoadLe32(fixed + 10)) << 32;

  manifest.Entries.clear();
  uint32_t count = 0;
  if (!ReadCompactCount(in, count)) return false;
  try {
    // A count larger than the remaining bytes could hold is bound to fail on a short
    // read; reserving only what can be there keeps a damaged count from exhausting memory.
    size_t possible = in.Remaining() / kMinEntryBytes;
    manifest.Entries.reserve(count < possible ? count : possible);
    for (uint32_t i = 0; i < count; ++i) {
      manifest.Entries.emplace_back();
      ManifestEntry& entry = manifest.Entries.back();
      uint8_t kind[4];
      if (!ReadCompactString(in, entry.Name) || !in.ReadExact(kind, 4)) {
        manifest.Entries.pop_back();
        return false;
      }
      entry.Kind = LoadLe32(kind);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return in.ReadExact(manifest.KeyBlock.data(), manifest.KeyBlock.size());
}

void WriteCompactCount(std::vector<uint8_t>& out, uint32_t value) {
  if (value < 0x80) {
    out.push_back(uint8_t(value));
  } else if (value < 0x8000) {
    out.push_back(uint8_t(0x80 | value >> 8));
    out.push_back(uint8_t(value));
  } else {
    out.push_back(0x80);
    out.push_back(0x00);
    StoreLE(out, value, 4);
  }
}

std::vector<uint8_t> WriteManifest(const PackageManifest& manifest) {
  std::vector<uint8_t> out;
  StoreLE(out, manifest.Version, 2);
  StoreLE(out, manifest.Reserved, 4);
  StoreLE(out, manifest.TotalBytes, 8);
  WriteCompactCount(out, uint32_t(manifest.Entries.size()));
  for (const ManifestEntry& entry : manifest.Entries) {
    WriteCompactCount(out, uint32_t(entry.Name.size()));
    for (char16_t unit : entry.Name) StoreLE(out, unit, 2);
    StoreLE(out, entry.Kind, 4);
  }
  out.insert(out.end(), manifest.KeyBlock.begin(), manifest.KeyBlock.end());
  return out;
}
