// StorageManager: opening an archive for update (in memory, in a file, on a caller's
// stream), and writing it back when it is closed. Apart from the reading core
// (storage_manager.cpp), so that a program that only reads archives (OpenForReading)
// links none of the writing code.
#include <algorithm>
#include <exception>

#include "storage/storage_format.h"
#include "storage/storage_manager.h"

using namespace tolvane::storage_format;

bool StorageManager::Open(std::vector<uint8_t>& bytes, StorageOpenMode mode) {
  Close();
  try {
    status_ = 0;
    options_ = requestedOptions_;
    auto stream = std::make_unique<StorageManagerMemoryStream>();
    int result = stream->Open(bytes, mode);
    if (!Attach(std::move(stream), result)) return false;
    finish_ = &StorageManager::FinishUpdate;
    return true;
  } catch (const std::exception&) {
    Release();
    return false;
  }
}

bool StorageManager::Open(const std::wstring& file, StorageOpenMode mode) {
  Close();
  try {
    status_ = 0;
    options_ = requestedOptions_;
    // Whatever mode: a half-made update is never what an open shows.
    if (StorageAtomicFileStream::Recover(file) == StorageAtomicFileStream::Recovery::Failed) return false;
    if (mode == OpenRead) {
      auto stream = std::make_unique<StorageManagerFileStream>();
      int result = stream->Open(file, mode);
      if (!Attach(std::move(stream), result)) return false;
      finish_ = &StorageManager::FinishUpdate;
      return true;
    }
    auto stream = std::make_unique<StorageAtomicFileStream>();
    StorageAtomicFileStream* atomic = stream.get();
    int result = stream->Open(file, mode);
    if (!Attach(std::move(stream), result)) return false;
    atomic_ = atomic;
    finish_ = &StorageManager::FinishUpdate;
    // The write-back rewrites the directory and the root list: their old bytes go into
    // the journal with its first entry, which saves a sync each.
    for (uint32_t i = 0; i < 2 && i < directory_.size(); ++i) {
      const BlockRecord& r = directory_[i];
      if (r.type == BlockData && r.offset) atomic->PreserveAtStart(r.offset, r.size);
    }
    return true;
  } catch (const std::exception&) {
    Release();
    return false;
  }
}

bool StorageManager::Open(std::unique_ptr<StorageManagerStream> stream, int openResult) {
  Close();
  status_ = 0;
  options_ = requestedOptions_;
  if (!stream || !Attach(std::move(stream), openResult)) return false;
  finish_ = &StorageManager::FinishUpdate;
  return true;
}

// Close (keep) or Discard (not keep): writes back what changed, then makes an update of a
// file final, or rolls it back when something failed or nothing is to be kept.
bool StorageManager::FinishUpdate(bool keep) {
  bool ok = false;
  if (keep) {
    try {
      ok = WriteBack();
    } catch (const std::exception&) {
      ok = false;
    }
  }
  if (atomic_) ok = ok ? atomic_->Commit() : (atomic_->Rollback(), false);
  return ok;
}

// An archive file gets the write-back's changes after one sync of the journal holding
// every old byte they cover, however many regions they rewrite.
bool StorageManager::WriteBack() {
  if (!atomic_) return WriteBackSteps();
  atomic_->BeginBatch();
  bool ok;
  try {
    ok = WriteBackSteps();
  } catch (const std::exception&) {
    atomic_->EndBatch();
    throw;
  }
  return atomic_->EndBatch() && ok;
}

// Stops at the first failure: what follows a failed step would describe what is not there.
bool StorageManager::WriteBackSteps() {
  // Deepest folders first: saving a folder updates its parent's entry.
  std::vector<StorageFolder*> folders;
  for (auto& f : openFolders_) folders.push_back(f.get());
  auto depth = [](const StorageFolder* f) {
    size_t d = 0;
    for (const StorageFolder* p = f->parent; p; p = p->parent) ++d;
    return d;
  };
  std::stable_sort(folders.begin(), folders.end(),
                   [&](const StorageFolder* a, const StorageFolder* b) { return depth(a) > depth(b); });
  for (StorageFolder* f : folders) {
    if ((f->flags & 1) && !SaveSubfolder(*f)) return false;
  }
  if ((root_.flags & 1) && !SaveRoot()) return false;
  if ((status_ & StatusDirectoryChanged) && !SaveDirectory()) return false;
  if (status_ & StatusHeaderChanged) {
    if (!stream_->Seek(0) || !stream_->Write(header_, kHeaderSize)) return false;
    status_ &= ~StatusHeaderChanged;
  }
  stream_->Flush();
  return true;
}
