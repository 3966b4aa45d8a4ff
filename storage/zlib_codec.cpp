// zlib calls of the archive. Streams are initialised with the version string "1.2.3": zlib
// only compares the major version, and this is the version the archive format was made with.
#include "storage/zlib_codec.h"

#include <zlib.h>

#include <algorithm>
#include <exception>

#include "storage/storage_format.h"

namespace tolvane {
namespace {

constexpr uint32_t kPiece = 0x4000;
constexpr const char* kZlibVersion = "1.2.3";

// Ends a zlib stream whatever way the function leaves.
struct InflateOwner {
  z_stream* zs;
  ~InflateOwner() { inflateEnd(zs); }
};
struct DeflateOwner {
  z_stream* zs;
  ~DeflateOwner() { deflateEnd(zs); }
};

}  // namespace

bool DeflateLevel9(const void* data, uint32_t length, std::vector<uint8_t>& out) {
  out.clear();
  z_stream zs{};
  if (deflateInit_(&zs, 9, kZlibVersion, static_cast<int>(sizeof(z_stream))) != Z_OK) return false;
  DeflateOwner owner{&zs};
  zs.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(data));
  zs.avail_in = length;
  try {
    for (;;) {
      size_t old = out.size();
      out.resize(old + kPiece);
      zs.next_out = out.data() + old;
      zs.avail_out = kPiece;
      int rc = deflate(&zs, Z_FINISH);
      out.resize(old + (kPiece - zs.avail_out));
      if (rc == Z_STREAM_ERROR) return false;
      if (zs.avail_out != 0) return rc == Z_STREAM_END;
    }
  } catch (const std::exception&) {
    out.clear();
    return false;
  }
}

bool HasLevel9Header(const std::vector<uint8_t>& compressed) {
  return compressed.size() >= 2 && compressed[0] == storage_format::kZlibHeader0 &&
         compressed[1] == storage_format::kZlibHeader1;
}

bool InflateZlib(const uint8_t* data, uint32_t length, std::vector<uint8_t>& out, uint32_t sizeHint) {
  bool limited;
  return InflateZlibAtMost(data, length, out, sizeHint, 0, limited);
}

bool InflateZlibAtMost(const uint8_t* data, uint32_t length, std::vector<uint8_t>& out, uint32_t sizeHint,
                       uint64_t limit, bool& limited) {
  limited = false;
  if (length == 0) return false;
  z_stream zs{};
  if (inflateInit_(&zs, kZlibVersion, static_cast<int>(sizeof(z_stream))) != Z_OK) return false;
  InflateOwner owner{&zs};
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = length;
  try {
    // At least 16 KiB per call; the first piece as large as the hint, later ones half of
    // what came so far. Fewer calls mean less copying into zlib's window. The stream ends
    // at the first call that leaves output space unused, whatever the piece size.
    const size_t start = out.size();
    size_t piece = std::max<size_t>(kPiece, sizeHint);
    for (;;) {
      size_t old = out.size();
      if (limit) {
        if (old - start >= limit) {
          limited = true;
          return true;
        }
        piece = static_cast<size_t>(std::min<uint64_t>(piece, limit - (old - start)));
      }
      if (out.capacity() < old + piece) out.reserve(old + piece);
      out.resize(old + piece);
      zs.next_out = out.data() + old;
      zs.avail_out = static_cast<uInt>(piece);
      int rc = inflate(&zs, Z_NO_FLUSH);
      out.resize(old + (piece - zs.avail_out));
      if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_MEM_ERROR || rc == Z_STREAM_ERROR) return false;
      if (rc == Z_STREAM_END) return true;
      if (zs.avail_out != 0) return false;
      piece = std::min<size_t>(std::max<size_t>(kPiece, (out.size() - start) / 2), 0x10000000);
    }
  } catch (const std::exception&) {
    return false;
  }
}

bool InflateStored(const uint8_t* payload, uint32_t length, std::vector<uint8_t>& out) {
  std::vector<uint8_t> buffer;
  try {
    buffer.resize(static_cast<size_t>(length) + 2);
  } catch (const std::exception&) {
    return false;
  }
  buffer[0] = storage_format::kZlibHeader0;
  buffer[1] = storage_format::kZlibHeader1;
  if (length) std::copy(payload, payload + length, buffer.begin() + 2);
  return InflateZlib(buffer.data(), static_cast<uint32_t>(buffer.size()), out);
}

bool InflateZlibTo(const uint8_t* data, uint32_t length,
                   const std::function<bool(const uint8_t*, size_t)>& sink) {
  if (length == 0) return false;
  z_stream zs{};
  if (inflateInit_(&zs, kZlibVersion, static_cast<int>(sizeof(z_stream))) != Z_OK) return false;
  InflateOwner owner{&zs};
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = length;
  uint8_t piece[kPiece];
  for (;;) {
    zs.next_out = piece;
    zs.avail_out = kPiece;
    int rc = inflate(&zs, Z_NO_FLUSH);
    size_t produced = kPiece - zs.avail_out;
    if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_MEM_ERROR || rc == Z_STREAM_ERROR) return false;
    if (produced && !sink(piece, produced)) return false;
    if (zs.avail_out != 0) return rc == Z_STREAM_END;
  }
}

}  // namespace tolvane
