// Throughput of DecipherBuffer against OpenSSL's DES-ECB (libcrypto) on the same buffer
// in the same run. Prints rates and ratios (ending with the `ratio` line of the benchmark
// command); exits non-zero only when the outputs differ.
//
//   bench_des [MiB] [rounds]
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "package/payload_cipher.h"

namespace {

using Clock = std::chrono::steady_clock;

// Best of `rounds` timings of fn over a fresh copy of input, in MiB/s.
double Rate(const std::vector<uint8_t>& input, int rounds, const std::function<bool(uint8_t*, size_t)>& fn,
            std::vector<uint8_t>* output) {
  double best = 0;
  std::vector<uint8_t> work;
  for (int r = 0; r < rounds; ++r) {
    work = input;
    auto start = Clock::now();
    if (!fn(work.data(), work.size())) return -1;
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double rate = double(input.size()) / (1 << 20) / seconds;
    if (rate > best) best = rate;
  }
  if (output) *output = work;
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  size_t mib = argc > 1 ? size_t(std::atoi(argv[1])) : 4;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  std::vector<uint8_t> data(mib << 20);
  std::mt19937 rng(1);
  for (uint8_t& b : data) b = uint8_t(rng());
  const uint8_t key[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};

  OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
  EVP_CIPHER* des = EVP_CIPHER_fetch(nullptr, "DES-ECB", nullptr);
  if (!legacy || !des) {
    std::fprintf(stderr, "OpenSSL's legacy provider with DES-ECB is not available\n");
    return 1;
  }

  auto evp = [&](uint8_t* buf, size_t n, int enc) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int outl = 0;
    bool ok = ctx && EVP_CipherInit_ex(ctx, des, nullptr, key, nullptr, enc) &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) && EVP_CipherUpdate(ctx, buf, &outl, buf, int(n));
    EVP_CIPHER_CTX_free(ctx);
    return ok && size_t(outl) == n;
  };
  auto lowLevel = [&](uint8_t* buf, size_t n, int enc) {
    DES_key_schedule schedule;
    DES_cblock k;
    std::memcpy(k, key, 8);
    DES_set_key_unchecked(&k, &schedule);
    for (size_t i = 0; i + 8 <= n; i += 8)
      DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(buf + i), reinterpret_cast<DES_cblock*>(buf + i),
                      &schedule, enc);
    return true;
  };

  std::vector<uint8_t> ours, theirs, theirsLow;
  double oursDec = Rate(data, rounds, [&](uint8_t* b, size_t n) { return DecipherBuffer(b, n, key); }, &ours);
  double evpDec = Rate(data, rounds, [&](uint8_t* b, size_t n) { return evp(b, n, 0); }, &theirs);
  double lowDec = Rate(data, rounds, [&](uint8_t* b, size_t n) { return lowLevel(b, n, DES_DECRYPT); }, &theirsLow);
  bool same = ours == theirs && ours == theirsLow;
  double oursEnc = Rate(data, rounds, [&](uint8_t* b, size_t n) { return EncipherBuffer(b, n, key); }, &ours);
  double evpEnc = Rate(data, rounds, [&](uint8_t* b, size_t n) { return evp(b, n, 1); }, &theirs);
  same = same && ours == theirs;

  std::printf("DES-ECB, %zu MiB buffer, best of %d\n", mib, rounds);
  std::printf("  decipher: DecipherBuffer %8.1f MiB/s | OpenSSL EVP %8.1f MiB/s | DES_ecb_encrypt %8.1f MiB/s\n",
              oursDec, evpDec, lowDec);
  std::printf("  encipher: EncipherBuffer %8.1f MiB/s | OpenSSL EVP %8.1f MiB/s\n", oursEnc, evpEnc);
  std::printf("  ratio DecipherBuffer / OpenSSL EVP:             %.2f\n", oursDec / evpDec);
  std::printf("  ratio DecipherBuffer / OpenSSL DES_ecb_encrypt: %.2f\n", oursDec / lowDec);
  std::printf("  ratio EncipherBuffer / OpenSSL EVP:             %.2f\n", oursEnc / evpEnc);
  std::printf("  outputs %s\n", same ? "identical" : "DIFFER");
  std::printf("ratio des_decipher_vs_openssl %.3f aim >= 1.1\n", oursDec / evpDec);

  EVP_CIPHER_free(des);
  OSSL_PROVIDER_unload(legacy);
  if (deflt) OSSL_PROVIDER_unload(deflt);
  return same ? 0 : 1;
}
