// zlib calls of the archive that compress. Streams are initialised with the version
// string "1.2.3", as in inflate.cpp.
#include <zlib.h>

#include <exception>

#include "storage/storage_format.h"
#include "storage/zlib_codec.h"

namespace tolvane {
namespace {

constexpr uint32_t kPiece = 0x4000;
constexpr const char* kZlibVersion = "1.2.3";

// Ends a zlib stream whatever way the function leaves.
struct DeflateOwner {
  z_stream* zs;
  ~DeflateOwner() { deflateEnd(zs); }
};

}  // namespace

bool DeflateLevel9(const void* data, uint32_t length, std::vector<uint8_t>& out) {
  out.clear();
  z_stream zs{};
  if (deflateInit_(&zs, 9, kZlibVersion, static_cast<int>(sizeof(z_stream))) != Z_OK) return false;
  DeflateOwner owner{&zs};
  zs.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(data));
  zs.avail_in = length;
  try {
    for (;;) {
      size_t old = out.size();
      out.resize(old + kPiece);
      zs.next_out = out.data() + old;
      zs.avail_out = kPiece;
      int rc = deflate(&zs, Z_FINISH);
      out.resize(old + (kPiece - zs.avail_out));
      if (rc == Z_STREAM_ERROR) return false;
      if (zs.avail_out != 0) return rc == Z_STREAM_END;
    }
  } catch (const std::exception&) {
    out.clear();
    return false;
  }
}

bool HasLevel9Header(const std::vector<uint8_t>& compressed) {
  return compressed.size() >= 2 && compressed[0] == storage_format::kZlibHeader0 &&
         compressed[1] == storage_format::kZlibHeader1;
}

// ---------------------------------------------------------------------------------------
// A stream kept for reuse

struct Deflater::State {
  z_stream zs{};
  bool ready = false;
  std::vector<uint8_t> out;
  ~State() {
    if (ready) deflateEnd(&zs);
  }
};

Deflater::Deflater() = default;
Deflater::~Deflater() = default;

const uint8_t* Deflater::Deflate(const void* data, uint32_t length, size_t& compressedLength) {
  compressedLength = 0;
  try {
    if (!state_) state_ = std::make_unique<State>();
    z_stream& zs = state_->zs;
    if (!state_->ready) {
      zs = z_stream{};
      if (deflateInit_(&zs, 9, kZlibVersion, static_cast<int>(sizeof(z_stream))) != Z_OK) return nullptr;
      state_->ready = true;
    } else if (deflateReset(&zs) != Z_OK) {
      return nullptr;
    }
    // Room for the whole result, so that one call finishes the stream.
    const uLong bound = deflateBound(&zs, length);
    if (state_->out.size() < bound) state_->out.resize(bound);
    zs.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(data));
    zs.avail_in = length;
    zs.next_out = state_->out.data();
    zs.avail_out = static_cast<uInt>(state_->out.size());
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) return nullptr;
    compressedLength = state_->out.size() - zs.avail_out;
    return state_->out.data();
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace tolvane
