// Kept alone in its file: a test binary that defines these two functions itself leaves
// this object out of its link.
#include "package/des_table_memory.h"

#include <new>

void* ObtainDesTable(size_t bytes) { return ::operator new(bytes, std::nothrow); }

void ReleaseDesTable(void* table) { ::operator delete(table); }
