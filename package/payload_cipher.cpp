#include "package/payload_cipher.h"

#include <new>

#include "package/des_tables.h"

namespace {

// The tables of FIPS 46-3, bit numbers counted from 1 at the most significant bit.
constexpr uint8_t kIP[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                             62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                             57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                             61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};
constexpr uint8_t kFP[64] = {40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
                             38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
                             36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
                             34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};
constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
constexpr uint8_t kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                              10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                              63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                              14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr uint8_t kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
                              23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
                              41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
                              44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
// Cumulative left rotations of the key halves: the shifts 1 1 2 2 2 2 2 2 1 2 2 2 2 2 2 1 summed.
constexpr uint8_t kRotations[16] = {1, 2, 4, 6, 8, 10, 12, 14, 15, 17, 19, 21, 23, 25, 27, 28};
constexpr uint8_t kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,  0, 15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5,  3,  8,  4,  1,  14, 8,  13, 6, 2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2,  4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10, 3,  13, 4,  7,  15, 2,
     8,  14, 12, 0,  1,  10, 6,  9,  11, 5, 0,  14, 7,  11, 10, 4,  13, 1,  5,  8,  12, 6,
     9,  3,  2,  15, 13, 8,  10, 1,  3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,  13, 7,  0,  9,  3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6,  4,  9,  8,  15, 3,  0,  11, 1,  2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1,  2,  8,  5,  11, 12, 4,  15, 13, 8,  11, 5,  6, 15,
     0,  3,  4,  7, 2,  12, 1,  10, 14, 9,  10, 6,  9,  0,  12, 11, 7,  13, 15, 1,  3, 14,
     5,  2,  8,  4, 3,  15, 0,  6,  10, 1,  13, 8,  9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6, 8,  5,  3,  15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5,  0,  15, 10, 3,  9, 8,  6,  4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0,  14, 11, 8,  12, 7, 1,  14, 2,  13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6,  8,  0, 13, 3,  4,  14, 7,  5,  11, 10, 15, 4,  2,  7, 12,
     9,  5,  6,  1,  13, 14, 0,  11, 3, 8,  9,  14, 15, 5,  2,  8,  12, 3,  7,  0,  4, 10,
     1,  13, 11, 6,  4,  3,  2,  12, 9, 5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0,  8,  13, 3,  12, 9, 7,  5,  10, 6, 1,  13, 0,  11, 7,  4,  9,
     1,  10, 14, 3,  5,  12, 2,  15, 8,  6,  1, 4,  11, 13, 12, 3, 7,  14, 10, 15, 6,  8,
     0,  5,  9,  2,  6,  11, 13, 8,  1,  4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4,  6,  15, 11, 1,  10, 9, 3,  14, 5,  0,  12, 7,  1,  15, 13, 8,  10, 3,
     7,  4,  12, 5,  6,  11, 0,  14, 9,  2, 7,  11, 4,  1,  9,  12, 14, 2,  0,  6,  10, 13,
     15, 3,  5,  8,  2,  1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11}};

// Byte slot of each subkey group (0-based group g -> byte), see DesWorkTables::KeySchedule.
constexpr uint8_t kGroupSlot[8] = {3, 7, 2, 6, 1, 5, 0, 4};

thread_local DesWorkTables* tCurrent = nullptr;
thread_local int tAllocationsAllowed = -1;

bool AllocationAllowed() {
  if (tAllocationsAllowed == 0) return false;
  if (tAllocationsAllowed > 0) --tAllocationsAllowed;
  return true;
}

