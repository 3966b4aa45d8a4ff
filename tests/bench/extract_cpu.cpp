// One whole process per measurement for extract_peer.py, which times it from outside:
//
//   bench_extract_cpu.exe nothing FOLDER   read the manifest and the key, make FOLDER, end
//   bench_extract_cpu.exe extract FOLDER   the same, then ExtractPackage into FOLDER
//   bench_extract_cpu.exe copy FOLDER      the same, then CopyFileW of the product tree
//
// "nothing" is the start-up cost that the other two subtract. Exit status 0 on success.
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/text_conversion.h"
#include "engine/install_run.h"
#include "engine/package_files.h"
#include "engine/worker.h"
#include "package/key_provider.h"
#include "state/installed_product.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_extract_cpu.exe nothing|extract|copy FOLDER\n");
    return 2;
  }
  const std::wstring mode = argv[1];
  std::wstring folder = argv[2];
  if (folder.back() != L'\\') folder += L'\\';

  WorkerContext& context = UpgradeWorkerContext;  // no stop flag
  std::atomic<int32_t> progress{0};
  context.window = nullptr;
  context.progress = &progress;
  if (!ReadManifestResource(context) || !KeyProvider(context.manifest.KeyBlock, context.key)) {
    std::fprintf(stderr, "bench_extract_cpu: manifest or key refused\n");
    return 1;
  }
  if (!CreateDirectoryW(folder.c_str(), nullptr)) {
    std::fwprintf(stderr, L"bench_extract_cpu: cannot make %ls\n", folder.c_str());
    return 1;
  }
  InstalledProduct().InstallPath = folder;

  if (mode == L"nothing") return 0;
  if (mode == L"extract") {
    if (!ExtractPackage(context, 20, 80) || progress != 100) return 1;
    // What the worker does once the end is shown: the tree is then the product alone.
    tolvane::ClearUpFinishedRun();
    return 0;
  }
  if (mode == L"copy") {
    const std::wstring product = TOLVANE_PRODUCT_TREE;
    for (const ManifestEntry& e : context.manifest.Entries) {
      const std::wstring name = ToWide(e.Name);
      const bool ok = e.Kind == Folder ? CreateDirectoryW((folder + name).c_str(), nullptr) != 0
                                       : CopyFileW((product + name).c_str(), (folder + name).c_str(), FALSE) != 0;
      if (!ok) return 1;
    }
    return 0;
  }
  return 2;
}
