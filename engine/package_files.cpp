#include "engine/package_files.h"

#include <windows.h>

#include <vector>

#include "common/text_conversion.h"
#include "common/win_owners.h"
#include "engine/extract_pipeline.h"
#include "engine/install_run.h"
#include "engine/worker.h"
#include "package/manifest.h"
#include "package/payload_cipher.h"
#include "package/payload_stream.h"
#include "state/install_folder.h"
#include "state/installed_product.h"
#include "storage/storage_manager.h"

using tolvane::Failed;
using tolvane::Failure;
using tolvane::PostProgress;
using tolvane::StopPoint;
using tolvane::StopRequested;
using What = tolvane::Failure::What;

namespace {

// A failed entry read: memory that ran out is not the package's fault.
Failure EntryFailure(int32_t result, const std::wstring& path) {
  return Failed(result == StorageNoMemory ? What::OutOfMemory : What::BadPackage, path, static_cast<uint32_t>(result));
}

// Files at least this large also move the progress bar while they are written.
constexpr uint64_t kProgressWithinFileFrom = 0x400000;

// Writes one file's content as it comes, moving the progress bar within large files.
class FileSink final : public EntrySink {
 public:
  FileSink(const std::wstring& path, WorkerContext& context, int32_t base, int32_t span, uint64_t total,
           uint64_t& bytesWritten)
      : writer_(path), context_(context), base_(base), span_(span), total_(total), bytesWritten_(bytesWritten),
        before_(bytesWritten) {}
  bool Take(const uint8_t* data, size_t length) override {
    failure_ = writer_.Write(data, length, bytesWritten_);
    if (failure_) return false;
    if (total_ != 0 && bytesWritten_ - before_ >= kProgressWithinFileFrom) {
      const int32_t value = tolvane::ExtractionProgress(base_, span_, bytesWritten_, total_);
      if (value != posted_) PostProgress(context_, value, WM_SETUP_PROGRESS);
      posted_ = value;
    }
    return true;
  }
  tolvane::PieceFileWriter& writer() { return writer_; }
  Failure& failure() { return failure_; }

