// StorageManagerMemoryStream: an archive held in a caller's byte vector; and the read-only
// stream over constant bytes.
#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "storage/storage_stream.h"

namespace {
constexpr uint64_t kMaxStreamSize = 0xFFFFFFFFull;
}

int StorageManagerMemoryStream::Open(std::vector<uint8_t>& bytes, StorageOpenMode mode) {
  bytes_ = &bytes;
  position_ = 0;
  if (mode == OpenOrCreate) mode = bytes.empty() ? CreateNew : OpenReadWrite;
  if (mode == CreateNew) {
    bytes.clear();
    return CreatedNew;
  }
  if (bytes.size() > kMaxStreamSize) {
    Close();
    return OpenFailed;
  }
  return OpenedExisting;
}

bool StorageManagerMemoryStream::Read(void* buffer, uint32_t length) {
  if (!bytes_) return false;
  int64_t remaining = static_cast<int64_t>(bytes_->size()) - position_;
  if (remaining <= 0) return false;
  uint32_t n = static_cast<uint32_t>(std::min<int64_t>(length, remaining));
  if (n) std::memcpy(buffer, bytes_->data() + position_, n);
  position_ += n;
  return true;
}

bool StorageManagerMemoryStream::Write(const void* buffer, uint32_t length) {
  if (!bytes_) return false;
  uint64_t newEnd = static_cast<uint64_t>(position_) + length;
  if (newEnd > kMaxStreamSize) return false;
  try {
    if (newEnd > bytes_->size()) bytes_->resize(static_cast<size_t>(newEnd));
  } catch (const std::exception&) {
    return false;
  }
  if (length) std::memcpy(bytes_->data() + position_, buffer, length);
  position_ = static_cast<uint32_t>(newEnd);
  return true;
}

bool StorageManagerMemoryStream::Seek(uint32_t position) {
  if (!bytes_) return false;
  position_ = static_cast<uint32_t>(std::min<uint64_t>(position, bytes_->size()));
  return true;
}

uint32_t StorageManagerMemoryStream::GetSize() {
  if (!bytes_) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(bytes_->size(), kMaxStreamSize));
}

bool StorageManagerMemoryStream::SetSize(uint32_t length, bool) {
  if (!bytes_) return false;
  try {
    bytes_->resize(length);
  } catch (const std::exception&) {
    return false;
  }
  if (position_ > length) position_ = length;
  return true;
}

bool StorageManagerConstMemoryStream::Read(void* buffer, uint32_t length) {
  if (!data_ || length > size_ - position_) return false;
  if (length) std::memcpy(buffer, data_ + position_, length);
  position_ += length;
  return true;
}

bool StorageManagerConstMemoryStream::Seek(uint32_t position) {
  if (!data_ || position > size_) return false;
  position_ = position;
  return true;
}
