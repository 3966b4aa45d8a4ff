// StorageManager: the compacting copy and the compact transport image.
#include <algorithm>
#include <exception>

#include "storage/atomic_file_stream.h"
#include "storage/storage_format.h"
#include "storage/storage_manager.h"
#include "storage/storage_update.h"
#include "storage/zlib_codec.h"

using namespace tolvane::storage_format;

namespace {
constexpr uint32_t kCopyPiece = 0x8000;
constexpr uint8_t kZeros[16] = {};

bool WriteZeros(StorageManagerStream& target, uint64_t count) {
  while (count) {
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, sizeof kZeros));
    if (!target.Write(kZeros, n)) return false;
    count -= n;
  }
  return true;
}
}  // namespace

int32_t StorageManager::CopyTo(StorageManagerStream& target, bool tolerate) {
  enum class CopyResult { Ok, ReadFailed, WriteFailed };
  // Copies one region to the target's current position. The last region of an archive
  // whose length is not a multiple of 16 may run past the end of the stream; it is copied
  // when its payload is all there, its missing padding written as zeros.
  auto copyRegion = [this](uint32_t offset, uint32_t size, StorageManagerStream& target,
                           std::vector<uint8_t>& buffer) {
    const uint64_t streamSize = stream_->GetSize();
    const uint64_t regionEnd = static_cast<uint64_t>(offset) + size;
    if (regionEnd > ((streamSize + 15) & ~uint64_t{15})) return CopyResult::ReadFailed;
    uint64_t available = streamSize > offset ? streamSize - offset : 0;
    if (available < size) {
      uint8_t prefix[4];
      if (available < 4 || !ReadAt(offset, prefix, 4)) return CopyResult::ReadFailed;
      if (4 + static_cast<uint64_t>(LoadLe32(prefix)) > available) return CopyResult::ReadFailed;
    }
    uint32_t present = static_cast<uint32_t>(std::min<uint64_t>(available, size));
    for (uint32_t done = 0; done < present;) {
      uint32_t n = std::min(present - done, kCopyPiece);
      if (!ReadAt(offset + done, buffer.data(), n)) return CopyResult::ReadFailed;
      if (!target.Write(buffer.data(), n)) return CopyResult::WriteFailed;
      done += n;
    }
    if (!WriteZeros(target, size - present)) return CopyResult::WriteFailed;
    return CopyResult::Ok;
  };
  try {
    if (!stream_) return StorageNotOpen;
    // A copy of an archive whose changes could not be written back would not describe
    // its own data.
    if (!Update().WriteBack()) return StorageWriteFailed;
    if (!target.SetSize(0, false) || !target.Seek(0) || !target.Write(header_, kHeaderSize)) return StorageWriteFailed;

    int32_t result = 0;
    std::vector<BlockRecord> copied;
    uint64_t position = kHeaderSize;
    if (directory_.size() > 1) {
      copied.resize(directory_.size());
      std::vector<uint8_t> buffer(kCopyPiece);
      for (size_t i = 1; i < directory_.size(); ++i) {
        const BlockRecord& r = directory_[i];
        BlockRecord& c = copied[i];
        switch (r.type) {
          case BlockVacant:
          case BlockFree:
            break;
          case BlockData:
            c.type = BlockData;
            // An empty region (a damaged record) is no region: it would sit on its successor.
            if (r.offset == 0 || r.size == 0) break;
            if (r.size % 16) return StorageDirectoryFailed;
            // A damaged region is not read: it may hold another block's bytes.
            switch (IsDamaged(static_cast<uint32_t>(i)) ? CopyResult::ReadFailed
                                                        : copyRegion(r.offset, r.size, target, buffer)) {
              case CopyResult::Ok:
                c.offset = static_cast<uint32_t>(position);
                c.size = r.size;
                position += r.size;
                break;
              case CopyResult::WriteFailed:
                return StorageWriteFailed;
              case CopyResult::ReadFailed:
                if (!tolerate) return StorageReadFailed;
                c = BlockRecord{BlockLost, 0, r.offset, r.size};
                if (!target.SetSize(static_cast<uint32_t>(position), false) ||
                    !target.Seek(static_cast<uint32_t>(position)))
                  return StorageWriteFailed;
                result = StorageBlockLost;
                break;
            }
            break;
          default:
            c.type = BlockLost;
            break;
        }
      }
    }
    while (!copied.empty() && copied.back().type == BlockVacant) copied.pop_back();

    uint8_t field[4];
    if (copied.size() < 2 || (copied.size() == 2 && copied[1].offset == 0)) {
      if (!target.SetSize(kHeaderSize, false)) return StorageWriteFailed;
      if (LoadLe32(header_ + kDirectoryOffsetField) != 0) {
        StoreLe32(field, 0);
        if (!target.Seek(kDirectoryOffsetField) || !target.Write(field, 4)) return StorageWriteFailed;
      }
      target.Flush();
      return result;
    }
    if (position > 0xFFFFFFF0u) return StorageWriteFailed;

    std::vector<uint8_t> plain;
    std::vector<uint8_t> stored;
    const uint8_t* bytes;
    uint32_t length;
    copied[0] = BlockRecord{BlockData, 0, static_cast<uint32_t>(position), 0};
    if (options_ & OptionCompressDirectory) {
      // Record 0 holds the directory's own size, which changes what is compressed.
      constexpr int kMaxRounds = 64;
      auto compress = [&]() {
        tolvane::StorageUpdate::SerializeDirectory(copied, plain);
        return tolvane::DeflateLevel9(plain.data(), static_cast<uint32_t>(plain.size()), stored) &&
               tolvane::HasLevel9Header(stored);
      };
      if (!compress()) return StorageCompressFailed;
      for (int round = 0;; ++round) {
        if (round == kMaxRounds) return StorageCompressFailed;
        copied[0].size = RegionSize(static_cast<uint32_t>(stored.size() - 2));
        if (!compress()) return StorageCompressFailed;
        if (copied[0].size >= RegionSize(static_cast<uint32_t>(stored.size() - 2))) break;
      }
      bytes = stored.data() + 2;
      length = static_cast<uint32_t>(stored.size() - 2);
    } else {
      length = static_cast<uint32_t>(copied.size() * kRecordSize);
      copied[0].size = RegionSize(length);
      tolvane::StorageUpdate::SerializeDirectory(copied, plain);
      bytes = plain.data();
    }
    // The region is padded to the size record 0 declares (a last compression may come out
    // shorter than the one the size was made for), so that it ends where the copy ends.
    StoreLe32(field, length);
    if (!target.Seek(static_cast<uint32_t>(position)) || !target.Write(field, 4) || !target.Write(bytes, length) ||
        !WriteZeros(target, copied[0].size - 4 - static_cast<uint64_t>(length)))
      return StorageWriteFailed;
    StoreLe32(field, static_cast<uint32_t>(position));
    if (!target.Seek(kDirectoryOffsetField) || !target.Write(field, 4)) return StorageWriteFailed;
    target.Flush();
    return result;
  } catch (const std::exception&) {
    return StorageNoMemory;
  }
}

