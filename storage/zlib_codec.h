// Deflate and inflate as the archive uses them: one zlib stream at level 9, output
// collected in 16 KiB pieces. Stored payloads lack the two zlib header bytes, so readers
// put 0x78 0xDA in front before inflating.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

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

}  // namespace tolvane
