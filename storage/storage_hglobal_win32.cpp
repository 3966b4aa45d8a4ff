// StorageManager: the COM stream variants of the reads, for callers on Windows.
#include <objbase.h>
#include <windows.h>

#include <exception>

#include "storage/storage_manager.h"

namespace {

// Owner of one COM stream reference.
class StreamRef {
 public:
  StreamRef() = default;
  ~StreamRef() {
    if (p_) p_->Release();
  }
  StreamRef(const StreamRef&) = delete;
  StreamRef& operator=(const StreamRef&) = delete;
  IStream** put() { return &p_; }
  IStream* get() const { return p_; }
  IStream* release() {
    IStream* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  IStream* p_ = nullptr;
};

IStream* ToHGlobal(const std::vector<uint8_t>& content) {
  if (content.empty()) return nullptr;
  StreamRef stream;
  // The memory belongs to the stream and goes with it.
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put())) || !stream.get()) return nullptr;
  ULONG written = 0;
  if (FAILED(stream.get()->Write(content.data(), static_cast<ULONG>(content.size()), &written)) ||
      written != content.size())
    return nullptr;
  return stream.release();
}

}  // namespace

IStream* StorageManager::ReadEntryToHGlobal(const std::string& name) {
  try {
    std::vector<uint8_t> content;
    if (ReadEntry(name, content) <= 0) return nullptr;
    return ToHGlobal(content);
  } catch (const std::exception&) {
    return nullptr;
  }
}

IStream* StorageManager::ReadBlockToHGlobal(uint32_t block) {
  try {
    std::vector<uint8_t> content;
    if (ReadBlock(block, content) <= 0) return nullptr;
    return ToHGlobal(content);
  } catch (const std::exception&) {
    return nullptr;
  }
}

bool StorageManager::StreamToVector(IStream* stream, std::vector<uint8_t>& out) {
  out.clear();
  if (!stream) return false;
  STATSTG stat = {};
  if (FAILED(stream->Stat(&stat, STATFLAG_NONAME))) return false;
  if (stat.cbSize.HighPart != 0 || stat.cbSize.LowPart > 0x1000000) return false;
  try {
    out.resize(stat.cbSize.LowPart);
  } catch (const std::exception&) {
    return false;
  }
  LARGE_INTEGER start = {};
  if (FAILED(stream->Seek(start, STREAM_SEEK_SET, nullptr))) {
    out.clear();
    return false;
  }
  ULONG read = 0;
  if (!out.empty() && (FAILED(stream->Read(out.data(), static_cast<ULONG>(out.size()), &read)) || read != out.size())) {
    out.clear();
    return false;
  }
  return true;
}
