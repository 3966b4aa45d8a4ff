// Key block layout (128 bytes):
//
//   offset size
//     0     4   "TVKB"                        marks a key block of this provider
//     4     8   nonce                         the payload key enciphered (DES) under the
//                                             nonce key; ties the block to its key and
//                                             makes the keystream differ per key
//    12   112   sealed record                 XORed with a DES keystream under the
//                                             provider key: block i of the keystream is
//                                             the nonce XOR i (big-endian) enciphered
//   124     4   CRC-32 of bytes 0..123        catches damage anywhere in the block
//
//   sealed record (112 bytes, before sealing):
//     0     4   "PKEY"
//     4     2   layout version, 1 (little-endian)
//     6     2   key length, 8
//     8     8   the payload key
//    16     4   CRC-32 of record bytes 0..15  the check over the key itself
//    20    92   zero
//
// A block made under another provider key passes the outer CRC but unseals to noise,
// which the inner magic, the lengths, the key's CRC, the zero filler and the nonce all
// have to survive. The provider and nonce keys below are part of the program.
#include "package/key_provider.h"

#include <zlib.h>

#include <cstring>

#include "common/little_endian.h"

namespace {

using tolvane::LoadLe16;
using tolvane::LoadLe32;
using tolvane::StoreLe32;

constexpr uint8_t kProviderKey[8] = {0x5B, 0xC2, 0x94, 0x1F, 0x6D, 0xA7, 0x38, 0xE0};
constexpr uint8_t kNonceKey[8] = {0xA4, 0x19, 0x7E, 0xD3, 0x52, 0x8B, 0xF6, 0x2C};
constexpr uint8_t kOuterMagic[4] = {'T', 'V', 'K', 'B'};
constexpr uint8_t kInnerMagic[4] = {'P', 'K', 'E', 'Y'};
constexpr size_t kNonceAt = 4, kSealedAt = 12, kSealedSize = 112, kOuterCrcAt = 124;
constexpr size_t kKeyAt = 8, kKeyCrcAt = 16, kFillerAt = 20;
constexpr uint16_t kLayoutVersion = 1;

uint32_t Crc32(const uint8_t* data, size_t size) {
  return uint32_t(crc32(crc32(0L, Z_NULL, 0), data, unsigned(size)));
}

// Clears memory that held key material, in a way the compiler keeps.
void Wipe(void* p, size_t n) {
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  while (n--) *v++ = 0;
}

bool MakeNonce(const uint8_t* key, uint8_t* nonce) {
  std::memcpy(nonce, key, 8);
  return EncipherBuffer(nonce, 8, kNonceKey);
}

// XORs the sealed area with the keystream derived from the nonce; sealing and unsealing
// are the same operation.
bool ApplyKeystream(const uint8_t* nonce, uint8_t* sealed) {
  uint8_t stream[kSealedSize];
  for (size_t block = 0; block < kSealedSize / 8; ++block) {
    std::memcpy(stream + 8 * block, nonce, 8);
    stream[8 * block + 7] ^= uint8_t(block);
  }
  bool ok = EncipherBuffer(stream, sizeof stream, kProviderKey);
  if (ok)
    for (size_t i = 0; i < kSealedSize; ++i) sealed[i] ^= stream[i];
  Wipe(stream, sizeof stream);
  return ok;
}

bool AllZero(const uint8_t* p, size_t n) {
  uint8_t any = 0;
  for (size_t i = 0; i < n; ++i) any |= p[i];
  return any == 0;
}

}  // namespace

bool KeyProvider(const std::array<uint8_t, 128>& keyBlock, PayloadKey& key) {
  key.fill(0);
  const uint8_t* block = keyBlock.data();
  if (std::memcmp(block, kOuterMagic, 4) != 0) return false;
  if (Crc32(block, kOuterCrcAt) != LoadLe32(block + kOuterCrcAt)) return false;

  uint8_t record[kSealedSize];
  std::memcpy(record, block + kSealedAt, kSealedSize);
  bool ok = ApplyKeystream(block + kNonceAt, record) &&
            std::memcmp(record, kInnerMagic, 4) == 0 &&
            LoadLe16(record + 4) == kLayoutVersion && LoadLe16(record + 6) == 8 &&
            Crc32(record, kKeyCrcAt) == LoadLe32(record + kKeyCrcAt) &&
            AllZero(record + kFillerAt, kSealedSize - kFillerAt) && !AllZero(record + kKeyAt, 8);
  if (ok) {
    uint8_t nonce[8];
    ok = MakeNonce(record + kKeyAt, nonce) && std::memcmp(nonce, block + kNonceAt, 8) == 0;
    Wipe(nonce, sizeof nonce);
  }
  if (ok) std::memcpy(key.data(), record + kKeyAt, 8);
  Wipe(record, sizeof record);
  return ok;
}

std::array<uint8_t, 128> MakeKeyBlock(const PayloadKey& key) {
  std::array<uint8_t, 128> out{};
  if (AllZero(key.data(), key.size())) return out;
  uint8_t* block = out.data();
  std::memcpy(block, kOuterMagic, 4);
  uint8_t* record = block + kSealedAt;
  std::memcpy(record, kInnerMagic, 4);
  record[4] = uint8_t(kLayoutVersion);
  record[6] = 8;
  std::memcpy(record + kKeyAt, key.data(), 8);
  StoreLe32(record + kKeyCrcAt, Crc32(record, kKeyCrcAt));
  if (!MakeNonce(key.data(), block + kNonceAt) || !ApplyKeystream(block + kNonceAt, record)) {
    out.fill(0);
    return out;
  }
  StoreLe32(block + kOuterCrcAt, Crc32(block, kOuterCrcAt));
  return out;
}
