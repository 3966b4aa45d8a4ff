// Crafted archives whose few bytes ask the reader for a great deal of memory or time:
// compressed payloads that inflate about a thousandfold. The tests, the fuzz seeds and the
// measurements of the packaging tool all make them here.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/storage/test_util.h"

namespace tolvane::test {

// Stored form (zlib at level 9 without its two header bytes) of pattern repeated until
// inflated bytes, after prefix. Deflated piece by piece: the content is never held whole.
inline std::vector<uint8_t> StoredRepeat(const std::vector<uint8_t>& prefix, const std::vector<uint8_t>& pattern,
                                         uint64_t inflated) {
  z_stream zs{};
  deflateInit(&zs, 9);
  std::vector<uint8_t> piece(prefix);
  while (piece.size() < (1u << 16)) piece.insert(piece.end(), pattern.begin(), pattern.end());
  const size_t period = pattern.size();
  std::vector<uint8_t> out(1u << 16);
  std::vector<uint8_t> stored;
  uint64_t done = 0;
  bool first = true;
  for (;;) {
    const uint8_t* from = piece.data();
    size_t n = piece.size();
    if (!first) {
      // Later pieces start on a period boundary so that the pattern runs on unbroken.
      size_t skip = (prefix.size() % period) ? period - prefix.size() % period : 0;
      from += prefix.size() + skip;
      n = (piece.size() - prefix.size() - skip) / period * period;
    }
    first = false;
    if (done + n > inflated) n = static_cast<size_t>(inflated - done);
    done += n;
    zs.next_in = const_cast<Bytef*>(from);
    zs.avail_in = static_cast<uInt>(n);
    int flush = done == inflated ? Z_FINISH : Z_NO_FLUSH;
    int rc;
    do {
      zs.next_out = out.data();
      zs.avail_out = static_cast<uInt>(out.size());
      rc = deflate(&zs, flush);
      stored.insert(stored.end(), out.data(), out.data() + (out.size() - zs.avail_out));
    } while (zs.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    if (flush == Z_FINISH) break;
  }
  deflateEnd(&zs);
  return std::vector<uint8_t>(stored.begin() + 2, stored.end());
}

// The directory is compressed and inflates to `records` records, all alike.
inline std::vector<uint8_t> DirectoryBomb(uint64_t records, uint8_t type = BlockVacant) {
  ImageBuilder b(1);
  std::vector<uint8_t> record(10, 0);
  record[0] = type;
  if (type == BlockFree) {
    PutU32At(record, 2, 128);  // every one on the same 16 bytes
    PutU32At(record, 6, 16);
  }
  auto stored = StoredRepeat({}, record, records * 10);
  uint32_t at = b.Place(stored);
  PutU32At(b.image(), 92, at);
  return b.image();
}

// One entry, "bomb", whose content is `inflated` zero bytes; headerFlags as given (bit 2
// makes the same block a compressed chunk index when read as one: tag, chunk size and
// length in front of the zeros).
inline std::vector<uint8_t> EntryBomb(uint64_t inflated, uint32_t headerFlags = 0) {
  ImageBuilder b(headerFlags);
  std::vector<uint8_t> prefix;
  if (headerFlags & 4) prefix = {0x43, 0x52, 0xFC, 0x0F, 0xFF, 0xFF, 0xFF, 0x7F};
  uint32_t at = b.Place(StoredRepeat(prefix, {0}, inflated));
  b.Data(2, at, static_cast<uint32_t>(b.image().size()) - at);
  auto list = FolderList({{"bomb", 2}});
  uint32_t listAt = b.Place(list);
  b.Data(1, listAt, static_cast<uint32_t>(b.image().size()) - listAt);
  return b.Finish();
}

// The root list is compressed and inflates to `entries` records of one name (the later one
// wins, so the folder ends up with one entry after all that work).
inline std::vector<uint8_t> FolderBomb(uint64_t entries) {
  ImageBuilder b(2);
  auto stored = StoredRepeat({}, FolderList({{"a", 0}}), entries * 6);
  uint32_t at = b.Place(stored);
  b.Data(1, at, static_cast<uint32_t>(b.image().size()) - at);
  return b.Finish();
}

// A block recorded over the header's bytes 80..127 (its payload would cover directoryOffset
// and headerFlags): the root list names it as a file.
inline std::vector<uint8_t> HeaderOverlap() {
  ImageBuilder b;
  b.image()[80] = 40;  // the description's last bytes read as its storedLength
  b.Data(2, 80, 48);
  auto list = FolderList({{"h", 2}});
  uint32_t at = b.Place(list);
  b.Data(1, at, 16);
  return b.Finish();
}

}  // namespace tolvane::test
