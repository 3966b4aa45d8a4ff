// Memory for the cipher's working tables. The program links des_table_memory.cpp; the
// cipher's tests link a version of their own instead, which can be told to fail, so the
// shipped program carries no switch for it.
#pragma once

#include <cstddef>

// Null when the memory cannot be had.
void* ObtainDesTable(size_t bytes);
// Null is allowed.
void ReleaseDesTable(void* table);
