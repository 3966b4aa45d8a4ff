#include "engine/extract_pipeline.h"

#include <process.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "package/payload_cipher.h"
#include "storage/storage_manager.h"

namespace tolvane {

// ---------------------------------------------------------------------------------------
// Counter

bool Counter::Make() {
  wake_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  return static_cast<bool>(wake_);
}

void Counter::Raise() {
  const size_t now = ++value_;
  if (now >= wakeAt_ && sleeping_.exchange(false)) SetEvent(wake_.get());
}

void Counter::WaitAbove(size_t than, const std::atomic<bool>& stop, size_t batch) {
  while (value_ <= than && !stop) {
    // (Set before `sleeping_`, and the count read after both: a Raise that this read
    // misses sees the sleeper and its mark.)
    wakeAt_ = than + batch;
    sleeping_ = true;
    if (value_ > than || stop) {
      sleeping_ = false;
      return;
    }
    WaitForSingleObject(wake_.get(), INFINITE);
  }
}

void Counter::Wake() {
  sleeping_ = false;
  SetEvent(wake_.get());
}

// ---------------------------------------------------------------------------------------
// SplitDecipher

namespace {
// Each half long enough for the cipher's batches and worth two wineserver calls.
constexpr size_t kSplitFrom = 0x20000;
}  // namespace

SplitDecipher::~SplitDecipher() {
  if (!thread_) return;
  stop_ = true;
  SetEvent(start_.get());
  WaitForSingleObject(thread_.get(), INFINITE);
}

bool SplitDecipher::Start() {
  start_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  done_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!start_ || !done_) return false;
  thread_.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Run, this, 0, nullptr)));
  return static_cast<bool>(thread_);
}

unsigned __stdcall SplitDecipher::Run(void* self) {
  static_cast<SplitDecipher*>(self)->Help();
  return 0;
}

void SplitDecipher::Help() {
  for (;;) {
    WaitForSingleObject(start_.get(), INFINITE);
    if (stop_) return;
    ok_ = DecipherBuffer(data_, length_, key_);
    SetEvent(done_.get());
  }
}

bool SplitDecipher::Decipher(void* self, uint8_t* data, size_t length, const uint8_t* key) {
  SplitDecipher& s = *static_cast<SplitDecipher*>(self);
  if (!s.thread_ || length < kSplitFrom) return DecipherBuffer(data, length, key);
  // ECB blocks stand alone: the halves are split at a block boundary.
  const size_t half = length / 16 * 8;
  s.data_ = data + half;
  s.length_ = length - half;
  s.key_ = key;
  SetEvent(s.start_.get());
  const bool first = DecipherBuffer(data, half, key);
  WaitForSingleObject(s.done_.get(), INFINITE);
  return first && s.ok_;
}

// ---------------------------------------------------------------------------------------
// ReadAhead

// Copies the content of one file into the ring, publishing each piece as it fills.
struct ReadAhead::Sink final : EntrySink {
  ReadAhead& owner;
  Piece* current = nullptr;
  explicit Sink(ReadAhead& o) : owner(o) {}
  bool Take(const uint8_t* data, size_t length) override {
    while (length) {
      if (!current && !(current = owner.Acquire())) return false;  // stopped
      const size_t n = std::min(length, kPieceBytes - current->length);
      std::memcpy(current->data.get() + current->length, data, n);
      current->length += n;
      data += n;
      length -= n;
      if (current->length == kPieceBytes) {
        owner.Publish();
        current = nullptr;
      }
    }
    return true;
  }
};

ReadAhead::~ReadAhead() {
  if (!thread_) return;
  stop_ = true;
  released_.Wake();
  WaitForSingleObject(thread_.get(), INFINITE);
}

bool ReadAhead::Start() {
  for (Piece& piece : pieces_) {
    piece.data.reset(new (std::nothrow) uint8_t[kPieceBytes]);
    if (!piece.data) return false;
  }
  if (!published_.Make() || !released_.Make()) return false;
  thread_.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Run, this, 0, nullptr)));
  return static_cast<bool>(thread_);
}

unsigned __stdcall ReadAhead::Run(void* self) {
  static_cast<ReadAhead*>(self)->ReadAll();
  return 0;
}

// The next free piece, emptied; null when the worker asked to stop.
ReadAhead::Piece* ReadAhead::Acquire() {
  if (produced_ >= kPieces) released_.WaitAbove(produced_ - kPieces, stop_, kWakeBatch);
  if (stop_) return nullptr;
  Piece& piece = pieces_[produced_ % kPieces];
  piece.length = 0;
  piece.last = false;
  piece.result = 0;
  return &piece;
}

void ReadAhead::Publish() {
  ++produced_;
  published_.Raise();
}

void ReadAhead::ReadAll() {
  for (const std::string& name : names_) {
    Sink sink(*this);
    const int32_t result = name.empty() ? int32_t{StorageNoEntry} : archive_.ReadEntryTo(name, sink);
    if (stop_) return;
    // The file's end travels with its last piece, an empty one when the content filled
    // the pieces exactly (or there was none).
    Piece* last = sink.current ? sink.current : Acquire();
    if (!last) return;
    last->last = true;
    last->result = result;
    Publish();
  }
  published_.Wake();  // a worker waiting for a batch that the last files did not fill
}

int32_t ReadAhead::ReadNext(EntrySink& into) {
  if (!thread_) {
    const std::string& name = names_[nextFile_++];
    return name.empty() ? int32_t{StorageNoEntry} : archive_.ReadEntryTo(name, into);
  }
  for (;;) {
    const Piece& piece = Next();
    const bool last = piece.last;
    const int32_t result = piece.result;
    // A file that fails is not handed over at all when it fits one piece.
    const bool taken = (last && result <= 0) || piece.length == 0 || into.Take(piece.data.get(), piece.length);
    Done();
    if (!taken) return StorageWriteFailed;
    if (last) return result;
  }
}

const ReadAhead::Piece& ReadAhead::Next() {
  while (waitWork_ && !published_.Above(taken_) && waitWork_(waitData_)) {
  }
  published_.WaitAbove(taken_, stop_, kWakeBatch);
  return pieces_[taken_ % kPieces];
}

void ReadAhead::Done() {
  ++taken_;
  released_.Raise();
}

}  // namespace tolvane
