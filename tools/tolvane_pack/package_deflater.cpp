#include "tools/tolvane_pack/package_deflater.h"

#include <zlib.h>

#include <algorithm>
#include <deque>
#include <exception>
#include <fstream>
#include <system_error>

#ifndef _WIN32
// The Windows build of the tool (mingw's win32 thread model) has no std::thread; it
// compresses on the calling thread.
#define TOLVANE_PACK_THREADS 1
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

#include "storage/zlib_codec.h"
#include "tools/tolvane_pack/file_io.h"
#include "tools/tolvane_pack/strong_deflate.h"

namespace tolvane::pack {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kWindow = 32768;  // deflate's window: what primes the next chunk
constexpr size_t kJobsAhead = 8;     // jobs in flight ahead of the consumer

struct Job {
  size_t file = 0;
  uint64_t offset = 0, length = 0;
  bool chunked = false, first = true, last = true;
  enum State { Pending, Running, Done } state = Pending;
  bool ok = false;
  std::string error;
  Bytes out;           // the stored payload (whole) or the chunk's deflate data
  uint32_t adler = 1;  // chunks: Adler-32 of the chunk's own bytes
};

// What one worker keeps from job to job: its compressors' tables.
class Worker {
 public:
  Worker() {
    if (deflateInit2(&raw_, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK) rawReady_ = true;
  }
  ~Worker() {
    if (rawReady_) deflateEnd(&raw_);
  }

  void Run(const DeflateInput& file, PackCompressor compressor, Job& job) {
    try {
      job.ok = job.chunked ? Chunk(file, job) : Whole(file, compressor, job);
    } catch (const std::exception&) {
      job.ok = false;
      job.error = Display(file.path) + ": out of memory while compressing";
    }
    if (!job.ok) job.out.clear();
  }

 private:
  bool ReadRange(const DeflateInput& file, uint64_t offset, uint64_t length, Bytes& out, std::string& error) {
    std::ifstream in(file.path, std::ios::binary);
    if (!in) return error = Display(file.path) + ": cannot open", false;
    out.resize(size_t(length));
    in.seekg(std::streamoff(offset));
    if (length && !in.read(reinterpret_cast<char*>(out.data()), std::streamsize(length)))
      return error = Display(file.path) + ": changed size while the package was being built", false;
    return true;
  }

  static bool SizeHolds(const DeflateInput& file, std::string& error) {
    std::error_code ec;
    uint64_t now = fs::file_size(file.path, ec);
    if (ec || now != file.size) return error = Display(file.path) + ": changed size while the package was being built", false;
    return true;
  }

  bool Whole(const DeflateInput& file, PackCompressor compressor, Job& job) {
    if (!ReadRange(file, 0, file.size, input_, job.error) || !SizeHolds(file, job.error)) return false;
    bool compressed = false;
    if (compressor == PackCompressor::Strong) {
      compressed = strong_.Deflate(input_.data(), uint32_t(input_.size()), job.out);
    } else {
      size_t n = 0;
      const uint8_t* bytes = zlib_.Deflate(input_.data(), uint32_t(input_.size()), n);
      if (bytes) job.out.assign(bytes, bytes + n);
      compressed = bytes != nullptr;
    }
    if (!compressed || !HasLevel9Header(job.out)) return job.error = Display(file.path) + ": compression failed", false;
    job.out.erase(job.out.begin(), job.out.begin() + 2);
    return true;
  }

  bool Chunk(const DeflateInput& file, Job& job) {
    if (!rawReady_) return job.error = Display(file.path) + ": compression failed (zlib)", false;
    const uint64_t primed = job.first ? 0 : std::min<uint64_t>(kWindow, job.offset);
    if (!ReadRange(file, job.offset - primed, job.length + primed, input_, job.error)) return false;
    if (job.last && !SizeHolds(file, job.error)) return false;
    const uint8_t* own = input_.data() + primed;
    job.adler = uint32_t(adler32(adler32(0, nullptr, 0), own, uInt(job.length)));
    if (deflateReset(&raw_) != Z_OK ||
        (primed && deflateSetDictionary(&raw_, input_.data(), uInt(primed)) != Z_OK))
      return job.error = Display(file.path) + ": compression failed (zlib)", false;
    job.out.resize(deflateBound(&raw_, uLong(job.length)) + 16);
    raw_.next_in = const_cast<Bytef*>(own);
    raw_.avail_in = uInt(job.length);
    size_t produced = 0;
    const int flush = job.last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
      if (produced == job.out.size()) job.out.resize(job.out.size() * 2);
      raw_.next_out = job.out.data() + produced;
      raw_.avail_out = uInt(job.out.size() - produced);
      int rc = deflate(&raw_, flush);
      produced = job.out.size() - raw_.avail_out;
      if (rc == Z_STREAM_ERROR) return job.error = Display(file.path) + ": compression failed (zlib)", false;
      if (job.last ? rc == Z_STREAM_END : (raw_.avail_in == 0 && raw_.avail_out != 0)) break;
    }
    job.out.resize(produced);
    return true;
  }

