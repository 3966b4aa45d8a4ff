#include "tools/tolvane_pack/strong_deflate.h"

#include <libdeflate.h>

#include <exception>
#include <memory>

namespace tolvane::pack {

struct StrongDeflater::State {
  struct Free {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
  };
  std::unique_ptr<libdeflate_compressor, Free> compressor{libdeflate_alloc_compressor(12)};
};

StrongDeflater::StrongDeflater() {
  try {
    state_ = std::make_unique<State>();
  } catch (const std::exception&) {
  }
}
StrongDeflater::~StrongDeflater() = default;

bool StrongDeflater::Deflate(const void* data, uint32_t length, std::vector<uint8_t>& out) {
  out.clear();
  libdeflate_compressor* c = state_ ? state_->compressor.get() : nullptr;
  if (!c) return false;
  try {
    out.resize(libdeflate_zlib_compress_bound(c, length));
  } catch (const std::exception&) {
    return false;
  }
  const size_t n = libdeflate_zlib_compress(c, data, length, out.data(), out.size());
  out.resize(n);
  return n != 0;
}

}  // namespace tolvane::pack
