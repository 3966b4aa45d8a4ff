// zlib calls of the archive that read (the compressing ones are in zlib_deflate.cpp, so
// that a program that only reads archives links no compressor). Streams are initialised with the version string "1.2.3": zlib
// only compares the major version, and this is the version the archive format was made with.
#include "storage/zlib_codec.h"

#include <zlib.h>

#include <algorithm>
#include <exception>
#include <new>

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

}  // namespace

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

// ---------------------------------------------------------------------------------------
// Piecewise inflation

struct PieceInflater::State {
  z_stream zs{};
  bool ready = false;
  std::unique_ptr<uint8_t[]> input, output;
  ~State() {
    if (ready) inflateEnd(&zs);
  }
};

PieceInflater::PieceInflater() = default;
PieceInflater::~PieceInflater() = default;

PieceInflater::Result PieceInflater::InflateStored(uint32_t storedLength, const ReadPiece& read,
                                                   const TakePiece& take, uint64_t limit, uint64_t& produced) {
  produced = 0;
  if (!state_) {
    state_.reset(new (std::nothrow) State);
    if (!state_) return NoMemory;
  }
  State& st = *state_;
  if (!st.input) st.input.reset(new (std::nothrow) uint8_t[kInputPiece]);
  if (!st.output) st.output.reset(new (std::nothrow) uint8_t[kOutputPiece]);
  if (!st.input || !st.output) return NoMemory;
  z_stream& zs = st.zs;
  if (!st.ready) {
    zs = z_stream{};
    const int rc = inflateInit_(&zs, kZlibVersion, static_cast<int>(sizeof(z_stream)));
    if (rc != Z_OK) return rc == Z_MEM_ERROR ? NoMemory : Damaged;
    st.ready = true;
  } else if (inflateReset(&zs) != Z_OK) {
    return Damaged;
  }
  // The two header bytes the stored form leaves out go first.
  static const Bytef kHeader[2] = {storage_format::kZlibHeader0, storage_format::kZlibHeader1};
  zs.next_in = const_cast<Bytef*>(kHeader);
  zs.avail_in = 2;
  uint32_t unread = storedLength;
  for (;;) {
    if (zs.avail_in == 0) {
      if (unread == 0) return Damaged;  // the stream stops short of its end
      const uint32_t n = std::min(unread, kInputPiece);
      if (!read(st.input.get(), n)) return ReadFailed;
      unread -= n;
      zs.next_in = st.input.get();
      zs.avail_in = n;
    }
    zs.next_out = st.output.get();
    zs.avail_out = kOutputPiece;
    const int rc = inflate(&zs, Z_NO_FLUSH);
    const size_t n = kOutputPiece - zs.avail_out;
    if (rc == Z_MEM_ERROR) return NoMemory;
    if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_STREAM_ERROR) return Damaged;
    if (rc == Z_BUF_ERROR && n == 0 && zs.avail_in != 0) return Damaged;  // no progress possible
    if (n) {
      if (produced + n > limit) return TooLong;
      if (!take(st.output.get(), n)) return Refused;
      produced += n;
    }
    if (rc == Z_STREAM_END) return Ended;
  }
}

}  // namespace tolvane
