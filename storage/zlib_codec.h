// Deflate and inflate as the archive uses them: one zlib stream at level 9, output
// collected in 16 KiB pieces. Stored payloads lack the two zlib header bytes, so readers
// put 0x78 0xDA in front before inflating.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace tolvane {

// Compresses data at level 9 into out (a complete zlib stream, header included).
// False when zlib cannot be initialised or the output cannot be allocated.
bool DeflateLevel9(const void* data, uint32_t length, std::vector<uint8_t>& out);

// What an archive compresses its blocks with, in DeflateLevel9's place: a complete zlib
// stream with the level-9 header 0x78 0xDA, which any inflater reads back. False on failure.
// Must not throw.
using Compressor = bool (*)(const void* data, uint32_t length, std::vector<uint8_t>& out);

// True when a compressor's output starts with the level-9 header the format expects.
bool HasLevel9Header(const std::vector<uint8_t>& compressed);

// Inflates a zlib stream, appending to out. Bytes after the end of the stream are ignored.
// An empty input, a truncated stream, a bad checksum or a dictionary request fail.
// sizeHint (0: none) lets the output buffer start at a likely size.
bool InflateZlib(const uint8_t* data, uint32_t length, std::vector<uint8_t>& out, uint32_t sizeHint = 0);

// As InflateZlib, but stops once limit bytes have been appended (0: no limit); limited
// then tells whether it stopped there, before the stream's end (whose checksum is then
// not seen). Untrusted input cannot make out grow beyond the limit.
bool InflateZlibAtMost(const uint8_t* data, uint32_t length, std::vector<uint8_t>& out, uint32_t sizeHint,
                       uint64_t limit, bool& limited);

// Inflates a stored payload (without its two header bytes).
bool InflateStored(const uint8_t* payload, uint32_t length, std::vector<uint8_t>& out);

// Inflates a zlib stream piece by piece, handing each piece of output to sink; a sink that
// returns false stops the inflation with failure.
bool InflateZlibTo(const uint8_t* data, uint32_t length,
                   const std::function<bool(const uint8_t*, size_t)>& sink);

// An inflate stream kept for one stream after another (inflateReset, not a new stream
// and its state each time). Not for use by two threads at once.
class Inflater {
 public:
  enum Result { Ended, Damaged, TooLong };
  Inflater();
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Inflates a stored payload (the zlib stream without its two header bytes) into
  // out[0, capacity); `produced` is the content's length when the stream ended. Damaged
  // for a damaged or truncated stream (or no memory for zlib), TooLong for content longer
  // than capacity. Which of the two a damaged, too long stream gives is decided as
  // InflateZlibTo decides it for a sink that refuses more than capacity bytes: by the
  // 16 KiB piece of output in which either shows first, damage first within a piece.
  Result InflateStored(const uint8_t* payload, uint32_t length, uint8_t* out, size_t capacity, size_t& produced);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Inflates stored payloads that are read in pieces, handing the content on in pieces:
// memory is two fixed buffers and one zlib stream, whatever the payload's size. Kept from
// one payload to the next (inflateReset). Not for use by two threads at once.
class PieceInflater {
 public:
  static constexpr uint32_t kInputPiece = 0x20000;   // stored bytes read at a time
  static constexpr uint32_t kOutputPiece = 0x20000;  // content handed on at a time, at most
  enum Result {
    Ended,       // the stream ended and its checksum matched; `produced` is the content's length
    Damaged,     // damaged or truncated stream, a bad checksum, or a dictionary request
    ReadFailed,  // read refused a piece
    Refused,     // take refused a piece
    TooLong,     // the content would exceed limit
    NoMemory,    // the buffers or zlib's state could not be allocated
  };
  // read(buffer, n) fills buffer with the next n stored bytes; take(data, n) receives the
  // next n bytes of content (some may have been taken before a later failure). Bytes
  // after the end of the stream are not read.
  using ReadPiece = std::function<bool(uint8_t* buffer, uint32_t length)>;
  using TakePiece = std::function<bool(const uint8_t* data, size_t length)>;

  PieceInflater();
  ~PieceInflater();
  PieceInflater(const PieceInflater&) = delete;
  PieceInflater& operator=(const PieceInflater&) = delete;

  Result InflateStored(uint32_t storedLength, const ReadPiece& read, const TakePiece& take, uint64_t limit,
                       uint64_t& produced);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A level-9 deflate stream kept for one input after another (deflateReset): the same
// bytes as DeflateLevel9, without setting up zlib's level-9 tables each time.
class Deflater {
 public:
  Deflater();
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Compresses data into a buffer of its own (a complete zlib stream, header included),
  // valid until the next call; null when zlib or the buffer fail.
  const uint8_t* Deflate(const void* data, uint32_t length, size_t& compressedLength);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tolvane
