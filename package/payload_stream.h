// A read-only stream of the deciphered bytes of an enciphered payload that lies in another
// stream, deciphered as they are read: memory is one window of whole cipher blocks,
// whatever the payload's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "package/payload_cipher.h"
#include "storage/storage_stream.h"

class PayloadReadStream final : public StorageManagerStream {
 public:
  // Bytes deciphered at a time: a multiple of the 8-byte block, large enough for the
  // cipher to work on long runs of blocks.
  static constexpr uint32_t kWindow = 0x80000;

  // The payload is source's bytes [offset, offset + length); source must outlive this
  // stream and is only read (through Seek and Read). Its whole 8-byte blocks read
  // deciphered with key; a tail of fewer than 8 bytes reads as it is, as DecipherBuffer
  // leaves it. A range that does not lie within source makes every read fail.
  PayloadReadStream(StorageManagerStream& source, uint32_t offset, uint32_t length, const PayloadKey& key);
  ~PayloadReadStream() override;

  // What deciphers whole blocks in place: DecipherBuffer unless set, for example to share
  // the work of a window with another thread. Same contract as DecipherBuffer; must not
  // throw.
  using Decipher = bool (*)(void* context, uint8_t* data, size_t length, const uint8_t* key);
  void SetDecipher(Decipher decipher, void* context) {
    decipher_ = decipher;
    decipherContext_ = context;
  }

  // False when the window could not be allocated (every read then fails).
  bool IsReady() const { return static_cast<bool>(window_); }
  // Whether a read failed for want of memory (the window, or the cipher's working tables),
  // not because of the source.
  bool OutOfMemory() const { return outOfMemory_; }

  // All or nothing: a read that would run past the end fails.
  bool Read(void* buffer, uint32_t length) override;
  bool Write(const void*, uint32_t) override { return false; }
  bool Seek(uint32_t position) override;  // fails beyond the end
  uint32_t Tell() override { return position_; }
  uint32_t GetSize() override { return length_; }
  bool SetSize(uint32_t, bool) override { return false; }
  void Close() override;

 private:
  bool LoadWindow(uint32_t start);
  bool ReadSource(uint32_t at, uint8_t* buffer, uint32_t length);
  bool DecipherBlocks(uint8_t* data, uint32_t length);

  StorageManagerStream& source_;
  uint32_t offset_;
  uint32_t length_;
  uint32_t blocks_end_;  // end of the whole blocks: bytes past it are not enciphered
  bool in_range_;
  PayloadKey key_;
  std::unique_ptr<uint8_t[]> window_;
  uint32_t window_start_ = 0;
  uint32_t window_length_ = 0;  // 0: nothing loaded
  uint32_t position_ = 0;
  bool outOfMemory_ = false;
  Decipher decipher_ = nullptr;
  void* decipherContext_ = nullptr;
};
