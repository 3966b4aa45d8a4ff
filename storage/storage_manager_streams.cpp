// StorageManager: the reads into a string stream. Kept apart from storage_manager.cpp so
// that a program which never uses them does not link the iostreams and locales.
#include <exception>

#include "storage/storage_format.h"
#include "storage/storage_manager.h"
#include "storage/zlib_codec.h"

using namespace tolvane::storage_format;

int32_t StorageManager::ReadBlockToStream(uint32_t block, std::ostringstream& out) {
  if (!stream_) return StorageNotOpen;
  try {
    return ReadBlockToStreamUnguarded(block, out);
  } catch (const std::exception&) {
    return StorageInflateFailed;  // the string stream could not grow
  }
}

int32_t StorageManager::ReadBlockToStreamUnguarded(uint32_t block, std::ostringstream& out) {
  std::vector<uint8_t> buffer;
  int32_t r = ReadStoredPayload(block, buffer);
  if (r < 0) return r;
  if (r > 0) {
    bool ok = tolvane::InflateZlibTo(buffer.data(), static_cast<uint32_t>(buffer.size()),
                                     [&out](const uint8_t* p, size_t n) {
                                       out.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n));
                                       return static_cast<bool>(out);
                                     });
    if (!ok) return StorageInflateFailed;
  }
  std::streamoff held = out.tellp();
  if (held < 0 || held > 0x7FFFFFFF) return StorageInflateFailed;
  return static_cast<int32_t>(held);
}

int32_t StorageManager::ReadEntryToStream(StorageFolder& folder, const std::string& name, std::ostringstream& out) {
  if (!stream_) return StorageNotOpen;
  const EntryValue* v = FindEntry(folder, name);
  if (!v) return StorageNoEntry;
  return ReadBlockToStream(*v & kEntryBlockMask, out);
}

int32_t StorageManager::ReadEntryToStream(const std::string& name, std::ostringstream& out) {
  return ReadEntryToStream(*current_, name, out);
}
