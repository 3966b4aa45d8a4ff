// Deflate and inflate as the archive uses them: one zlib stream at level 9. Stored payloads
// lack the two zlib header bytes, which readers put back in front before inflating. Every
// inflate below is a shape of PieceInflater::Run (inflate.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "storage/inflate.h"
#include "storage/storage_types.h"

namespace tolvane {

// Compresses data at level 9 into out (a complete zlib stream, header included).
// False when zlib cannot be initialised or the output cannot be allocated.
bool DeflateLevel9(const void* data, uint32_t length, std::vector<uint8_t>& out);

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

// A stored payload into a fixed buffer, kept for one payload after another. Not for use
// by two threads at once.
class Inflater {
 public:
  enum Result { Ended, Damaged, TooLong };
  Inflater();
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Inflates a stored payload into out[0, capacity); `produced` is the content's length
  // when the stream ended. Damaged for a damaged or truncated stream (or no memory for
  // zlib), TooLong for content longer than capacity, decided as InflateInto decides it.
  Result InflateStored(const uint8_t* payload, uint32_t length, uint8_t* out, size_t capacity, size_t& produced);

 private:
  std::unique_ptr<PieceInflater> inflater_;
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
