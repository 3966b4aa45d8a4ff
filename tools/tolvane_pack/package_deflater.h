// Compresses the files of a package for the archive, on worker threads where the build
// has them, and hands the stored payloads (zlib streams without their two header bytes)
// back piece by piece in the order the files were given. Memory stays bounded whatever
// the files' sizes: a few jobs are in flight, each at most a few MiB.
//
// A file of up to kWholeFileBytes is one job, compressed whole (zlib level 9, or the
// strong compressor of `setup`). A larger one is compressed as one zlib stream made of
// independent chunks: each chunk is raw deflate at level 9 primed with the 32 KiB before
// it, ended with a sync flush (the last one with the end of the stream); the Adler-32 of
// the whole file, combined from the chunks', follows. Which thread made a chunk does not
// change a byte: the output depends on the input alone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tolvane::pack {

enum class PackCompressor {
  Zlib9,   // zlib level 9 for whole files: the bytes the archive writer makes itself
  Strong,  // StrongDeflater (libdeflate 12) for whole files
};

struct DeflateInput {
  std::filesystem::path path;
  uint64_t size = 0;  // what the scan found; a file that differs is refused
};

class PackageDeflater {
 public:
  static constexpr uint32_t kWholeFileBytes = 4u << 20;
  static constexpr uint32_t kChunkBytes = 1u << 20;

  // workers 0: everything on the calling thread.
  PackageDeflater(std::vector<DeflateInput> files, PackCompressor compressor, unsigned workers);
  ~PackageDeflater();
  PackageDeflater(const PackageDeflater&) = delete;
  PackageDeflater& operator=(const PackageDeflater&) = delete;

  // The next piece of the stored payload of the files, in order; `last` marks the last
  // piece of a file. The piece stays valid until the next call. False once something
  // failed, with error naming the file.
  bool NextPiece(const uint8_t*& data, uint32_t& length, bool& last, std::string& error);

  // The worker count the machine suits (its cores, at most 2).
  static unsigned DefaultWorkers();

 private:
  struct Shared;
  std::unique_ptr<Shared> shared_;
};

}  // namespace tolvane::pack
