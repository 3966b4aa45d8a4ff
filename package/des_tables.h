// Working tables of one DES call. Built at the start of a call, released at its end and
// reachable only from the calling thread, so a key never outlives the call in memory and
// concurrent calls share nothing.
#pragma once

#include <cstdint>

struct DesWorkTables {
  // Entry v of table s: the output of S-box s+1 for the 6-bit input v, already sent
  // through the permutation P. 8 x 64 words.
  uint32_t (*SP)[64] = nullptr;
  // 16 subkeys, one 6-bit group per byte. Within a subkey the groups are stored as
  // 7 5 3 1 | 8 6 4 2 (counting from 1), so that each 32-bit half, read little-endian,
  // lines up with one rotation of the expanded half-block and is applied with one XOR
  // (kDesGroupSlot below gives the byte of each group).
  uint8_t (*KeySchedule)[8] = nullptr;
  // Entry [n][x]: the 64-bit output contribution of input nibble n having the value x;
  // a permutation is the OR of 16 entries.
  uint64_t (*InitialPermutation)[16] = nullptr;
  uint64_t (*FinalPermutation)[16] = nullptr;
  // The bitsliced cipher's key masks and the batch it works on (des_bitslice.h); only
  // obtained when a call has a whole batch of blocks and the processor can run it.
  void* Bitsliced = nullptr;
};

// Byte of KeySchedule[r] that holds 6-bit group g (0-based) of subkey r.
inline constexpr uint8_t kDesGroupSlot[8] = {3, 7, 2, 6, 1, 5, 0, 4};
