// libFuzzer target: arbitrary bytes as the executable `tolvane-pack inspect` reads: PE
// headers, the resource tree, the version resource, the application manifest (XML),
// the import and load-configuration tables, and the package manifest resource. Besides
// running clean under ASan and UBSan, a file that reads and can be rewritten must read
// back with the same resources.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "package/file_version.h"
#include "package/manifest.h"
#include "tools/tolvane_pack/pe_hardening.h"
#include "tools/tolvane_pack/pe_resources.h"

using namespace tolvane::pack;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pe::Image image;
  std::string problem;
  if (!image.Parse(pe::Bytes(data, data + size), problem)) return 0;

  pe::Hardening hardening = pe::AnalyseHardening(image);
  std::vector<std::string> faults;
  pe::HardeningFaults(hardening, "f", faults);
  nlohmann::ordered_json json;
  pe::AddHardeningJson(hardening, json);
  (void)json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  (void)pe::HardeningText(hardening);

  if (const pe::ResourceData* version = image.Find(pe::kRtVersion, 1)) {
    std::u16string text;
    if (pe::FindFileVersionText(version->bytes, text)) (void)tolvane::FileVersionNumber(text);
  }
  if (const pe::ResourceData* manifest = image.Find(pe::kRtRcdata, 218)) {
    ByteInputStream in(manifest->bytes.data(), manifest->bytes.size());
    PackageManifest parsed;
    (void)ReadManifest(in, parsed);
  }
  (void)image.ChecksumFieldOffset();

  pe::Bytes written;
  if (image.IsPe32Plus() || !image.Write(written, problem)) return 0;
  pe::Image again;
  if (!again.Parse(written, problem)) std::abort();
  if (again.Resources().size() != image.Resources().size()) std::abort();
  return 0;
}