int32_t StorageManager::CopyTo(const std::wstring& file, bool tolerate) {
  if (!stream_) return StorageNotOpen;
  try {
    StorageAtomicFileStream target;
    if (target.Open(file, CreateNew) != CreatedNew) return StorageWriteFailed;
    int32_t r = CopyTo(target, tolerate);
    if (r < 0 && r != StorageBlockLost) {
      target.Rollback();
      return r;
    }
    return target.Commit() ? r : StorageWriteFailed;
  } catch (const std::exception&) {
    return StorageNoMemory;
  }
}

int32_t StorageManager::StripHeader(const std::vector<uint8_t>& image, std::vector<uint8_t>& compact) {
  compact.clear();
  if (image.size() <= kHeaderSize) return 0;
  try {
    compact.reserve(image.size() - kHeaderSize + 8);
    compact.insert(compact.end(), image.begin() + kDirectoryOffsetField, image.begin() + kDirectoryOffsetField + 8);
    compact.insert(compact.end(), image.begin() + kHeaderSize, image.end());
  } catch (const std::exception&) {
    compact.clear();
    return StorageNoMemory;
  }
  return static_cast<int32_t>(compact.size());
}

int32_t StorageManager::RestoreHeader(const std::vector<uint8_t>& compact, std::vector<uint8_t>& image) const {
  image.clear();
  // Shorter than its eight leading bytes: not a compact image.
  if (compact.size() < 8) return 0;
  try {
    image.assign(kHeaderSize, 0);
    StoreLe16(image.data(), signature_);
    StoreLe16(image.data() + 2, version_);
    std::copy(compact.begin(), compact.begin() + 8, image.begin() + kDirectoryOffsetField);
    image.insert(image.end(), compact.begin() + 8, compact.end());
  } catch (const std::exception&) {
    image.clear();
    return StorageNoMemory;
  }
  return static_cast<int32_t>(image.size());
}
