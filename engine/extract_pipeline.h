// The threads that feed an extraction: one that shares the deciphering of each window of
// the payload with the thread reading it, and one that reads (deciphers and inflates)
// the files ahead of the worker that writes them, through a short queue of pieces.
// Memory is a few fixed buffers, whatever the size of the files.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/win_owners.h"

class EntrySink;
class StorageManager;

namespace tolvane {

// A count that one thread raises and another waits on. Under Wine every wait on or signal
// of a kernel object is a call to the wineserver, so the event is used only when the
// waiting side has to sleep, not once for every piece; and a side that had to sleep may
// ask to sleep on until a batch has come, so that it wakes once for several.
class Counter {
 public:
  bool Make();
  void Raise();
  // Waits until the count exceeds `than` or `stop` is set. When it has to sleep, it sleeps
  // until the count exceeds than + batch - 1 (or Wake): the raising side must Wake it
  // when it stops short of that.
  void WaitAbove(size_t than, const std::atomic<bool>& stop, size_t batch = 1);
  bool Above(size_t than) const { return value_ > than; }
  void Wake();

 private:
  std::atomic<size_t> value_{0};
  std::atomic<size_t> wakeAt_{1};  // the count that wakes the sleeper
  std::atomic<bool> sleeping_{false};
  UniqueHandle wake_;
};

// Deciphers a run of blocks in two halves at once: the second on a helper thread, the
// first on the caller's. Runs too short to be worth it, or without a helper, are
// deciphered by the caller alone.
class SplitDecipher {
 public:
  SplitDecipher() = default;
  ~SplitDecipher();
  SplitDecipher(const SplitDecipher&) = delete;
  SplitDecipher& operator=(const SplitDecipher&) = delete;

  // False when no helper can be had.
  bool Start();
  // PayloadReadStream's Decipher hook; self is this object. One caller at a time.
  static bool Decipher(void* self, uint8_t* data, size_t length, const uint8_t* key);

 private:
  static unsigned __stdcall Run(void* self);
  void Help();

  UniqueHandle thread_, start_, done_;
  std::atomic<bool> stop_{false};
  uint8_t* data_ = nullptr;
  size_t length_ = 0;
  const uint8_t* key_ = nullptr;
  bool ok_ = true;
};

// The files of the manifest read ahead of the writes on a thread of their own, in order,
// through a ring of pieces. The thread touches nothing but the archive and the ring; the
// worker makes every file-system call, report and progress notice. When no
// thread (or no ring) can be had, the worker reads each file itself as it asks for it.
class ReadAhead {
 public:
  static constexpr size_t kPieces = 6;
  static constexpr size_t kPieceBytes = 0x40000;
  // A side that caught up with the other sleeps until this many pieces are ready for it:
  // the worker until they are read, the reader (on a full ring) until they are written.
  // At most kPieces: each side gives the other the whole ring before it waits.
  static constexpr size_t kWakeBatch = 3;
  static_assert(kWakeBatch >= 1 && kWakeBatch <= kPieces);

  struct Piece {
    std::unique_ptr<uint8_t[]> data;
    size_t length = 0;
    bool last = false;   // the file's last piece (perhaps empty); `result` is then set
    int32_t result = 0;  // ReadEntryTo's result for the file
  };

  // names: the archive names of the files in manifest order; an empty one stands for a
  // name that could not be converted, which reads as a missing entry.
  ReadAhead(StorageManager& archive, const std::vector<std::string>& names) : archive_(archive), names_(names) {}
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // False when the buffers or the thread cannot be had: ReadNext then reads on the
  // caller's thread.
  bool Start();
  // Hands the next file's content to `into` in order and returns ReadEntryTo's result for
  // it (StorageWriteFailed when `into` refused a piece). Read ahead, content that fits
  // one piece reaches `into` only once the whole file has been read and checked.
  int32_t ReadNext(EntrySink& into);
  // Work of the caller's own, done on its thread while the next piece is not read yet:
  // `work` is called until it returns false or the piece is there.
  void SetWaitWork(bool (*work)(void*), void* data) {
    waitWork_ = work;
    waitData_ = data;
  }

 private:
  const Piece& Next();
  void Done();
  struct Sink;
  static unsigned __stdcall Run(void* self);
  void ReadAll();
  Piece* Acquire();
  void Publish();

  StorageManager& archive_;
  const std::vector<std::string>& names_;
  Piece pieces_[kPieces];
  size_t taken_ = 0;     // pieces the worker is done with (worker only)
  size_t nextFile_ = 0;  // the file ReadNext reads next without the thread
  size_t produced_ = 0;  // pieces published (reading thread only)
  std::atomic<bool> stop_{false};
  Counter published_, released_;
  bool (*waitWork_)(void*) = nullptr;
  void* waitData_ = nullptr;
  UniqueHandle thread_;
};

}  // namespace tolvane