 private:
  tolvane::PieceFileWriter writer_;
  WorkerContext& context_;
  const int32_t base_, span_;
  const uint64_t total_;
  uint64_t& bytesWritten_;
  const uint64_t before_;
  int32_t posted_ = -1;
  Failure failure_;
};

// Writes the next file of `ahead` as `path` and hands it to `run` to reach the disk.
Failure WritePackageFile(tolvane::ReadAhead& ahead, tolvane::InstallRun& run, const std::wstring& path,
                         WorkerContext& context, int32_t base, int32_t span, uint64_t total, uint64_t& bytesWritten) {
  FileSink sink(path, context, base, span, total, bytesWritten);
  const int32_t result = ahead.ReadNext(sink);
  if (sink.failure()) return std::move(sink.failure());
  if (result <= 0) {
    // A missing or empty entry is as unusable as a damaged one: every file of the
    // package has content.
    sink.writer().Abandon();
    return EntryFailure(result, path);
  }
  if (Failure failure = sink.writer().Finish()) return failure;
  return run.Written(sink.writer().TakeFile(), path);
}

// Every entry in manifest order, each after `run` is ready for it; stopped (install) when
// the stop flag was seen.
Failure WriteEntries(WorkerContext& context, int32_t base, int32_t span, tolvane::ReadAhead& ahead,
                     tolvane::InstallRun& run, bool& stopped) {
  const PackageManifest& manifest = context.manifest;
  const std::wstring& folder = InstalledProduct().InstallPath;
  uint64_t bytesWritten = 0;
  for (size_t i = 0; i < manifest.Entries.size(); ++i) {
    if ((stopped = StopRequested(context, StopPoint::BeforeEntry, i))) return {};
    if (Failure failure = run.ReadyFor(i)) return failure;
    const ManifestEntry& entry = manifest.Entries[i];
    const std::wstring path = folder + ToWide(entry.Name);
    if (entry.Kind == Folder) {
      // (Its own box has named the level that failed.)
      if (!CreateFolderPath(context.window, path)) return Failed(What::FolderNotMade, path, GetLastError());
      continue;
    }
    if (Failure failure = WritePackageFile(ahead, run, path, context, base, span, manifest.TotalBytes, bytesWritten)) {
      return failure;
    }
    // A manifest that claims no bytes at all cannot give a share: the bar stays put.
    if (manifest.TotalBytes != 0) {
      PostProgress(context, tolvane::ExtractionProgress(base, span, bytesWritten, manifest.TotalBytes),
                   WM_SETUP_PROGRESS);
    }
  }
  stopped = StopRequested(context, StopPoint::AfterLastEntry);
  return {};
}

// ExtractPackage without its report: the failure, or none (then `stopped` says whether
// the install was stopped).
Failure Extract(WorkerContext& context, int32_t base, int32_t span, bool& stopped) {
  const PackageManifest& manifest = context.manifest;
  const std::wstring& folder = InstalledProduct().InstallPath;
  stopped = false;

  // Names come from our own resource, but a name that climbs out of the install folder
  // must never reach the file system, so the whole list is checked before anything is
  // written.
  for (const ManifestEntry& entry : manifest.Entries) {
    if (!tolvane::IsContainedRelativeName(entry.Name)) return Failed(What::BadPackage);
  }

  // The payload is read where the resource lies (read-only), deciphered a window at a
  // time as the archive asks for it.
  tolvane::LoadedResource payload(GetModuleHandleW(nullptr), PayloadResourceId, RT_RCDATA);
  if (!payload.found() || payload.size() % 8 != 0) return Failed(What::BadPackage);
  StorageManagerConstMemoryStream resource(payload.data(), payload.size());
  PayloadReadStream deciphering(resource, 0, payload.size(), context.key);
  if (!deciphering.IsReady()) return Failed(What::OutOfMemory);
  tolvane::SplitDecipher split;
  // (Without its helper thread the payload is deciphered by the reading thread alone.)
  if (split.Start()) deciphering.SetDecipher(&tolvane::SplitDecipher::Decipher, &split);
  if ((stopped = StopRequested(context, StopPoint::PayloadDeciphered))) return {};

  // A wrong key is not detected before this: the archive's header check refuses it.
  StorageManager archive(kPackageSignature, kPackageVersion);
  if (!archive.OpenForReading(deciphering)) {
    return Failed(deciphering.OutOfMemory() ? What::OutOfMemory : What::BadPackage);
  }

  // The archive names, for the inflating thread; one that 936 cannot hold stays empty.
  std::vector<std::string> names;
  for (const ManifestEntry& entry : manifest.Entries) {
    if (entry.Kind == Folder) continue;
    names.emplace_back();
    if (!ToArchiveName(entry.Name, names.back())) names.back().clear();
  }
  // Nothing is changed unless every file to be replaced can be: a running server's
  // executable fails the run here, before the first change.
  // What an earlier run that finished left to remove is no reason to refuse this one.
  tolvane::ClearUpFinishedRun();
  tolvane::InstallRun run(folder);
  if (Failure failure = run.Plan(manifest.Entries)) return failure;
  tolvane::ReadAhead ahead(archive, names);
  // (Without its thread the files are read as they are written.)
  ahead.Start();

  // From the first change on, a run that does not finish puts the folder back before it
  // reports; an exception passing through leaves that to the run's destructor. The old
  // files are moved aside ahead of their entries on the run's helper thread (or, without
  // it, while the worker waits for content), so that the moves mostly cost no time.
  Failure failure = run.Begin();
  if (!failure) {
    if (!run.StartHelpers()) ahead.SetWaitWork(&tolvane::InstallRun::MoveOneAhead, &run);
    failure = WriteEntries(context, base, span, ahead, run, stopped);
  }
  if (!failure && !stopped) failure = run.Finish();
  if (failure || stopped) run.Undo();
  return failure;
}

}  // namespace

bool ExtractPackage(WorkerContext& context, int32_t base, int32_t span) {
  bool stopped = false;
  const Failure failure = Extract(context, base, span, stopped);
  if (failure) tolvane::ReportFailure(context, failure);
  return !failure && !stopped;
}
