// Throughput of DecipherBuffer against OpenSSL's DES-ECB (libcrypto) on the same buffer
// in the same run. The two are timed in turn, round after round, and the figure is the
// median of the rounds' ratios, so that one disturbed round cannot swing it. Prints rates
// and ratios (ending with the `ratio` line of the benchmark command); exits non-zero only
// when the outputs differ.
//
//   bench_des [MiB] [rounds]
//   bench_des --openssl-rate [MiB] [rounds]
//       OpenSSL's decipher rate alone, best of the rounds, as `rate MIB_PER_S`, and the
//       checksum of its output: the host side of des_win_peer.sh.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "package/payload_cipher.h"
#include "tests/bench/des_bench_data.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using Cipher = std::function<bool(uint8_t*, size_t)>;
const uint8_t* const kKey = des_bench::kKey;

// One timing of fn over a fresh copy of input, in MiB/s; the result is left in work.
double Rate(const Bytes& input, const Cipher& fn, Bytes& work) {
  work = input;
  auto start = Clock::now();
  if (!fn(work.data(), work.size())) return -1;
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return double(input.size()) / (1 << 20) / seconds;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Best(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

// Times a and b in turn `rounds` times: the best rate of each and the median ratio a/b.
struct Pair {
  double a, b, ratio;
  bool same;
};
Pair Interleaved(const Bytes& input, int rounds, const Cipher& a, const Cipher& b) {
  std::vector<double> ra, rb, ratios;
  Bytes outA, outB;
  bool same = true;
  for (int r = 0; r < rounds; ++r) {
    ra.push_back(Rate(input, a, outA));
    rb.push_back(Rate(input, b, outB));
    ratios.push_back(ra.back() / rb.back());
    same = same && outA == outB;
  }
  return {Best(ra), Best(rb), Median(ratios), same};
}

}  // namespace

int main(int argc, char** argv) {
  bool opensslOnly = argc > 1 && std::strcmp(argv[1], "--openssl-rate") == 0;
  int first = opensslOnly ? 2 : 1;
  size_t mib = argc > first ? size_t(std::atoi(argv[first])) : 4;
  int rounds = argc > first + 1 ? std::atoi(argv[first + 1]) : 5;
  if (mib < 1 || rounds < 1) {
    std::fprintf(stderr, "usage: bench_des [--openssl-rate] [MiB] [rounds]\n");
    return 2;
  }
  const Bytes data = des_bench::Data(mib);

  OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
  EVP_CIPHER* des = EVP_CIPHER_fetch(nullptr, "DES-ECB", nullptr);
  if (!legacy || !des) {
    std::fprintf(stderr, "OpenSSL's legacy provider with DES-ECB is not available\n");
    return 1;
  }

  auto evp = [&](int enc) -> Cipher {
    return [&, enc](uint8_t* buf, size_t n) {
      EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
      int outl = 0;
      bool ok = ctx && EVP_CipherInit_ex(ctx, des, nullptr, kKey, nullptr, enc) &&
                EVP_CIPHER_CTX_set_padding(ctx, 0) && EVP_CipherUpdate(ctx, buf, &outl, buf, int(n));
      EVP_CIPHER_CTX_free(ctx);
      return ok && size_t(outl) == n;
    };
  };
  Cipher lowLevel = [&](uint8_t* buf, size_t n) {
    DES_key_schedule schedule;
    DES_cblock k;
    std::memcpy(k, kKey, 8);
    DES_set_key_unchecked(&k, &schedule);
    for (size_t i = 0; i + 8 <= n; i += 8)
      DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(buf + i), reinterpret_cast<DES_cblock*>(buf + i),
                      &schedule, DES_DECRYPT);
    return true;
  };
  Cipher decipher = [](uint8_t* b, size_t n) { return DecipherBuffer(b, n, kKey); };
  Cipher encipher = [](uint8_t* b, size_t n) { return EncipherBuffer(b, n, kKey); };

  int status = 0;
  if (opensslOnly) {
    std::vector<double> rates;
    Bytes out;
    for (int r = 0; r < rounds; ++r) rates.push_back(Rate(data, evp(0), out));
    std::printf("rate %.2f\nsum %08x\n", Best(rates), des_bench::Checksum(out));
  } else {
    Pair dec = Interleaved(data, rounds, decipher, evp(0));
    Pair low = Interleaved(data, rounds, decipher, lowLevel);
    Pair enc = Interleaved(data, rounds, encipher, evp(1));
    bool same = dec.same && low.same && enc.same;
    std::printf("DES-ECB, %zu MiB buffer, %d rounds in turn (rates: best; ratios: median)\n", mib, rounds);
    std::printf("  decipher: DecipherBuffer %8.1f MiB/s | OpenSSL EVP %8.1f MiB/s | DES_ecb_encrypt %8.1f MiB/s\n",
                dec.a, dec.b, low.b);
    std::printf("  encipher: EncipherBuffer %8.1f MiB/s | OpenSSL EVP %8.1f MiB/s\n", enc.a, enc.b);
    std::printf("  ratio DecipherBuffer / OpenSSL EVP:             %.2f\n", dec.ratio);
    std::printf("  ratio DecipherBuffer / OpenSSL DES_ecb_encrypt: %.2f\n", low.ratio);
    std::printf("  ratio EncipherBuffer / OpenSSL EVP:             %.2f\n", enc.ratio);
    std::printf("  outputs %s\n", same ? "identical" : "DIFFER");
    std::printf("ratio des_decipher_vs_openssl %.3f aim >= 2.5\n", dec.ratio);
    status = same ? 0 : 1;
  }

  EVP_CIPHER_free(des);
  OSSL_PROVIDER_unload(legacy);
  if (deflt) OSSL_PROVIDER_unload(deflt);
  return status;
}
