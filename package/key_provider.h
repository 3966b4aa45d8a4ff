// KeyProvider: yields the payload key from the 128-byte key block that ends the manifest.
#pragma once

#include <array>
#include <cstdint>

#include "package/payload_cipher.h"

// Unwraps the payload key. Fails on a block that is damaged, was made for another
// provider key, or would give a key of eight zero bytes; key is then left all zero.
bool KeyProvider(const std::array<uint8_t, 128>& keyBlock, PayloadKey& key);

// Wraps key into a key block that KeyProvider accepts. Deterministic: the same key always
// gives the same block. An all-zero key, which KeyProvider never issues, gives a block
// that it refuses.
std::array<uint8_t, 128> MakeKeyBlock(const PayloadKey& key);
