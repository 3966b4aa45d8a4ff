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

// ---------------------------------------------------------------------------------------
// Streams kept for reuse

struct Inflater::State {
  z_stream zs{};
  bool ready = false;
  ~State() {
    if (ready) inflateEnd(&zs);
  }
};

Inflater::Inflater() = default;
Inflater::~Inflater() = default;

Inflater::Result Inflater::InflateStored(const uint8_t* payload, uint32_t length, uint8_t* out, size_t capacity,
                                         size_t& produced) {
  produced = 0;
  try {
    if (!state_) state_ = std::make_unique<State>();
  } catch (const std::exception&) {
    return Damaged;
  }
  z_stream& zs = state_->zs;
  if (!state_->ready) {
    zs = z_stream{};
    if (inflateInit_(&zs, kZlibVersion, static_cast<int>(sizeof(z_stream))) != Z_OK) return Damaged;
    state_->ready = true;
  } else if (inflateReset(&zs) != Z_OK) {
    return Damaged;
  }
  // The header first, then the payload where it lies: no copy to put the two together.
  static const Bytef kHeader[2] = {storage_format::kZlibHeader0, storage_format::kZlibHeader1};
  zs.next_in = const_cast<Bytef*>(kHeader);
  zs.avail_in = 2;
  bool payloadGiven = false;
  uint8_t spill[kPiece];  // output beyond capacity, only looked at for its length
  size_t total = 0;
  for (;;) {
    // One piece of output as InflateZlibTo sees it, perhaps in two calls: up to capacity
    // into out, the rest into spill.
    const size_t boundary = total + kPiece;
    int rc = Z_OK;
    while (total < boundary) {
      if (zs.avail_in == 0 && !payloadGiven) {
        zs.next_in = const_cast<Bytef*>(payload);
        zs.avail_in = length;
        payloadGiven = true;
      }
      const bool inside = total < capacity;
      const size_t room = (inside ? std::min(boundary, capacity) : boundary) - total;
      zs.next_out = inside ? out + total : spill;
      zs.avail_out = static_cast<uInt>(room);
      rc = inflate(&zs, Z_NO_FLUSH);
      total += room - zs.avail_out;
      if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_MEM_ERROR || rc == Z_STREAM_ERROR) return Damaged;
      if (rc == Z_STREAM_END) break;
      if (zs.avail_out != 0 && (payloadGiven || zs.avail_in != 0)) break;  // out of input
    }
    if (total > capacity) return TooLong;
    if (total < boundary) {
      if (rc != Z_STREAM_END) return Damaged;
      produced = total;
      return Ended;
    }
  }
}

struct Deflater::State {
  z_stream zs{};
  bool ready = false;
  std::vector<uint8_t> out;
  ~State() {
    if (ready) deflateEnd(&zs);
  }
};

Deflater::Deflater() = default;
Deflater::~Deflater() = default;

const uint8_t* Deflater::Deflate(const void* data, uint32_t length, size_t& compressedLength) {
  compressedLength = 0;
  try {
    if (!state_) state_ = std::make_unique<State>();
    z_stream& zs = state_->zs;
    if (!state_->ready) {
      zs = z_stream{};
      if (deflateInit_(&zs, 9, kZlibVersion, static_cast<int>(sizeof(z_stream))) != Z_OK) return nullptr;
      state_->ready = true;
    } else if (deflateReset(&zs) != Z_OK) {
      return nullptr;
    }
    // Room for the whole result, so that one call finishes the stream.
    const uLong bound = deflateBound(&zs, length);
    if (state_->out.size() < bound) state_->out.resize(bound);
    zs.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(data));
    zs.avail_in = length;
    zs.next_out = state_->out.data();
    zs.avail_out = static_cast<uInt>(state_->out.size());
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) return nullptr;
    compressedLength = state_->out.size() - zs.avail_out;
    return state_->out.data();
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace tolvane
