// Random-access byte streams the archive reads and writes through.
//
// Positions and lengths are unsigned 32-bit byte counts: an archive never exceeds 4 GiB.
// No operation throws; failures are reported as false (or OpenFailed from Open).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum StorageOpenMode : int {
  OpenRead = 1,       // existing stream, read only
  CreateNew = 2,      // new empty stream (an existing one is replaced), read and write
  OpenReadWrite = 3,  // existing stream, read and write
  OpenOrCreate = 4,   // OpenReadWrite when there is something to open, else CreateNew
};

// Results of the streams' Open.
enum StorageOpenResult : int {
  OpenFailed = 0,      // nothing is open
  OpenedExisting = 1,  // existing content is there to be read
  CreatedNew = 2,      // the stream is new and empty: the caller writes a fresh header
};

class StorageManagerStream {
 public:
  virtual ~StorageManagerStream() = default;

  virtual bool Read(void* buffer, uint32_t length) = 0;
  virtual bool Write(const void* buffer, uint32_t length) = 0;
  virtual bool Seek(uint32_t position) = 0;  // absolute, from the start
  virtual uint32_t Tell() = 0;
  virtual uint32_t GetSize() = 0;
  // The flag is passed through from the archive's options; no implementation uses it.
  virtual bool SetSize(uint32_t length, bool flag) = 0;
  virtual void Flush() {}
  // A hint that the bytes at position are read or written soon; streams in memory fetch them.
  virtual void Prefetch(uint32_t) {}
  virtual void Close() = 0;

  // Reads pieces that follow one another from the current position, piece k into
  // buffers[k], or past it when that is null. All or nothing, like Read; a stream that
  // can gather the pieces with one call does.
  struct Piece {
    void* buffer;
    uint32_t length;
  };
  virtual bool ReadPieces(const Piece* pieces, size_t count) {
    for (size_t k = 0; k < count; ++k) {
      const bool ok = pieces[k].buffer ? Read(pieces[k].buffer, pieces[k].length)
                                       : Seek(Tell() + pieces[k].length);
      if (!ok) return false;
    }
    return true;
  }

 protected:
  StorageManagerStream() = default;
  StorageManagerStream(const StorageManagerStream&) = delete;
  StorageManagerStream& operator=(const StorageManagerStream&) = delete;
};

// A stream over a byte vector that belongs to the caller and must outlive the stream.
//
// Read copies what is there: a read that runs past the end copies the bytes up to the end
// and still reports success (only a read starting at or after the end fails). Callers that
// need every byte check the length against GetSize() first.
class StorageManagerMemoryStream final : public StorageManagerStream {
 public:
  StorageManagerMemoryStream() = default;
  ~StorageManagerMemoryStream() override { Close(); }

  // Binds the stream to bytes and moves to position 0. OpenOrCreate creates when the vector
  // is empty; CreateNew empties it. Vectors of 4 GiB and more are refused.
  int Open(std::vector<uint8_t>& bytes, StorageOpenMode mode);

  bool Read(void* buffer, uint32_t length) override;
  bool Write(const void* buffer, uint32_t length) override;
  bool Seek(uint32_t position) override;  // clamps to the size; never fails
  uint32_t Tell() override { return position_; }
  uint32_t GetSize() override;
  bool SetSize(uint32_t length, bool flag) override;
  void Close() override { bytes_ = nullptr; position_ = 0; }
  void Prefetch(uint32_t position) override {
    if (bytes_ && position < bytes_->size()) __builtin_prefetch(bytes_->data() + position, 1);
  }

 private:
  std::vector<uint8_t>* bytes_ = nullptr;
  uint32_t position_ = 0;
};

// A read-only stream over constant bytes that belong to the caller and must outlive the
// stream (a program's own resource, a mapped file). Reads are all or nothing: one that
// would run past the end fails and copies nothing. Writes and SetSize fail.
class StorageManagerConstMemoryStream final : public StorageManagerStream {
 public:
  StorageManagerConstMemoryStream(const uint8_t* data, uint32_t size) : data_(data), size_(data ? size : 0) {}
  ~StorageManagerConstMemoryStream() override = default;

  bool Read(void* buffer, uint32_t length) override;
  bool Write(const void*, uint32_t) override { return false; }
  bool Seek(uint32_t position) override;  // fails beyond the end
  uint32_t Tell() override { return position_; }
  uint32_t GetSize() override { return size_; }
  bool SetSize(uint32_t, bool) override { return false; }
  void Close() override { data_ = nullptr; size_ = 0; position_ = 0; }

 private:
  const uint8_t* data_;
  uint32_t size_;
  uint32_t position_ = 0;
};

// A stream over a file: Win32 file handle on Windows, a POSIX descriptor elsewhere (where
// the wide name is converted to UTF-8). Files of 4 GiB and more are refused, and so are
// writes that would carry the file to that size.
class StorageManagerFileStream final : public StorageManagerStream {
 public:
  StorageManagerFileStream() = default;
  ~StorageManagerFileStream() override { Close(); }

  // Opens name in mode; a file already held by this stream is closed first.
  int Open(const std::wstring& name, StorageOpenMode mode);
  bool IsOpen() const;

  bool Read(void* buffer, uint32_t length) override;
  bool Write(const void* buffer, uint32_t length) override;
  bool Seek(uint32_t position) override;
  uint32_t Tell() override;     // 0xFFFFFFFF on failure
  uint32_t GetSize() override;  // 0xFFFFFFFF on failure
  bool SetSize(uint32_t length, bool flag) override;
  void Flush() override;  // Sync without its result
  void Close() override;
#ifndef _WIN32
  bool ReadPieces(const Piece* pieces, size_t count) override;
#endif

  // What was written is on stable storage; false when the system says it is not.
  bool Sync();
  // Numbers that tell the open file from any other (device and file number), so that a
  // journal left beside a name can be matched with the file it was made for.
  bool Identity(uint64_t& volume, uint64_t& file) const;

  // The few operations on names that atomic updates need, kept here with the platform's
  // other file calls. A link at a name is never followed: CreateNew and Remove replace or
  // remove the link itself.
  static bool Exists(const std::wstring& name);
  // True when no file of that name is left (also when there was none).
  static bool Remove(const std::wstring& name);
  // Closes the file, which was opened as from, and renames it over to, replacing what
  // stands there. On Windows the rename goes through a handle that leads to this very
  // file, so that something put at from in the meantime (in a folder others can write) is
  // not renamed instead. POSIX renames no descriptor: the name is renamed, which in a
  // shared folder with the sticky bit only its owner can change.
  bool Rename(const std::wstring& from, const std::wstring& to);
  // Makes the folder's list of names durable (a created, renamed or removed name).
  static bool SyncFolderOf(const std::wstring& name);

 private:
#ifdef _WIN32
  void* handle_ = nullptr;  // HANDLE; null when no file is open
#else
  int fd_ = -1;
  // Reads and writes go to explicit positions (one system call each); the size is kept
  // here, as this stream is the only writer of the file while it is open.
  uint64_t position_ = 0;
  uint64_t size_ = 0;
#endif
};
