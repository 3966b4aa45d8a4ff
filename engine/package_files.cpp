#include "engine/package_files.h"

#include <windows.h>

#include <new>
#include <vector>

#include "common/text_conversion.h"
#include "common/win_owners.h"
#include "engine/extract_pipeline.h"
#include "engine/error_texts.h"
#include "engine/install_run.h"
#include "engine/worker.h"
#include "package/manifest.h"
#include "package/payload_cipher.h"
#include "package/payload_stream.h"
#include "state/install_folder.h"
#include "state/installed_product.h"
#include "storage/storage_manager.h"

using tolvane::kBadPackageText;
using tolvane::kOutOfMemoryText;
using tolvane::PostProgress;
using tolvane::ReportError;
using tolvane::StopPoint;
using tolvane::StopRequested;

namespace {

// What a failed entry read tells the user: memory that ran out is not the package's fault.
const wchar_t* EntryFailureText(int32_t result) {
  return result == StorageNoMemory ? kOutOfMemoryText : kBadPackageText;
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
    error_ = writer_.Write(data, length, bytesWritten_, ErrorTextBuffer);
    if (error_) return false;
    if (total_ != 0 && bytesWritten_ - before_ >= kProgressWithinFileFrom) {
      const int32_t value = tolvane::ExtractionProgress(base_, span_, bytesWritten_, total_);
      if (value != posted_) PostProgress(context_, value, WM_SETUP_PROGRESS);
      posted_ = value;
    }
    return true;
  }
  tolvane::PieceFileWriter& writer() { return writer_; }
  const wchar_t* error() const { return error_; }

 private:
  tolvane::PieceFileWriter writer_;
  WorkerContext& context_;
  const int32_t base_, span_;
  const uint64_t total_;
  uint64_t& bytesWritten_;
  const uint64_t before_;
  int32_t posted_ = -1;
  const wchar_t* error_ = nullptr;
};

// Writes the next file of `ahead` as `path`; null on success, otherwise the failure text.
const wchar_t* WritePackageFile(tolvane::ReadAhead& ahead, const std::wstring& path, WorkerContext& context,
                                int32_t base, int32_t span, uint64_t total, uint64_t& bytesWritten) {
  FileSink sink(path, context, base, span, total, bytesWritten);
  const int32_t result = ahead.ReadNext(sink);
  if (sink.error()) return sink.error();
  if (result <= 0) {
    // A missing or empty entry is as unusable as a damaged one: every file of the
    // package has content.
    sink.writer().Abandon();
    return EntryFailureText(result);
  }
  return sink.writer().Finish(ErrorTextBuffer);
}

// Every entry in manifest order, each after `run` is ready for it; null when all were
// written or the install was stopped (`stopped` then says so), otherwise the failure text.
const wchar_t* WriteEntries(WorkerContext& context, int32_t base, int32_t span, tolvane::ReadAhead& ahead,
                            tolvane::InstallRun& run, bool& stopped) {
  const PackageManifest& manifest = context.manifest;
  const std::wstring& folder = InstalledProduct().InstallPath;
  uint64_t bytesWritten = 0;
  for (size_t i = 0; i < manifest.Entries.size(); ++i) {
    if ((stopped = StopRequested(context, StopPoint::BeforeEntry, i))) return nullptr;
    if (const wchar_t* error = run.ReadyFor(i, ErrorTextBuffer)) return error;
    const ManifestEntry& entry = manifest.Entries[i];
    if (entry.Kind == Folder) {
      if (!CreateFolderPath(context.window, folder + ToWide(entry.Name))) return tolvane::kFolderErrorText;
      continue;
    }
    if (const wchar_t* error = WritePackageFile(ahead, folder + ToWide(entry.Name), context, base, span,
                                                manifest.TotalBytes, bytesWritten)) {
      return error;
    }
    // A manifest that claims no bytes at all cannot give a share: the bar stays put.
    if (manifest.TotalBytes != 0) {
      PostProgress(context, tolvane::ExtractionProgress(base, span, bytesWritten, manifest.TotalBytes),
                   WM_SETUP_PROGRESS);
    }
  }
  stopped = StopRequested(context, StopPoint::AfterLastEntry);
  return nullptr;
}

}  // namespace

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

  // The payload is read where the resource lies (read-only), deciphered a window at a
  // time as the archive asks for it.
  tolvane::LoadedResource payload(GetModuleHandleW(nullptr), PayloadResourceId, RT_RCDATA);
  if (!payload.found() || payload.size() % 8 != 0) {
    ReportError(context, kBadPackageText);
    return false;
  }
  StorageManagerConstMemoryStream resource(payload.data(), payload.size());
  PayloadReadStream deciphering(resource, 0, payload.size(), context.key);
  if (!deciphering.IsReady()) {
    ReportError(context, kOutOfMemoryText);
    return false;
  }
  tolvane::SplitDecipher split;
  if (split.Start()) deciphering.SetDecipher(&tolvane::SplitDecipher::Decipher, &split);
  if (StopRequested(context, StopPoint::PayloadDeciphered)) return false;

  // A wrong key is not detected before this: the archive's header check refuses it.
  StorageManager archive(kPackageSignature, kPackageVersion);
  if (!archive.OpenForReading(deciphering)) {
    ReportError(context, deciphering.OutOfMemory() ? kOutOfMemoryText : kBadPackageText);
    return false;
  }

  // The archive names, for the inflating thread; one that 936 cannot hold stays empty.
  std::vector<std::string> names;
  try {
    for (const ManifestEntry& entry : manifest.Entries) {
      if (entry.Kind == Folder) continue;
      names.emplace_back();
      if (!ToArchiveName(entry.Name, names.back())) names.back().clear();
    }
  } catch (const std::bad_alloc&) {
    ReportError(context, kOutOfMemoryText);
    return false;
  }
  // Nothing is changed unless every file to be replaced can be: a running server's
  // executable fails the run here, before the first change.
  // What an earlier run that finished left to remove is no reason to refuse this one.
  tolvane::ClearUpFinishedRun();
  tolvane::InstallRun run(folder);
  if (const wchar_t* error = run.Plan(manifest.Entries, ErrorTextBuffer)) {
    ReportError(context, error);
    return false;
  }
  tolvane::ReadAhead ahead(archive, names);
  ahead.Start();  // without its thread the files are read as they are written

  // From the first change on, a run that does not finish puts the folder back before it
  // reports; an exception passing through leaves that to the run's destructor. The old
  // files are moved aside ahead of their entries on a thread of their own (or, without
  // it, while the worker waits for content), so that the moves mostly cost no time.
  bool stopped = false;
  const wchar_t* error = run.Begin(ErrorTextBuffer);
  if (!error) {
    if (!run.StartMoving()) ahead.SetWaitWork(&tolvane::InstallRun::MoveOneAhead, &run);
    error = WriteEntries(context, base, span, ahead, run, stopped);
  }
  if (!error && !stopped) error = run.Finish(ErrorTextBuffer);
  if (!error && !stopped) return true;
  run.Undo();
  if (error) ReportError(context, error);
  return false;
}
