// StorageManager: the reads into a string stream. Kept apart from storage_entries.cpp so
// that a program which never uses them does not link the iostreams and locales.
#include <exception>
#include <sstream>

#include "storage/inflate.h"
#include "storage/storage_format.h"
#include "storage/storage_manager.h"


using namespace tolvane::storage_format;

int32_t StorageManager::ReadBlockToStream(uint32_t block, std::ostringstream& out) {
  if (!stream_) return StorageNotOpen;
  try {
    std::vector<uint8_t> buffer;
    int32_t r = ReadStoredPayload(block, buffer);
    if (r < 0) return r;
    if (r > 0) {
      tolvane::PieceInflater* inflater = Inflater();
      if (!inflater) return StorageNoMemory;
      const auto result =
          inflater->HandTo(buffer.data(), static_cast<uint32_t>(r), true, [&out](const uint8_t* p, size_t n) {
            out.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n));
            return static_cast<bool>(out);
          });
      // A string stream that could not grow counts as a failed inflation, as it always has.
      if (result != tolvane::PieceInflater::Ended) return StorageInflateFailed;
    }
    std::streamoff held = out.tellp();
    if (held < 0 || held > 0x7FFFFFFF) return StorageInflateFailed;
    return static_cast<int32_t>(held);
  } catch (const std::exception&) {
    return StorageInflateFailed;  // the string stream could not grow
  }
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
