// zlib calls of the archive that read (the compressing ones are in zlib_deflate.cpp, so
// that a program that only reads archives links no compressor). Streams are initialised
// with the version string "1.2.3": zlib only compares the major version, and this is the
// version the archive format was made with.
#include "storage/inflate.h"

#include <zlib.h>

#include <algorithm>
#include <exception>
#include <new>

#include "storage/storage_format.h"
#include "storage/storage_types.h"
#include "storage/zlib_codec.h"

namespace tolvane {
namespace {

constexpr size_t kPiece = 0x4000;
constexpr const char* kZlibVersion = "1.2.3";
const Bytef kStoredHeader[2] = {storage_format::kZlibHeader0, storage_format::kZlibHeader1};

using Result = PieceInflater::Result;
using Output = PieceInflater::Output;

// Appends to a vector: the first piece as large as the hint, later ones half of what came
// so far (at least 16 KiB): fewer calls mean less copying into zlib's window.
class VectorOutput final : public Output {
 public:
  VectorOutput(std::vector<uint8_t>& out, uint32_t sizeHint, uint64_t limit)
      : out_(out), start_(out.size()), piece_(std::max<size_t>(kPiece, sizeHint)), limit_(limit) {}
  bool Room(uint8_t*& at, size_t& room) override {
    const size_t old = out_.size();
    if (limit_) {
      if (old - start_ >= limit_) return false;
      piece_ = static_cast<size_t>(std::min<uint64_t>(piece_, limit_ - (old - start_)));
    }
    if (out_.capacity() < old + piece_) out_.reserve(old + piece_);
    out_.resize(old + piece_);
    at = out_.data() + old;
    room = piece_;
    return true;
  }
  int Took(size_t n, bool) override {
    out_.resize(out_.size() - piece_ + n);
    if (n == 0) return kGoOn;
    piece_ = std::min<size_t>(std::max<size_t>(kPiece, (out_.size() - start_) / 2), 0x10000000);
    return kGoOn;
  }

 private:
  std::vector<uint8_t>& out_;
  const size_t start_;
  size_t piece_;
  const uint64_t limit_;
};

// Into a caller's buffer; what goes beyond it is only counted, up to the end of the 16 KiB
// piece of output in which it shows.
class BufferOutput final : public Output {
 public:
  BufferOutput(uint8_t* out, size_t capacity) : out_(out), capacity_(capacity) {}
  bool Room(uint8_t*& at, size_t& room) override {
    const size_t boundary = (total_ / kPiece + 1) * kPiece;
    const bool inside = total_ < capacity_;
    at = inside ? out_ + total_ : spill_;
    room = (inside ? std::min(boundary, capacity_) : boundary) - total_;
    return true;
  }
  int Took(size_t n, bool) override {
    total_ += n;
    return n && total_ % kPiece == 0 && total_ > capacity_ ? PieceInflater::TooLong : kGoOn;
  }
  Result Ending(Result r) override { return total_ > capacity_ ? PieceInflater::TooLong : r; }
  size_t Total() const { return total_; }

 private:
  uint8_t* out_;
  const size_t capacity_;
  size_t total_ = 0;
  uint8_t spill_[kPiece];
};

// Hands each piece on to take; TooLong beyond limit bytes.
class TakeOutput final : public Output {
 public:
  TakeOutput(uint8_t* buffer, size_t size, const PieceInflater::TakePiece& take, uint64_t limit)
      : buffer_(buffer), size_(size), take_(take), limit_(limit) {}
  bool Room(uint8_t*& at, size_t& room) override {
    at = buffer_;
    room = size_;
    return true;
  }
  int Took(size_t n, bool sound) override {
    if (!sound || n == 0) return kGoOn;
    if (produced_ + n > limit_) return PieceInflater::TooLong;
    if (!take_(buffer_, n)) return PieceInflater::Refused;
    produced_ += n;
    return kGoOn;
  }
  uint64_t Produced() const { return produced_; }

