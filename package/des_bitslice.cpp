#include "package/des_bitslice.h"

#include <cstring>

#include "package/des_standard.h"
#include "package/des_tables.h"

#if defined(__x86_64__) || defined(__i386__)
#define DES_BITSLICE_SSE2 1
#include <cpuid.h>
#include <emmintrin.h>
#endif

namespace des_bitslice {

namespace {

// The work area starts at the next 16-byte boundary.
uint8_t* Aligned(void* work) {
  return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(work) + 15) & ~uintptr_t(15));
}

}  // namespace

void SetKey(void* work, const uint8_t (*schedule)[8], bool decipher) {
  // One 16-byte mask per key bit and round: all ones where the bit is set, so that the
  // key XOR is one operation on a whole register.
  uint8_t* masks = Aligned(work);
  for (int r = 0; r < 16; ++r) {
    const uint8_t* subkey = schedule[decipher ? 15 - r : r];
    for (int s = 0; s < 8; ++s) {
      for (int k = 0; k < 6; ++k) {
        uint8_t fill = (subkey[kDesGroupSlot[s]] >> (5 - k) & 1) ? 0xFF : 0x00;
        std::memset(masks + 16 * (48 * r + 6 * s + k), fill, 16);
      }
    }
  }
}

void Wipe(void* work) {
  std::memset(work, 0, kWorkBytes);
  // Keeps the compiler from dropping the clearing of memory that is released next.
  __asm__ __volatile__("" : : "r"(work) : "memory");
}

#ifndef DES_BITSLICE_SSE2

bool Available() { return false; }
void CryptBatches(void*, uint8_t*, size_t) {}

#else

bool Available() {
#if defined(__x86_64__)
  return true;
#else
  // CPUID leaf 1, EDX bit 26 (asked directly: libgcc's processor model costs 2 KB).
  unsigned eax, ebx, ecx, edx;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (edx & bit_SSE2) != 0;
#endif
}

}  // namespace des_bitslice

// The i686 program's baseline has no SSE2: only the code below uses it, and only once
// Available() said yes. (x86-64 always has it.)
#if !defined(__SSE2__)
#define DES_BITSLICE_TARGET_PUSHED 1
#pragma GCC push_options
#pragma GCC target("sse2")
#endif

#include "package/des_circuits.h"