// Owns the calling thread's tables for the length of one call.
class TablesForCall {
 public:
  TablesForCall() {
    if (AllocationAllowed()) tables_.SP = new (std::nothrow) uint32_t[8][64];
    if (tables_.SP && AllocationAllowed()) tables_.KeySchedule = new (std::nothrow) uint8_t[16][8];
    if (tables_.KeySchedule && AllocationAllowed())
      tables_.InitialPermutation = new (std::nothrow) uint64_t[16][16];
    if (tables_.InitialPermutation && AllocationAllowed())
      tables_.FinalPermutation = new (std::nothrow) uint64_t[16][16];
    if (tables_.FinalPermutation) tCurrent = &tables_;
  }
  ~TablesForCall() {
    if (tCurrent == &tables_) tCurrent = nullptr;
    if (tables_.KeySchedule) {
      // The schedule is the key in another form: clear it before the memory goes back.
      volatile uint8_t* p = &tables_.KeySchedule[0][0];
      for (int i = 0; i < 16 * 8; ++i) p[i] = 0;
    }
    delete[] tables_.SP;
    delete[] tables_.KeySchedule;
    delete[] tables_.InitialPermutation;
    delete[] tables_.FinalPermutation;
  }
  TablesForCall(const TablesForCall&) = delete;
  TablesForCall& operator=(const TablesForCall&) = delete;

  bool ok() const { return tables_.FinalPermutation != nullptr; }
  DesWorkTables& tables() { return tables_; }

 private:
  DesWorkTables tables_;
};

void BuildPermutation(const uint8_t (&perm)[64], uint64_t (*table)[16]) {
  for (int n = 0; n < 16; ++n)
    for (int x = 0; x < 16; ++x) table[n][x] = 0;
  for (int out = 0; out < 64; ++out) {
    int in = perm[out] - 1;
    int nibble = in / 4;
    int bit = 3 - in % 4;
    for (int x = 0; x < 16; ++x)
      if (x >> bit & 1) table[nibble][x] |= uint64_t(1) << (63 - out);
  }
}

void BuildSP(uint32_t (*sp)[64]) {
  for (int s = 0; s < 8; ++s) {
    for (int v = 0; v < 64; ++v) {
      int row = (v >> 4 & 2) | (v & 1);
      int column = v >> 1 & 15;
      uint32_t beforeP = uint32_t(kS[s][row * 16 + column]) << (28 - 4 * s);
      uint32_t afterP = 0;
      for (int out = 0; out < 32; ++out)
        if (beforeP >> (32 - kP[out]) & 1) afterP |= uint32_t(1) << (31 - out);
      sp[s][v] = afterP;
    }
  }
}

void BuildKeySchedule(const uint8_t* key, uint8_t (*schedule)[8]) {
  uint64_t k = 0;
  for (int i = 0; i < 8; ++i) k = k << 8 | key[i];
  uint32_t c = 0, d = 0;  // the 28-bit halves selected by PC-1
  for (int i = 0; i < 28; ++i) c = c << 1 | uint32_t(k >> (64 - kPC1[i]) & 1);
  for (int i = 28; i < 56; ++i) d = d << 1 | uint32_t(k >> (64 - kPC1[i]) & 1);
  const uint32_t mask = (uint32_t(1) << 28) - 1;
  for (int r = 0; r < 16; ++r) {
    int n = kRotations[r];
    uint64_t cd = uint64_t((c << n | c >> (28 - n)) & mask) << 28 | ((d << n | d >> (28 - n)) & mask);
    for (int g = 0; g < 8; ++g) {
      uint8_t group = 0;
      for (int b = 0; b < 6; ++b) group = uint8_t(group << 1 | (cd >> (56 - kPC2[6 * g + b]) & 1));
      schedule[r][kGroupSlot[g]] = group;
    }
  }
}

inline uint32_t Rotl(uint32_t x, int n) { return x << n | x >> (32 - n); }

inline uint32_t LoadLE32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t LoadBE64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
  return v;
}

inline void StoreBE64(uint8_t* p, uint64_t v) {
  for (int i = 7; i >= 0; --i, v >>= 8) p[i] = uint8_t(v);
}

