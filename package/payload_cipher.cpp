#include "package/payload_cipher.h"

#include "common/little_endian.h"
#include "package/des_bitslice.h"
#include "package/des_standard.h"
#include "package/des_table_memory.h"
#include "package/des_tables.h"

namespace {

using tolvane::LoadLe32;

using namespace des_standard;

template <typename T>
T* Obtain(size_t bytes) {
  return static_cast<T*>(ObtainDesTable(bytes));
}

// Owns the calling thread's tables for the length of one call.
class TablesForCall {
 public:
  explicit TablesForCall(bool bitsliced) {
    tables_.SP = Obtain<uint32_t[64]>(sizeof(uint32_t[8][64]));
    if (tables_.SP) tables_.KeySchedule = Obtain<uint8_t[8]>(sizeof(uint8_t[16][8]));
    if (tables_.KeySchedule) tables_.InitialPermutation = Obtain<uint64_t[16]>(sizeof(uint64_t[16][16]));
    if (tables_.InitialPermutation) tables_.FinalPermutation = Obtain<uint64_t[16]>(sizeof(uint64_t[16][16]));
    ok_ = tables_.FinalPermutation != nullptr;
    if (ok_ && bitsliced) {
      tables_.Bitsliced = ObtainDesTable(des_bitslice::kWorkBytes);
      ok_ = tables_.Bitsliced != nullptr;
    }
  }
  ~TablesForCall() {
    if (tables_.KeySchedule) {
      // The schedule is the key in another form: clear it before the memory goes back.
      volatile uint8_t* p = &tables_.KeySchedule[0][0];
      for (int i = 0; i < 16 * 8; ++i) p[i] = 0;
    }
    if (tables_.Bitsliced) des_bitslice::Wipe(tables_.Bitsliced);
    ReleaseDesTable(tables_.SP);
    ReleaseDesTable(tables_.KeySchedule);
    ReleaseDesTable(tables_.InitialPermutation);
    ReleaseDesTable(tables_.FinalPermutation);
    ReleaseDesTable(tables_.Bitsliced);
  }
  TablesForCall(const TablesForCall&) = delete;
  TablesForCall& operator=(const TablesForCall&) = delete;

  bool ok() const { return ok_; }
  DesWorkTables& tables() { return tables_; }

 private:
  DesWorkTables tables_;
  bool ok_ = false;
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
      schedule[r][kDesGroupSlot[g]] = group;
    }
  }
}

inline uint32_t Rotl(uint32_t x, int n) { return x << n | x >> (32 - n); }

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
  const size_t blocks = length / 8;
  const size_t batches =
      blocks >= des_bitslice::kBatchBlocks && des_bitslice::Available() ? blocks / des_bitslice::kBatchBlocks : 0;
  TablesForCall call(batches > 0);
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
    keys[i] = {LoadLe32(k), LoadLe32(k + 4)};
  }
  size_t i = 0;
  if (batches > 0) {
    des_bitslice::SetKey(t.Bitsliced, t.KeySchedule, decipher);
    des_bitslice::CryptBatches(t.Bitsliced, buffer, batches);
    i = batches * des_bitslice::kBatchBlocks;
  }
  // The blocks that do not fill a batch, or all of them without SSE2.
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
