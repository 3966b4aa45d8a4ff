#include "engine/package_files.h"

#include <windows.h>

#include <process.h>

#include <atomic>
#include <new>
#include <vector>

#include "common/text_conversion.h"
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

// Payloads smaller than this are not worth a second thread.
constexpr size_t kSplitDecipherFrom = 0x80000;

struct DecipherHalf {
  uint8_t* data;
  size_t length;
  const uint8_t* key;
};

unsigned __stdcall DecipherHalfThread(void* argument) {
  const DecipherHalf& half = *static_cast<const DecipherHalf*>(argument);
  DecipherBuffer(half.data, half.length, half.key);
  return 0;
}

// ECB blocks stand alone: the second half is deciphered on a thread of its own while this
// one does the first, in place in the one working copy.
void DecipherPayload(std::vector<uint8_t>& buffer, const PayloadKey& key) {
  const size_t half = buffer.size() / 16 * 8;
  DecipherHalf second{buffer.data() + half, buffer.size() - half, key.data()};
  tolvane::UniqueHandle thread;
  if (buffer.size() >= kSplitDecipherFrom)
    thread.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, DecipherHalfThread, &second, 0, nullptr)));
  if (!thread) {
    DecipherBuffer(buffer.data(), buffer.size(), key.data());
    return;
  }
  DecipherBuffer(buffer.data(), half, key.data());
  WaitForSingleObject(thread.get(), INFINITE);
}

// A count that one thread raises and another waits on. Under Wine every wait on or signal
// of a kernel object is a call to the wineserver, so the event is used only when the
// waiting side has to sleep, not once for every file.
class Counter {
 public:
  bool Make() {
    wake_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    return static_cast<bool>(wake_);
  }
  void Raise() {
    ++value_;
    if (sleeping_.exchange(false)) SetEvent(wake_.get());
  }
  // Waits until the count exceeds `than` or `stop` is set.
  void WaitAbove(size_t than, const std::atomic<bool>& stop) {
    while (value_ <= than && !stop) {
      sleeping_ = true;
      if (value_ > than || stop) {
        sleeping_ = false;
        return;
      }
      WaitForSingleObject(wake_.get(), INFINITE);
    }
  }
  void Wake() {
    sleeping_ = false;
    SetEvent(wake_.get());
  }

 private:
  std::atomic<size_t> value_{0};
  std::atomic<bool> sleeping_{false};
  tolvane::UniqueHandle wake_;
};

// The files of the manifest inflated one ahead of the writes, on a thread of their own:
// while the worker writes one file, the next is inflated. Two buffers take turns and keep
// their memory from file to file. The thread touches nothing but the archive and the
// buffers; the worker makes every file-system call, report and progress notice, in
// manifest order, as before.
class InflateAhead {
 public:
  // names: the archive names of the files in manifest order; an empty one stands for a
  // name that could not be converted, which reads as a missing entry.
  InflateAhead(StorageManager& archive, const std::vector<std::string>& names) : archive_(archive), names_(names) {}
  ~InflateAhead() {
    if (!thread_) return;
    stop_ = true;
    done_.Wake();
    WaitForSingleObject(thread_.get(), INFINITE);
  }
  InflateAhead(const InflateAhead&) = delete;
  InflateAhead& operator=(const InflateAhead&) = delete;

  // False when the thread cannot be had; the caller then reads the files itself.
  bool Start() {
    if (!inflated_.Make() || !done_.Make()) return false;
    thread_.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Run, this, 0, nullptr)));
    return static_cast<bool>(thread_);
  }

  // The next file's content; null when the entry cannot be read or is empty. Valid until
  // Done.
  const std::vector<uint8_t>* Next() {
    inflated_.WaitAbove(taken_, stop_);
    const Slot& slot = slots_[taken_ % 2];
    return slot.readable ? &slot.content : nullptr;
  }
  void Done() {
    ++taken_;
    done_.Raise();
  }

 private:
  struct Slot {
    std::vector<uint8_t> content;
    bool readable = false;
  };

  static unsigned __stdcall Run(void* self) {
    static_cast<InflateAhead*>(self)->Inflate();
    return 0;
  }
  void Inflate() {
    for (size_t i = 0; i < names_.size(); ++i) {
      // Slot i % 2 is free once file i - 2 is written.
      if (i >= 2) done_.WaitAbove(i - 2, stop_);
      if (stop_) return;
      Slot& slot = slots_[i % 2];
      slot.readable = !names_[i].empty() && archive_.ReadEntry(names_[i], slot.content, 0xFFFFFFFFu) > 0;
      inflated_.Raise();
    }
  }

  StorageManager& archive_;
  const std::vector<std::string>& names_;
  Slot slots_[2];
  size_t taken_ = 0;  // files handed to the worker and written
  std::atomic<bool> stop_{false};
  Counter inflated_, done_;
  tolvane::UniqueHandle thread_;
};

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
  DecipherPayload(buffer, context.key);
  if (StopRequested(context, StopPoint::PayloadDeciphered)) return false;

  StorageManager archive(kPackageSignature, kPackageVersion);
  if (!archive.OpenForReading(buffer)) {
    ReportError(context, kBadPackageText);
    return false;
  }

  // The archive names in this (the worker's) thread's code page, for the inflating thread.
  std::vector<std::string> names;
  try {
    for (const ManifestEntry& entry : manifest.Entries) {
      if (entry.Kind == Folder) continue;
      names.emplace_back();
      if (!ToThreadAnsi(entry.Name, names.back())) names.back().clear();
    }
  } catch (const std::bad_alloc&) {
    ReportError(context, kBadPackageText);
    return false;
  }
  InflateAhead ahead(archive, names);
  const bool inflatingAhead = ahead.Start();

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
    const wchar_t* error;
    if (inflatingAhead) {
      const std::vector<uint8_t>* content = ahead.Next();
      error = content ? tolvane::WriteFileContent(folder + ToWide(entry.Name), content->data(), content->size(),
                                                  bytesWritten, ErrorTextBuffer)
                      : kBadPackageText;
      ahead.Done();
    } else {
      error = WritePackageFile(archive, entry.Name, folder, bytesWritten, ErrorTextBuffer);
    }
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