inline uint64_t Permute(const uint64_t (*table)[16], uint64_t x) {
  uint64_t out = 0;
  for (int n = 0; n < 16; ++n) out |= table[n][x >> (60 - 4 * n) & 15];
  return out;
}

// The round function. The expansion E is two rotations of the half: rotated left by one,
// its bytes' low six bits are the groups 2, 4, 6, 8; rotated right by three, groups 1, 3, 5, 7.
inline uint32_t Round(const uint32_t (*sp)[64], uint32_t r, uint32_t kOdd, uint32_t kEven) {
  uint32_t t = Rotl(r, 1) ^ kOdd;
  uint32_t u = Rotl(r, 29) ^ kEven;
  return sp[0][u >> 24 & 63] | sp[2][u >> 16 & 63] | sp[4][u >> 8 & 63] | sp[6][u & 63] |
         sp[1][t >> 24 & 63] | sp[3][t >> 16 & 63] | sp[5][t >> 8 & 63] | sp[7][t & 63];
}

struct Subkey {
  uint32_t even, odd;
};

// Several blocks go through the rounds side by side: each round's table look-ups wait on the
// previous round, so independent blocks fill the wait. Three is the most that stays in
// registers on i686 as well as on x86-64; four spills and is slower than two.
template <int Blocks>
inline void CryptBlocks(const DesWorkTables& t, const Subkey* keys, uint8_t* data) {
  uint32_t l[Blocks], r[Blocks];
  for (int b = 0; b < Blocks; ++b) {
    uint64_t x = Permute(t.InitialPermutation, LoadBE64(data + 8 * b));
    l[b] = uint32_t(x >> 32);
    r[b] = uint32_t(x);
  }
  for (int i = 0; i < 16; i += 2) {
    for (int b = 0; b < Blocks; ++b) l[b] ^= Round(t.SP, r[b], keys[i].odd, keys[i].even);
    for (int b = 0; b < Blocks; ++b) r[b] ^= Round(t.SP, l[b], keys[i + 1].odd, keys[i + 1].even);
  }
  for (int b = 0; b < Blocks; ++b)
    StoreBE64(data + 8 * b, Permute(t.FinalPermutation, uint64_t(r[b]) << 32 | l[b]));
}

bool CryptBuffer(uint8_t* buffer, size_t length, const uint8_t* key, bool decipher) {
  TablesForCall call;
  if (!call.ok()) return false;
  DesWorkTables& t = call.tables();
  BuildSP(t.SP);
  BuildPermutation(kIP, t.InitialPermutation);
  BuildPermutation(kFP, t.FinalPermutation);
  BuildKeySchedule(key, t.KeySchedule);

  // The subkeys in the order of use: 16 down to 1 when deciphering.
  Subkey keys[16];
  for (int i = 0; i < 16; ++i) {
    const uint8_t* k = t.KeySchedule[decipher ? 15 - i : i];
    keys[i] = {LoadLE32(k), LoadLE32(k + 4)};
  }
  size_t blocks = length / 8;
  size_t i = 0;
  for (; i + 3 <= blocks; i += 3) CryptBlocks<3>(t, keys, buffer + 8 * i);
  for (; i < blocks; ++i) CryptBlocks<1>(t, keys, buffer + 8 * i);
  volatile uint32_t* wipe = &keys[0].even;
  for (int j = 0; j < 32; ++j) wipe[j] = 0;
  return true;
}

}  // namespace

bool DecipherBuffer(uint8_t* buffer, size_t length, const uint8_t* key) {
  return CryptBuffer(buffer, length, key, true);
}

bool EncipherBuffer(uint8_t* buffer, size_t length, const uint8_t* key) {
  return CryptBuffer(buffer, length, key, false);
}

namespace tolvane::des_internal {

void FailTableAllocationAfter(int allowed) { tAllocationsAllowed = allowed; }

const DesWorkTables* CurrentTables() { return tCurrent; }

}  // namespace tolvane::des_internal
