#include "engine/package_files.h"

#include <windows.h>

#include <new>
#include <vector>

#include "common/win_owners.h"
#include "engine/error_texts.h"
#include "engine/worker.h"
#include "package/manifest.h"
#include "package/payload_cipher.h"
#include "state/install_folder.h"
#include "state/installed_product.h"
#include "storage/storage_manager.h"

using tolvane::kBadPackageText;
using tolvane::PostProgress;
using tolvane::ReportError;
using tolvane::StopPoint;
using tolvane::StopRequested;

namespace {

// Entry names are stored in the archive in the thread's ANSI code page.
bool ToThreadAnsi(const std::u16string& name, std::string& out) {
  const std::wstring wide = ToWide(name);
  if (wide.empty()) return false;
  const int length = static_cast<int>(wide.size());
  const int needed = WideCharToMultiByte(CP_THREAD_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return false;
  out.assign(static_cast<size_t>(needed), '\0');
  return WideCharToMultiByte(CP_THREAD_ACP, 0, wide.data(), length, &out[0], needed, nullptr, nullptr) == needed;
}

// The payload resource copied into memory of our own (the resource itself is read-only).
bool CopyPayload(std::vector<uint8_t>& buffer) {
  tolvane::LoadedResource payload(GetModuleHandleW(nullptr), PayloadResourceId, RT_RCDATA);
  if (!payload.found()) return false;
  try {
    buffer.assign(payload.data(), payload.data() + payload.size());
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace

const wchar_t* WritePackageFile(StorageManager& archive, const std::u16string& name, const std::wstring& folder,
                                uint64_t& bytesWritten, std::wstring& errorText) {
  std::string entryName;
  if (!ToThreadAnsi(name, entryName)) return kBadPackageText;
  std::vector<uint8_t> content;
  // An empty entry is as unusable as a missing one: every file of the package has content.
  if (archive.ReadEntry(entryName, content, 0xFFFFFFFFu) <= 0) return kBadPackageText;
  return tolvane::WriteFileContent(folder + ToWide(name), content.data(), content.size(), bytesWritten,
                                   errorText);
}

bool ExtractPackage(WorkerContext& context, int32_t base, int32_t span) {
  const PackageManifest& manifest = context.manifest;
  const std::wstring& folder = InstalledProduct().InstallPath;

  // Names come from our own resource, but a name that climbs out of the install folder
  // must never reach the file system, so the whole list is checked before anything is
  // written.
  for (const ManifestEntry& entry : manifest.Entries) {
    if (!tolvane::IsContainedRelativeName(entry.Name)) {
      ReportError(context, kBadPackageText);
      return false;
    }
  }

  std::vector<uint8_t> buffer;
  if (!CopyPayload(buffer) || buffer.size() % 8 != 0) {
    ReportError(context, kBadPackageText);
    return false;
  }
  // A wrong key is not detected here: the archive's header check below refuses the result.
  DecipherBuffer(buffer.data(), buffer.size(), context.key.data());
  if (StopRequested(context, StopPoint::PayloadDeciphered)) return false;

  StorageManager archive(kPackageSignature, kPackageVersion);
  if (!archive.Open(buffer, OpenRead)) {
    ReportError(context, kBadPackageText);
    return false;
  }

  uint64_t bytesWritten = 0;
  for (size_t i = 0; i < manifest.Entries.size(); ++i) {
    if (StopRequested(context, StopPoint::BeforeEntry, i)) return false;
    const ManifestEntry& entry = manifest.Entries[i];
    if (entry.Kind == Folder) {
      if (!CreateFolderPath(context.window, folder + ToWide(entry.Name))) {
        ReportError(context, tolvane::kFolderErrorText);
        return false;
      }
      continue;
    }
    if (const wchar_t* error = WritePackageFile(archive, entry.Name, folder, bytesWritten, ErrorTextBuffer)) {
      ReportError(context, error);
      return false;
    }
    // A manifest that claims no bytes at all cannot give a share: the bar stays put.
    if (manifest.TotalBytes != 0) {
      PostProgress(context, tolvane::ExtractionProgress(base, span, bytesWritten, manifest.TotalBytes),
                   WM_SETUP_PROGRESS);
    }
  }
  return !StopRequested(context, StopPoint::AfterLastEntry);
}
