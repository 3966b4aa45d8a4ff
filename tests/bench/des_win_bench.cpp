// DecipherBuffer's rate in the Windows build, for des_win_peer.sh, which compares it
// with the host's OpenSSL measured in the same run. Deciphers a buffer of pseudo-random
// bytes `rounds` times and prints the best rate as `rate MIB_PER_S` and a checksum of
// the result (the same key and bytes as bench_des --openssl-rate, which prints its own).
//
//   bench_des_win.exe [MiB] [rounds]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "package/payload_cipher.h"
#include "tests/bench/des_bench_data.h"

int main(int argc, char** argv) {
  size_t mib = argc > 1 ? size_t(std::atoi(argv[1])) : 8;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  std::vector<uint8_t> data = des_bench::Data(mib);
  std::vector<uint8_t> work;
  double best = 0;
  for (int r = 0; r < rounds; ++r) {
    work = data;
    auto start = std::chrono::steady_clock::now();
    if (!DecipherBuffer(work.data(), work.size(), des_bench::kKey)) {
      std::fprintf(stderr, "DecipherBuffer failed\n");
      return 1;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double rate = double(work.size()) / (1 << 20) / seconds;
    if (rate > best) best = rate;
  }
  std::printf("rate %.2f\nsum %08x\n", best, des_bench::Checksum(work));
  return 0;
}