  z_stream raw_{};
  bool rawReady_ = false;
  Deflater zlib_;
  StrongDeflater strong_;
  Bytes input_;
};

}  // namespace

struct PackageDeflater::Shared {
  std::vector<DeflateInput> files;
  PackCompressor compressor = PackCompressor::Zlib9;
  std::deque<std::unique_ptr<Job>> jobs;  // in flight, in file order
  size_t planFile = 0;                    // where planning goes on
  uint64_t planOffset = 0;
  bool failed = false, returnedFront = false;
  uint32_t adler = 1;  // of the current large file, so far
  std::string error;
  Worker inline_;  // without threads
#ifdef TOLVANE_PACK_THREADS
  std::mutex mutex;
  std::condition_variable work, done;
  bool stop = false;
  std::vector<std::thread> threads;
#endif

  // Adds jobs up to the window (called with the lock held).
  void Plan() {
    while (jobs.size() < kJobsAhead && planFile < files.size()) {
      const DeflateInput& f = files[planFile];
      auto job = std::make_unique<Job>();
      job->file = planFile;
      if (f.size <= kWholeFileBytes) {
        job->length = f.size;
        ++planFile;
      } else {
        job->chunked = true;
        job->offset = planOffset;
        job->length = std::min<uint64_t>(kChunkBytes, f.size - planOffset);
        job->first = planOffset == 0;
        planOffset += job->length;
        job->last = planOffset == f.size;
        if (job->last) {
          ++planFile;
          planOffset = 0;
        }
      }
      jobs.push_back(std::move(job));
    }
  }

#ifdef TOLVANE_PACK_THREADS
  void WorkerLoop() {
    Worker worker;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      Job* job = nullptr;
      work.wait(lock, [&] {
        if (stop) return true;
        for (auto& j : jobs)
          if (j->state == Job::Pending) return job = j.get(), true;
        return false;
      });
      if (stop) return;
      job->state = Job::Running;
      lock.unlock();
      worker.Run(files[job->file], compressor, *job);
      lock.lock();
      job->state = Job::Done;
      done.notify_all();
    }
  }
#endif
};

PackageDeflater::PackageDeflater(std::vector<DeflateInput> files, PackCompressor compressor, unsigned workers)
    : shared_(std::make_unique<Shared>()) {
  shared_->files = std::move(files);
  shared_->compressor = compressor;
  shared_->Plan();
#ifdef TOLVANE_PACK_THREADS
  try {
    for (unsigned i = 0; i < workers; ++i) shared_->threads.emplace_back([s = shared_.get()] { s->WorkerLoop(); });
  } catch (const std::exception&) {
    // Fewer threads, or none: the calling thread does what is left.
  }
#else
  (void)workers;
#endif
}

PackageDeflater::~PackageDeflater() {
#ifdef TOLVANE_PACK_THREADS
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stop = true;
  }
  shared_->work.notify_all();
  for (std::thread& t : shared_->threads) t.join();
#endif
}

unsigned PackageDeflater::DefaultWorkers() {
#ifdef TOLVANE_PACK_THREADS
  unsigned n = std::thread::hardware_concurrency();
  return std::max(1u, std::min(2u, n));
#else
  return 0;
#endif
}

bool PackageDeflater::NextPiece(const uint8_t*& data, uint32_t& length, bool& last, std::string& error) {
  Shared& s = *shared_;
  if (s.failed) return error = s.error, false;
  Job* job = nullptr;
  {
#ifdef TOLVANE_PACK_THREADS
    std::unique_lock<std::mutex> lock(s.mutex);
#endif
    if (s.returnedFront) {
      s.jobs.pop_front();
      s.returnedFront = false;
      s.Plan();
#ifdef TOLVANE_PACK_THREADS
      s.work.notify_all();
#endif
    }
    if (s.jobs.empty()) return error = "no more files to compress", false;
    job = s.jobs.front().get();
#ifdef TOLVANE_PACK_THREADS
    if (s.threads.empty() && job->state == Job::Pending) job->state = Job::Running;
    else s.done.wait(lock, [&] { return job->state == Job::Done; });
#endif
  }
  if (job->state != Job::Done) {
    s.inline_.Run(s.files[job->file], s.compressor, *job);
    job->state = Job::Done;
  }
  s.returnedFront = true;
  if (!job->ok) {
    s.failed = true;
    s.error = job->error;
    return error = s.error, false;
  }
  if (job->chunked) {
    s.adler = job->first ? job->adler : uint32_t(adler32_combine(s.adler, job->adler, z_off_t(job->length)));
    if (job->last)
      for (int shift = 24; shift >= 0; shift -= 8) job->out.push_back(uint8_t(s.adler >> shift));
  }
  data = job->out.data();
  length = uint32_t(job->out.size());
  last = job->last;
  return true;
}

}  // namespace tolvane::pack
