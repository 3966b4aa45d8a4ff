// The payload cipher: DES (FIPS 46-3) in ECB mode over a buffer, in place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The 8-byte DES key of the payload. The low bit of each byte (parity) is ignored.
using PayloadKey = std::array<uint8_t, 8>;

// Deciphers the whole 8-byte blocks of buffer in place, first to last; a tail of fewer
// than 8 bytes is left as it is. Exactly 8 bytes are read from key. Returns false, with
// the buffer unchanged, only when the working tables cannot be allocated.
bool DecipherBuffer(uint8_t* buffer, size_t length, const uint8_t* key);

// The enciphering direction, with the same rules; used by the packaging tool.
bool EncipherBuffer(uint8_t* buffer, size_t length, const uint8_t* key);
