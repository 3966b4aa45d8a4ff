// The cipher's table memory as its tests see it (des_table_memory_fake.cpp is linked in
// place of package/des_table_memory.cpp). Everything counts per thread.
#pragma once

#include <cstddef>

namespace des_table_fake {

// The allocation that follows `allowed` more successful ones fails, as if memory were
// exhausted; a negative value stops failing.
void FailAfter(int allowed);

// Tables obtained and not yet released.
int Outstanding();

// Of the tables released so far with this size, how many were not all zero bytes.
int ReleasedNonZero(size_t bytes);
// ... and how many were released with this size at all.
int Released(size_t bytes);

void ResetCounts();

}  // namespace des_table_fake