 private:
  uint8_t* buffer_;
  const size_t size_;
  const PieceInflater::TakePiece& take_;
  const uint64_t limit_;
  uint64_t produced_ = 0;
};

}  // namespace

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

Result PieceInflater::Run(const uint8_t* data, uint32_t length, const ReadPiece* read, bool stored, Output& out) {
  if (!state_) {
    state_.reset(new (std::nothrow) State);
    if (!state_) return NoMemory;
  }
  State& st = *state_;
  if (read && !st.input) {
    st.input.reset(new (std::nothrow) uint8_t[kInputPiece]);
    if (!st.input) return NoMemory;
  }
  z_stream& zs = st.zs;
  if (!st.ready) {
    zs = z_stream{};
    const int rc = inflateInit_(&zs, kZlibVersion, static_cast<int>(sizeof(z_stream)));
    if (rc != Z_OK) return rc == Z_MEM_ERROR ? NoMemory : Damaged;
    st.ready = true;
  } else if (inflateReset(&zs) != Z_OK) {
    return Damaged;
  }
  zs.next_in = nullptr;
  zs.avail_in = 0;
  // The header the stored form leaves out goes in first, on its own: it yields no output.
  if (stored) {
    Bytef none;
    zs.next_in = const_cast<Bytef*>(kStoredHeader);
    zs.avail_in = 2;
    zs.next_out = &none;
    zs.avail_out = 0;
    const int rc = inflate(&zs, Z_NO_FLUSH);
    if ((rc != Z_OK && rc != Z_BUF_ERROR) || zs.avail_in != 0) return rc == Z_MEM_ERROR ? NoMemory : Damaged;
  }
  const bool whole = read == nullptr;  // the payload lies at data
  uint32_t unread = length;
  try {
    for (;;) {
      uint8_t* at;
      size_t room;
      if (!out.Room(at, room)) return Limited;
      if (zs.avail_in == 0) {
        if (unread == 0) return out.Ending(Damaged);  // the stream stops short of its end
        if (whole) {
          zs.next_in = const_cast<Bytef*>(data);
          zs.avail_in = unread;
          unread = 0;
        } else {
          const uint32_t n = std::min(unread, kInputPiece);
          if (!(*read)(st.input.get(), n)) return ReadFailed;
          unread -= n;
          zs.next_in = st.input.get();
          zs.avail_in = n;
        }
      }
      zs.next_out = at;
      zs.avail_out = static_cast<uInt>(room);
      const int rc = inflate(&zs, Z_NO_FLUSH);
      const size_t n = room - zs.avail_out;
      // No progress with input left means the stream cannot go on.
      const bool bad = rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_MEM_ERROR || rc == Z_STREAM_ERROR ||
                       (rc == Z_BUF_ERROR && n == 0 && zs.avail_in != 0);
      const int took = out.Took(n, !bad);
      if (bad) return rc == Z_MEM_ERROR ? NoMemory : Damaged;
      if (took != Output::kGoOn) return static_cast<Result>(took);
      if (rc == Z_STREAM_END) return out.Ending(Ended);
    }
  } catch (const std::exception&) {
    return NoMemory;  // an output that could not grow, or a callback's wrapper
  }
}

Result PieceInflater::InflateStored(uint32_t storedLength, const ReadPiece& read, const TakePiece& take,
                                   uint64_t limit, uint64_t& produced) {
  produced = 0;
  if (!state_) {
    state_.reset(new (std::nothrow) State);
    if (!state_) return NoMemory;
  }
  if (!state_->output) {
    state_->output.reset(new (std::nothrow) uint8_t[kOutputPiece]);
    if (!state_->output) return NoMemory;
  }
  TakeOutput out(state_->output.get(), kOutputPiece, take, limit);
  const Result r = Run(nullptr, storedLength, &read, true, out);
  produced = out.Produced();
  return r;
}

Result PieceInflater::AppendTo(const uint8_t* data, uint32_t length, bool stored, std::vector<uint8_t>& out,
                               uint32_t sizeHint, uint64_t limit) {
  VectorOutput sink(out, sizeHint, limit);
  return Run(data, length, nullptr, stored, sink);
}

Result PieceInflater::InflateInto(const uint8_t* payload, uint32_t length, uint8_t* out, size_t capacity,
                                  size_t& produced) {
  produced = 0;
  BufferOutput into(out, capacity);
  const Result r = Run(payload, length, nullptr, true, into);
  if (r == Ended) produced = into.Total();
  return r;
}

Result PieceInflater::HandTo(const uint8_t* data, uint32_t length, bool stored, const TakePiece& take) {
  uint8_t piece[kPiece];
  TakeOutput out(piece, kPiece, take, UINT64_MAX);
  return Run(data, length, nullptr, stored, out);
}

int32_t InflateFailureCode(PieceInflater::Result result) {
  switch (result) {
    case PieceInflater::ReadFailed: return StorageReadFailed;
    case PieceInflater::Refused: return StorageWriteFailed;
    case PieceInflater::NoMemory: return StorageNoMemory;
    default: return StorageInflateFailed;
  }
}

// ---------------------------------------------------------------------------------------
// The shapes the rest of the program and the tools call

bool InflateZlib(const uint8_t* data, uint32_t length, std::vector<uint8_t>& out, uint32_t sizeHint) {
  bool limited;
  return InflateZlibAtMost(data, length, out, sizeHint, 0, limited);
}

bool InflateZlibAtMost(const uint8_t* data, uint32_t length, std::vector<uint8_t>& out, uint32_t sizeHint,
                       uint64_t limit, bool& limited) {
  PieceInflater inflater;
  const Result r = inflater.AppendTo(data, length, false, out, sizeHint, limit);
  limited = r == PieceInflater::Limited;
  return r == PieceInflater::Ended || limited;
}

bool InflateStored(const uint8_t* payload, uint32_t length, std::vector<uint8_t>& out) {
  PieceInflater inflater;
  return inflater.AppendTo(payload, length, true, out, 0, 0) == PieceInflater::Ended;
}

bool InflateZlibTo(const uint8_t* data, uint32_t length, const std::function<bool(const uint8_t*, size_t)>& sink) {
  PieceInflater inflater;
  return inflater.HandTo(data, length, false, sink) == PieceInflater::Ended;
}

Inflater::Inflater() = default;
Inflater::~Inflater() = default;

Inflater::Result Inflater::InflateStored(const uint8_t* payload, uint32_t length, uint8_t* out, size_t capacity,
                                         size_t& produced) {
  produced = 0;
  if (!inflater_) {
    inflater_.reset(new (std::nothrow) PieceInflater);
    if (!inflater_) return Damaged;
  }
  switch (inflater_->InflateInto(payload, length, out, capacity, produced)) {
    case PieceInflater::Ended: return Ended;
    case PieceInflater::TooLong: return TooLong;
    default: return Damaged;
  }
}

}  // namespace tolvane
