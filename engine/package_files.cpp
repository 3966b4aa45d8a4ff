#include "engine/package_files.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "common/text_conversion.h"
#include "common/win_owners.h"
#include "engine/extract_pipeline.h"
#include "engine/error_texts.h"
#include "engine/worker.h"
#include "package/manifest.h"
#include "package/payload_cipher.h"
#include "package/payload_stream.h"
#include "state/install_folder.h"
#include "state/installed_product.h"
#include "storage/storage_manager.h"

using tolvane::kBadPackageText;
using tolvane::kOutOfMemoryText;
using tolvane::PieceInflater;
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

// Writes an entry's content as it is inflated. The last piece seen is held back until the
// next one comes, so that content that fits one piece is checked whole before its file is
// created, as when the content was read whole.
class HeldBackFileSink final : public EntrySink {
 public:
  HeldBackFileSink(const std::wstring& path, uint64_t& bytesWritten, std::wstring& errorText)
      : writer_(path), bytesWritten_(bytesWritten), errorText_(errorText) {}
  bool Ready() {
    if (!held_) held_.reset(new (std::nothrow) uint8_t[PieceInflater::kOutputPiece]);
    return static_cast<bool>(held_);
  }
  bool Take(const uint8_t* data, size_t length) override {
    if (heldLength_ && !Flush()) return false;
    std::memcpy(held_.get(), data, length);
    heldLength_ = length;
    return true;
  }
  // After the whole entry was read.
  const wchar_t* Finish() {
    if (heldLength_ && !Flush()) return error_;
    return writer_.Finish(errorText_);
  }
  void Abandon() { writer_.Abandon(); }
  const wchar_t* Error() const { return error_; }

 private:
  bool Flush() {
    error_ = writer_.Write(held_.get(), heldLength_, bytesWritten_, errorText_);
    heldLength_ = 0;
    return !error_;
  }

  tolvane::PieceFileWriter writer_;
  uint64_t& bytesWritten_;
  std::wstring& errorText_;
  std::unique_ptr<uint8_t[]> held_;
  size_t heldLength_ = 0;
  const wchar_t* error_ = nullptr;
};

// Writes one file from the pieces the reading thread hands over; null on success.
const wchar_t* WriteAheadFile(tolvane::ReadAhead& ahead, const std::wstring& path, WorkerContext& context,
                              int32_t base, int32_t span, uint64_t total, uint64_t& bytesWritten) {
  tolvane::PieceFileWriter writer(path);
  const uint64_t before = bytesWritten;
  int32_t posted = -1;
  for (;;) {
    const tolvane::ReadAhead::Piece& piece = ahead.Next();
    if (piece.last && piece.result <= 0) {
      // A missing or empty entry is as unusable as a damaged one: every file of the
      // package has content.
      const wchar_t* text = EntryFailureText(piece.result);
      writer.Abandon();
      ahead.Done();
      return text;
    }
    const wchar_t* error =
        piece.length ? writer.Write(piece.data.get(), piece.length, bytesWritten, ErrorTextBuffer) : nullptr;
    const bool last = piece.last;
    ahead.Done();
    if (error) return error;
    if (last) return writer.Finish(ErrorTextBuffer);
    if (total != 0 && bytesWritten - before >= kProgressWithinFileFrom) {
      const int32_t value = tolvane::ExtractionProgress(base, span, bytesWritten, total);
      if (value != posted) PostProgress(context, value, WM_SETUP_PROGRESS);
      posted = value;
    }
  }
}

}  // namespace

const wchar_t* WritePackageFile(StorageManager& archive, const std::u16string& name, const std::wstring& folder,
                                uint64_t& bytesWritten, std::wstring& errorText) {
  std::string entryName;
  if (!ToArchiveName(name, entryName)) return kBadPackageText;
  HeldBackFileSink sink(folder + ToWide(name), bytesWritten, errorText);
  if (!sink.Ready()) return kOutOfMemoryText;
  const int32_t result = archive.ReadEntryTo(entryName, sink);
  if (result > 0) return sink.Finish();
  if (sink.Error()) return sink.Error();
  // An empty entry is as unusable as a missing one: every file of the package has content.
  sink.Abandon();
  return EntryFailureText(result);
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
  tolvane::ReadAhead ahead(archive, names);
  const bool readingAhead = ahead.Start();

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
    const wchar_t* error =
        readingAhead ? WriteAheadFile(ahead, folder + ToWide(entry.Name), context, base, span, manifest.TotalBytes,
                                      bytesWritten)
                     : WritePackageFile(archive, entry.Name, folder, bytesWritten, ErrorTextBuffer);
    if (error) {
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
