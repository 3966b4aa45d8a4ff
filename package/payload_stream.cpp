// PayloadReadStream: ECB blocks decipher each on its own, so any window of whole blocks
// can be deciphered without the rest of the payload.
#include "package/payload_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

void Wipe(void* data, size_t length) {
  volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
  while (length--) *p++ = 0;
}

}  // namespace

PayloadReadStream::PayloadReadStream(StorageManagerStream& source, uint32_t offset, uint32_t length,
                                     const PayloadKey& key)
    : source_(source),
      offset_(offset),
      length_(length),
      blocks_end_(length & ~7u),
      in_range_(static_cast<uint64_t>(offset) + length <= source.GetSize()),
      key_(key),
      window_(new (std::nothrow) uint8_t[kWindow]) {
  if (!window_) outOfMemory_ = true;
}

PayloadReadStream::~PayloadReadStream() { Close(); }

void PayloadReadStream::Close() {
  Wipe(key_.data(), key_.size());
  if (window_) Wipe(window_.get(), kWindow);
  window_.reset();
  window_length_ = 0;
  length_ = blocks_end_ = position_ = 0;
}

bool PayloadReadStream::ReadSource(uint32_t at, uint8_t* buffer, uint32_t length) {
  return in_range_ && source_.Seek(offset_ + at) && source_.Read(buffer, length);
}

bool PayloadReadStream::DecipherBlocks(uint8_t* data, uint32_t length) {
  const bool ok = decipher_ ? decipher_(decipherContext_, data, length, key_.data())
                            : DecipherBuffer(data, length, key_.data());
  if (!ok) outOfMemory_ = true;  // the cipher's only failure
  return ok;
}

// Loads the window that starts at `start` (a multiple of kWindow).
bool PayloadReadStream::LoadWindow(uint32_t start) {
  window_length_ = 0;
  const uint32_t n = std::min(kWindow, length_ - start);
  if (!ReadSource(start, window_.get(), n)) return false;
  const uint32_t blocks = start < blocks_end_ ? std::min(n, blocks_end_ - start) : 0;
  if (blocks && !DecipherBlocks(window_.get(), blocks)) return false;
  window_start_ = start;
  window_length_ = n;
  return true;
}

bool PayloadReadStream::Read(void* buffer, uint32_t length) {
  if (!window_ || length > length_ - position_) return false;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  uint32_t at = position_;
  uint32_t left = length;
  while (left) {
    const bool inWindow = window_length_ && at >= window_start_ && at - window_start_ < window_length_;
    // A long read of whole blocks outside the window goes straight into the caller's
    // buffer and is deciphered there: no copy through the window.
    if (!inWindow && at % 8 == 0 && left >= kWindow && at < blocks_end_) {
      const uint32_t n = std::min(left, blocks_end_ - at) & ~7u;
      if (!ReadSource(at, out, n)) return false;
      if (!DecipherBlocks(out, n)) return false;
      at += n;
      out += n;
      left -= n;
      continue;
    }
    if (!inWindow && !LoadWindow(at - at % kWindow)) return false;
    const uint32_t from = at - window_start_;
    const uint32_t n = std::min(left, window_length_ - from);
    std::memcpy(out, window_.get() + from, n);
    at += n;
    out += n;
    left -= n;
  }
  position_ = at;
  return true;
}

bool PayloadReadStream::Seek(uint32_t position) {
  if (!window_ || position > length_) return false;
  position_ = position;
  return true;
}
