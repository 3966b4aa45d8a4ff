// DES on 128 blocks at once with SSE2: bit n of every block of a batch goes into one
// 128-bit register (one block per bit), so each S-box becomes a few dozen logic
// operations on whole registers (des_circuits.h) and the bit permutations become a
// choice of register. Used by the payload cipher for whole batches when the processor
// has SSE2; the table code does everything else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace des_bitslice {

inline constexpr size_t kBatchBlocks = 128;
// Bytes of the work area that SetKey and CryptBatches use (key masks and one batch),
// with room to align it.
inline constexpr size_t kWorkBytes = 16 * 48 * 16 + 128 * 16 + 15;

// Whether the processor runs the SSE2 code (always on x86-64).
bool Available();

// Writes the key masks of the 16 rounds into work. schedule is laid out as
// DesWorkTables::KeySchedule; decipher uses its subkeys from 16 down to 1.
void SetKey(void* work, const uint8_t (*schedule)[8], bool decipher);

// Enciphers or deciphers (as SetKey chose) `batches` batches of kBatchBlocks blocks of
// data in place. data needs no alignment.
void CryptBatches(void* work, uint8_t* data, size_t batches);

// Clears the work area (the key masks are the key in another form).
void Wipe(void* work);

}  // namespace des_bitslice
