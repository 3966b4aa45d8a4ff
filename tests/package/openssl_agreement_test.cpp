// Agreement with the openssl command line's DES-ECB on random buffers and keys.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "package/payload_cipher.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

class OpenSslAgreement : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) / ("des_openssl_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs openssl enc over data; decipher selects -d.
  Bytes OpenSsl(const Bytes& data, const Bytes& key, bool decipher) {
    fs::path in = dir_ / "in.bin", out = dir_ / "out.bin";
    {
      std::ofstream f(in, std::ios::binary);
      f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    }
    std::string hex;
    char digits[3];
    for (uint8_t b : key) {
      std::snprintf(digits, sizeof digits, "%02X", b);
      hex += digits;
    }
    std::string command = "openssl enc -des-ecb -nopad -provider legacy -provider default " +
                          std::string(decipher ? "-d " : "-e ") + "-K " + hex + " -in '" +
                          in.string() + "' -out '" + out.string() + "' 2>&1";
    int status = std::system(command.c_str());
    EXPECT_EQ(status, 0) << command;
    std::ifstream f(out, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

  fs::path dir_;
};

TEST_F(OpenSslAgreement, RandomBuffersAndKeys) {
  std::mt19937 rng(20240601);
  const size_t sizes[] = {8, 16, 24, 8 * 37, 4096, 8 * 9999, 1 << 20};
  for (size_t n : sizes) {
    Bytes key(8), data(n);
    for (uint8_t& b : key) b = uint8_t(rng());
    for (uint8_t& b : data) b = uint8_t(rng());

    Bytes ours = data;
    ASSERT_TRUE(DecipherBuffer(ours.data(), ours.size(), key.data()));
    EXPECT_EQ(ours, OpenSsl(data, key, true)) << "decipher, " << n << " bytes";

    ours = data;
    ASSERT_TRUE(EncipherBuffer(ours.data(), ours.size(), key.data()));
    EXPECT_EQ(ours, OpenSsl(data, key, false)) << "encipher, " << n << " bytes";
  }
}

// Either side of the bitsliced code's batches of 128 blocks, with a tail that must stay
// as it is, at every alignment class of the buffer, in both directions.
TEST_F(OpenSslAgreement, BatchBoundariesTailsAndAlignment) {
  std::mt19937 rng(20240602);
  const size_t blockCounts[] = {127, 128, 129, 255, 256, 257};
  for (size_t i = 0; i < std::size(blockCounts); ++i) {
    const size_t whole = 8 * blockCounts[i], tail = i % 8, offset = 1 + 3 * i;
    Bytes key(8), data(whole);
    for (uint8_t& b : key) b = uint8_t(rng());
    for (uint8_t& b : data) b = uint8_t(rng());
    Bytes tailBytes(tail);
    for (uint8_t& b : tailBytes) b = uint8_t(rng());
    for (bool decipher : {true, false}) {
      Bytes expected = OpenSsl(data, key, decipher);
      ASSERT_EQ(expected.size(), whole);
      Bytes area(offset + whole + tail);
      std::copy(data.begin(), data.end(), area.begin() + offset);
      std::copy(tailBytes.begin(), tailBytes.end(), area.begin() + offset + whole);
      uint8_t* buffer = area.data() + offset;
      ASSERT_TRUE(decipher ? DecipherBuffer(buffer, whole + tail, key.data())
                           : EncipherBuffer(buffer, whole + tail, key.data()));
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer))
          << (decipher ? "decipher, " : "encipher, ") << blockCounts[i] << " blocks";
      EXPECT_TRUE(std::equal(tailBytes.begin(), tailBytes.end(), buffer + whole)) << blockCounts[i];
    }
  }
}

TEST_F(OpenSslAgreement, WeakAndParityOnlyKeys) {
  // Weak keys and keys with only parity bits set are used as they are, not refused.
  const Bytes keys[] = {Bytes(8, 0x00), Bytes(8, 0x01), Bytes(8, 0xFE), Bytes(8, 0xFF),
                        {0x1F, 0x1F, 0x1F, 0x1F, 0x0E, 0x0E, 0x0E, 0x0E},
                        {0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE}};
  std::mt19937 rng(5);
  for (const Bytes& key : keys) {
    Bytes data(64);
    for (uint8_t& b : data) b = uint8_t(rng());
    Bytes ours = data;
    ASSERT_TRUE(DecipherBuffer(ours.data(), ours.size(), key.data()));
    EXPECT_EQ(ours, OpenSsl(data, key, true));
  }
}

}  // namespace
