// Inflating what the archive stores. A compressed payload is a zlib stream kept without its
// two header bytes, which are put back in front (0x78 0xDA) as it is inflated. Every reader
// of a compressed payload (whole, in pieces, into a sink, a chunk) goes through
// PieceInflater::Run: one loop, one reading of zlib's results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace tolvane {

// Kept from one payload to the next (inflateReset, not a new stream and its state each
// time). Not for use by two threads at once.
class PieceInflater {
 public:
  static constexpr uint32_t kInputPiece = 0x20000;   // stored bytes read at a time
  static constexpr uint32_t kOutputPiece = 0x20000;  // content handed on at a time, at most
  enum Result {
    Ended,       // the stream ended and its checksum matched
    Damaged,     // damaged or truncated stream, a bad checksum, or a dictionary request
    ReadFailed,  // read refused a piece
    Refused,     // take refused a piece
    TooLong,     // the content would exceed what the output holds
    NoMemory,    // the buffers or zlib's state could not be allocated
    Limited,     // the output wanted no more before the stream's end (its checksum unseen)
  };
  // read(buffer, n) fills buffer with the next n stored bytes; take(data, n) receives the
  // next n bytes of content.
  using ReadPiece = std::function<bool(uint8_t* buffer, uint32_t length)>;
  using TakePiece = std::function<bool(const uint8_t* data, size_t length)>;

  // Where the content goes.
  class Output {
   public:
    static constexpr int kGoOn = -1;
    // Space for the next step of zlib; false when no more is wanted (the run ends Limited).
    virtual bool Room(uint8_t*& at, size_t& room) = 0;
    // n bytes were put at the last room; sound is false when zlib reported damage with
    // them (they are then not to be passed on). kGoOn, or the Result to end with.
    virtual int Took(size_t n, bool sound) = 0;
    // The stream ended (Ended) or its input ran out first (Damaged): the result to give.
    virtual Result Ending(Result r) { return r; }

   protected:
    ~Output() = default;
  };

  PieceInflater();
  ~PieceInflater();
  PieceInflater(const PieceInflater&) = delete;
  PieceInflater& operator=(const PieceInflater&) = delete;

  // Inflates length bytes: at data, or read in pieces through read when it is given. A
  // stored payload gets its header put back; a whole zlib stream (stored false) has it.
  // Bytes after the end of the stream are not read.
  Result Run(const uint8_t* data, uint32_t length, const ReadPiece* read, bool stored, Output& out);

  // A stored payload read in pieces, its content handed to take in pieces of at most
  // kOutputPiece bytes; TooLong beyond limit bytes. `produced`: the content's length.
  Result InflateStored(uint32_t storedLength, const ReadPiece& read, const TakePiece& take, uint64_t limit,
                       uint64_t& produced);
  // Appends the content to out, at most limit bytes (0: no limit; Limited when it stopped
  // there). sizeHint (0: none) lets the output start at a likely size.
  Result AppendTo(const uint8_t* data, uint32_t length, bool stored, std::vector<uint8_t>& out, uint32_t sizeHint,
                  uint64_t limit);
  // The content into out[0, capacity), `produced` its length. TooLong for content longer
  // than capacity, decided by the 16 KiB piece of output in which it or damage shows
  // first, damage first within a piece.
  Result InflateInto(const uint8_t* payload, uint32_t length, uint8_t* out, size_t capacity, size_t& produced);
  // The content handed to take in pieces of at most 16 KiB.
  Result HandTo(const uint8_t* data, uint32_t length, bool stored, const TakePiece& take);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The archive's result code for a run that did not end well (StorageInflateFailed for
// damage, StorageReadFailed, StorageWriteFailed for a refused piece, StorageNoMemory).
int32_t InflateFailureCode(PieceInflater::Result result);

}  // namespace tolvane
