// Table memory for the cipher's tests: can fail on demand, and tells what came back.
#include "tests/package/des_table_memory_fake.h"

#include <cstdlib>
#include <map>
#include <utility>

#include "package/des_table_memory.h"

namespace {

thread_local int tAllowed = -1;
thread_local int tOutstanding = 0;
thread_local std::map<size_t, std::pair<int, int>> tReleased;  // size -> (all, non-zero)

// A size header before each table, 16 bytes to keep the alignment of malloc's blocks.
constexpr size_t kHeader = 16;

}  // namespace

void* ObtainDesTable(size_t bytes) {
  if (tAllowed == 0) return nullptr;
  if (tAllowed > 0) --tAllowed;
  auto* block = static_cast<unsigned char*>(std::malloc(bytes + kHeader));
  if (!block) return nullptr;
  *reinterpret_cast<size_t*>(block) = bytes;
  ++tOutstanding;
  return block + kHeader;
}

void ReleaseDesTable(void* table) {
  if (!table) return;
  unsigned char* block = static_cast<unsigned char*>(table) - kHeader;
  size_t bytes = *reinterpret_cast<size_t*>(block);
  bool zero = true;
  for (size_t i = 0; i < bytes; ++i) zero = zero && block[kHeader + i] == 0;
  auto& counts = tReleased[bytes];
  ++counts.first;
  if (!zero) ++counts.second;
  --tOutstanding;
  std::free(block);
}

namespace des_table_fake {

void FailAfter(int allowed) { tAllowed = allowed; }
int Outstanding() { return tOutstanding; }
int ReleasedNonZero(size_t bytes) { return tReleased[bytes].second; }
int Released(size_t bytes) { return tReleased[bytes].first; }
void ResetCounts() { tReleased.clear(); }

}  // namespace des_table_fake
