// A folder of the archive as it is held in memory: its entries by name and the subfolders
// handed out by the archive object.
#pragma once

#include <cstdint>

#include "storage/name_index.h"
#include "storage/storage_types.h"

struct StorageFolder {
  tolvane::NameIndex<EntryValue> entries;         // walked in unsigned byte order of the names
  StorageFolder* parent = nullptr;                // null for the root and for detached folders
  uint32_t block = 0;                             // block of the folder's list, 0 when none
  tolvane::NameIndex<StorageFolder*> subfolders;  // null until that subfolder is opened
  uint32_t flags = 0;                             // bit 0: entries changed, list must be written
  uint16_t openCount = 0;
};
