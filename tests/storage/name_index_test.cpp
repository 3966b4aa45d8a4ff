// The name hash reads a name's last bytes with whole loads: every byte must count, and
// nothing beside the name.
#include "storage/name_index.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

TEST(NameHash, EveryByteCountsAndNothingBesideTheName) {
  tolvane::NameHash hash;
  std::string buffer(128, '\0');
  for (size_t length = 1; length <= 40; ++length) {
    std::string name;
    for (size_t i = 0; i < length; ++i) name += static_cast<char>('a' + (i * 7) % 26);
    const uint32_t expected = hash(name);
    // The same bytes elsewhere, between other bytes, give the same hash.
    for (size_t at = 1; at < 9; ++at) {
      buffer.assign(128, static_cast<char>(0xA5 + at));
      buffer.replace(at, length, name);
      EXPECT_EQ(expected, hash(std::string_view(buffer).substr(at, length))) << length << " at " << at;
    }
    for (size_t i = 0; i < length; ++i) {
      std::string changed = name;
      changed[i] = static_cast<char>(changed[i] ^ 0x40);
      EXPECT_NE(expected, hash(changed)) << length << " byte " << i;
    }
  }
}

}  // namespace
