// Time of extracting the embedded sample package, split into its three costs (decipher
// the payload, inflate every file from the archive, write the files), against copying
// the same product tree file by file with CopyFileW, all in one run. Prints times and
// ratios; exits non-zero only when an extracted tree differs from the product tree.
//
//   bench_extract.exe [rounds]
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "common/text_conversion.h"
#include "common/win_owners.h"
#include "engine/file_output.h"
#include "engine/install_run.h"
#include "engine/package_files.h"
#include "engine/worker.h"
#include "package/key_provider.h"
#include "package/manifest.h"
#include "package/payload_cipher.h"
#include "state/installed_product.h"
#include "storage/storage_manager.h"
#include "tests/support/test_files.h"

namespace {

using tolvane::test::ReadFileBytes;
using tolvane::test::RemoveTree;
using Clock = std::chrono::steady_clock;

double Milliseconds(const std::function<bool()>& step, bool& ok) {
  const auto start = Clock::now();
  ok = step() && ok;
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::wstring FreshFolder(const wchar_t* name) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + name + L"\\";
  RemoveTree(folder);
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

bool SameTree(const PackageManifest& m, const std::wstring& a, const std::wstring& b) {
  for (const ManifestEntry& e : m.Entries) {
    if (e.Kind == Folder) continue;
    std::vector<uint8_t> x, y;
    if (!ReadFileBytes(a + ToWide(e.Name), x) || !ReadFileBytes(b + ToWide(e.Name), y) || x != y) {
      std::fwprintf(stderr, L"bench_extract: %ls differs\n", ToWide(e.Name).c_str());
      return false;
    }
  }
  return true;
}

bool ReadResource(int id, std::vector<uint8_t>& out) {
  const tolvane::LoadedResource resource(nullptr, id, RT_RCDATA);
  if (!resource.found()) return false;
  out.assign(resource.data(), resource.data() + resource.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  std::vector<uint8_t> manifestBytes, payload;
  PackageManifest manifest;
  PayloadKey key{};
  {
    if (!ReadResource(ManifestResourceId, manifestBytes) || !ReadResource(PayloadResourceId, payload)) {
      std::fprintf(stderr, "bench_extract: package resources missing\n");
      return 1;
    }
    ByteInputStream m(manifestBytes.data(), manifestBytes.size());
    if (!ReadManifest(m, manifest) || !KeyProvider(manifest.KeyBlock, key)) {
      std::fprintf(stderr, "bench_extract: manifest or key refused\n");
      return 1;
    }
  }
  const std::wstring product = TOLVANE_PRODUCT_TREE;
  double best[5] = {1e300, 1e300, 1e300, 1e300, 1e300};  // decipher, inflate, write, extract, copy
  bool ok = true;
  for (int r = 0; r < rounds; ++r) {
    // The three parts, one after the other, as ExtractPackage does them.
    std::vector<uint8_t> buffer = payload;
    const double decipher = Milliseconds([&] { return DecipherBuffer(buffer.data(), buffer.size(), key.data()); }, ok);
    std::vector<std::vector<uint8_t>> contents;
    const double inflate = Milliseconds(
        [&] {
          StorageManager archive(kPackageSignature, kPackageVersion);
          if (!archive.OpenForReading(buffer)) return false;
          for (const ManifestEntry& e : manifest.Entries) {
            if (e.Kind == Folder) continue;
            std::string name;  // archive names are code page 936 (the sample has Chinese ones)
            if (!ToArchiveName(e.Name, name)) return false;
            contents.emplace_back();
            if (archive.ReadEntry(name, contents.back(), 0xFFFFFFFFu) <= 0) return false;
          }
          return true;
        },
        ok);
    const std::wstring parts = FreshFolder(L"tolvane-bench-parts");
    const double write = Milliseconds(
        [&] {
          uint64_t written = 0;
          size_t next = 0;
          for (const ManifestEntry& e : manifest.Entries) {
            const std::wstring path = parts + ToWide(e.Name);
            if (e.Kind == Folder) {
              if (!CreateDirectoryW(path.c_str(), nullptr)) return false;
              continue;
            }
            const std::vector<uint8_t>& c = contents[next++];
            if (tolvane::WriteFileContent(path, c.data(), c.size(), written)) return false;
          }
          return true;
        },
        ok);
    ok = SameTree(manifest, product, parts) && ok;

    // The whole operation as the install runs it.
    const std::wstring whole = FreshFolder(L"tolvane-bench-extract");
    InstalledProduct().InstallPath = whole;
    std::atomic<int32_t> progress{0};
    WorkerContext& context = UpgradeWorkerContext;  // no stop flag
    context.window = nullptr;
    context.progress = &progress;
    context.manifest = manifest;
    context.key = key;
    const double extract = Milliseconds([&] { return ExtractPackage(context, 20, 80) && progress == 100; }, ok);
    ok = SameTree(manifest, product, whole) && ok;
    // As setup does after a run: its journal and the journal's place in the product key
    // go (the key too, being all the key held), so the prefix is left without a product.
    tolvane::ClearUpFinishedRun();
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }

    // The reference: the same tree copied file by file.
    const std::wstring copy = FreshFolder(L"tolvane-bench-copy");
    const double copied = Milliseconds(
        [&] {
          for (const ManifestEntry& e : manifest.Entries) {
            const std::wstring name = ToWide(e.Name);
            if (e.Kind == Folder) {
              if (!CreateDirectoryW((copy + name).c_str(), nullptr)) return false;
            } else if (!CopyFileW((product + name).c_str(), (copy + name).c_str(), FALSE)) {
              return false;
            }
          }
          return true;
        },
        ok);
    ok = SameTree(manifest, product, copy) && ok;
    const double t[5] = {decipher, inflate, write, extract, copied};
    for (int i = 0; i < 5; ++i) best[i] = t[i] < best[i] ? t[i] : best[i];
    RemoveTree(parts);
    RemoveTree(whole);
    RemoveTree(copy);
  }
  std::printf("extract of %zu entries, %llu file bytes, payload %zu bytes (best of %d)\n", manifest.Entries.size(),
              static_cast<unsigned long long>(manifest.TotalBytes), payload.size(), rounds);
  std::printf("  decipher      %8.1f ms  %5.2f x copy\n", best[0], best[0] / best[4]);
  std::printf("  inflate       %8.1f ms  %5.2f x copy\n", best[1], best[1] / best[4]);
  std::printf("  write         %8.1f ms  %5.2f x copy\n", best[2], best[2] / best[4]);
  std::printf("  sum of parts  %8.1f ms  %5.2f x copy\n", best[0] + best[1] + best[2],
              (best[0] + best[1] + best[2]) / best[4]);
  std::printf("  ExtractPackage%8.1f ms  %5.2f x copy\n", best[3], best[3] / best[4]);
  std::printf("  plain copy    %8.1f ms  (CopyFileW of the product tree)\n", best[4]);
  // Within one process, so without the start-up costs the whole-process comparison of
  // extract_peer.sh subtracts.
  std::printf("ratio extract_inprocess_wall_vs_copy %.3f aim <= 1.3\n", best[3] / best[4]);
  if (!ok) std::fprintf(stderr, "bench_extract: a step failed or a tree differs\n");
  return ok ? 0 : 1;
}