namespace des_bitslice {

namespace {

using V = __m128i;

// Input half-block bit of input k (0..5) of S-box s under the expansion E.
constexpr int Expanded(int s, int k) { return (4 * s + k + 31) % 32; }

struct Indexes {
  uint8_t ToP[32];       // S-box output bit j lands in f's bit ToP[j]
  uint8_t Left[32];      // register of L0 bit i in a transposed batch
  uint8_t Right[32];     // ... of R0 bit i
  uint8_t Output[64];    // register of the transposed output that takes pre-output bit m
};

constexpr Indexes MakeIndexes() {
  Indexes x{};
  for (int i = 0; i < 32; ++i) x.ToP[des_standard::kP[i] - 1] = uint8_t(i);
  // A batch transposed by Transpose holds DES bit n (most significant first) of every
  // block in register n ^ 7: the bytes keep their order, the bits within them do not.
  for (int i = 0; i < 32; ++i) {
    x.Left[i] = uint8_t((des_standard::kIP[i] - 1) ^ 7);
    x.Right[i] = uint8_t((des_standard::kIP[32 + i] - 1) ^ 7);
  }
  for (int n = 0; n < 64; ++n) x.Output[des_standard::kFP[n] - 1] = uint8_t(n ^ 7);
  return x;
}

constexpr Indexes kIndexes = MakeIndexes();

using Box = void (*)(const V&, const V&, const V&, const V&, const V&, const V&, V&, V&, V&, V&);

// One S-box of a round: six expanded bits of src with the key applied in, four bits of f
// XORed into dst.
template <int S, Box B>
inline void ApplyBox(const V* src, V* dst, const V* key) {
  const V* k = key + 6 * S;
  B(src[Expanded(S, 0)] ^ k[0], src[Expanded(S, 1)] ^ k[1], src[Expanded(S, 2)] ^ k[2],
    src[Expanded(S, 3)] ^ k[3], src[Expanded(S, 4)] ^ k[4], src[Expanded(S, 5)] ^ k[5],
    dst[kIndexes.ToP[4 * S]], dst[kIndexes.ToP[4 * S + 1]], dst[kIndexes.ToP[4 * S + 2]],
    dst[kIndexes.ToP[4 * S + 3]]);
}

void Round(const V* src, V* dst, const V* key) {
  using namespace des_circuits;
  ApplyBox<0, SBox1<V>>(src, dst, key);
  ApplyBox<1, SBox2<V>>(src, dst, key);
  ApplyBox<2, SBox3<V>>(src, dst, key);
  ApplyBox<3, SBox4<V>>(src, dst, key);
  ApplyBox<4, SBox5<V>>(src, dst, key);
  ApplyBox<5, SBox6<V>>(src, dst, key);
  ApplyBox<6, SBox7<V>>(src, dst, key);
  ApplyBox<7, SBox8<V>>(src, dst, key);
}

// Exchanges bit D of the register number with bit D of each 64-bit lane (D = 1, 2, ... 32),
// for all 32 pairs of registers at once.
template <int D>
inline void SwapStage(V* p, V mask) {
  for (int v = 0; v < 64; ++v) {
    if (v & D) continue;
    V a = p[v], b = p[v + D];
    V t = (_mm_srli_epi64(a, D) ^ b) & mask;
    p[v + D] = b ^ t;
    p[v] = a ^ _mm_slli_epi64(t, D);
  }
}

// 64 registers loaded from 128 blocks (register v holds blocks 2v and 2v+1) become one
// register per bit position: register 8y + t holds bit t (0 the least significant) of byte
// y of every block, block 2q + h in bit q of lane h. The stages commute and each undoes
// itself, so the same call turns a transposed batch back.
void Transpose(V* p) {
  SwapStage<1>(p, _mm_set1_epi64x(0x5555555555555555LL));
  SwapStage<2>(p, _mm_set1_epi64x(0x3333333333333333LL));
  SwapStage<4>(p, _mm_set1_epi64x(0x0F0F0F0F0F0F0F0FLL));
  SwapStage<8>(p, _mm_set1_epi64x(0x00FF00FF00FF00FFLL));
  SwapStage<16>(p, _mm_set1_epi64x(0x0000FFFF0000FFFFLL));
  SwapStage<32>(p, _mm_set1_epi64x(0x00000000FFFFFFFFLL));
}

}  // namespace

#if defined(__i386__)
// 32-bit callers may hand over a stack aligned to 4 bytes only.
__attribute__((force_align_arg_pointer))
#endif
void CryptBatches(void* work, uint8_t* data, size_t batches) {
  V* keys = reinterpret_cast<V*>(Aligned(work));
  V* planes = keys + 16 * 48;
  V* halves = planes + 64;  // L in the first 32, R in the next
  for (size_t n = 0; n < batches; ++n, data += 16 * 64) {
    for (int v = 0; v < 64; ++v) planes[v] = _mm_loadu_si128(reinterpret_cast<const V*>(data + 16 * v));
    Transpose(planes);
    for (int i = 0; i < 32; ++i) {
      halves[i] = planes[kIndexes.Left[i]];
      halves[32 + i] = planes[kIndexes.Right[i]];
    }
    // The halves take turns: round r updates L when r is even, R when odd, so after 16
    // rounds L holds L16 and R holds R16 without any swapping.
    V* src = halves + 32;
    V* dst = halves;
    for (int r = 0; r < 16; ++r) {
      Round(src, dst, keys + 48 * r);
      V* t = src;
      src = dst;
      dst = t;
    }
    // Pre-output R16 L16 through the final permutation.
    for (int m = 0; m < 32; ++m) {
      planes[kIndexes.Output[m]] = halves[32 + m];
      planes[kIndexes.Output[32 + m]] = halves[m];
    }
    Transpose(planes);
    for (int v = 0; v < 64; ++v) _mm_storeu_si128(reinterpret_cast<V*>(data + 16 * v), planes[v]);
  }
}

#ifdef DES_BITSLICE_TARGET_PUSHED
#pragma GCC pop_options
#endif

#endif  // DES_BITSLICE_SSE2

}  // namespace des_bitslice
