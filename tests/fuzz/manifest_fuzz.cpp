// libFuzzer target: arbitrary bytes as a package manifest. Besides running clean under
// ASan and UBSan, a manifest that reads must survive writing and reading back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "package/key_provider.h"
#include "package/manifest.h"
#include "package/payload_cipher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteInputStream in(data, size);
  PackageManifest manifest;
  if (!ReadManifest(in, manifest)) return 0;

  std::vector<uint8_t> written = WriteManifest(manifest);
  ByteInputStream again(written.data(), written.size());
  PackageManifest back;
  if (!ReadManifest(again, back) || again.Remaining() != 0) std::abort();
  if (back.Version != manifest.Version || back.Reserved != manifest.Reserved ||
      back.TotalBytes != manifest.TotalBytes || back.KeyBlock != manifest.KeyBlock ||
      back.Entries.size() != manifest.Entries.size())
    std::abort();
  for (size_t i = 0; i < back.Entries.size(); ++i)
    if (back.Entries[i].Name != manifest.Entries[i].Name || back.Entries[i].Kind != manifest.Entries[i].Kind)
      std::abort();
  // The writer's forms are the shortest, so the stored form can only shrink.
  if (written.size() > size) std::abort();

  PayloadKey key;
  if (KeyProvider(manifest.KeyBlock, key)) {
    std::vector<uint8_t> copy(data, data + size);
    DecipherBuffer(copy.data(), copy.size(), key.data());
  }
  return 0;
}
