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
  // lines up with one rotation of the expanded half-block and is applied with one XOR.
  uint8_t (*KeySchedule)[8] = nullptr;
  // Entry [n][x]: the 64-bit output contribution of input nibble n having the value x;
  // a permutation is the OR of 16 entries.
  uint64_t (*InitialPermutation)[16] = nullptr;
  uint64_t (*FinalPermutation)[16] = nullptr;
};

namespace tolvane::des_internal {

// Test hook: makes the allocation that follows `allowed` more successful ones on this
// thread fail, as if memory were exhausted. A negative value turns the hook off.
void FailTableAllocationAfter(int allowed);

// The calling thread's tables while a cipher call runs on it; null otherwise.
const DesWorkTables* CurrentTables();

}  // namespace tolvane::des_internal
