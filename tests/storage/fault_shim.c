/* Interposed file calls for the fault-injection test (loaded with LD_PRELOAD).
 *
 * Counts the calls that change files below TOLVANE_FAULT_DIR: write, pwrite, ftruncate,
 * fsync, fdatasync, rename, unlink. The call numbered TOLVANE_FAULT_AT (from 1) is not
 * made: with TOLVANE_FAULT_KIND=crash the process ends there (nothing more reaches any
 * file), with ENOSPC or EIO the call fails with that error. At exit the count is written
 * to the file TOLVANE_FAULT_COUNT when that is set, followed by the number of calls made
 * out of the order a power cut needs: a file other than a journal changed while a journal
 * held unsynced bytes or its name was not yet synced into the folder, or a journal deleted
 * while another file held unsynced changes. (A process that merely ends keeps what it
 * wrote, so only this shows a missing barrier.) */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

enum { kCrash = -1 };

static const char* g_dir;
static size_t g_dirLength;
static long g_faultAt;
static int g_kind;
static long g_count;

enum { kMaxFd = 4096, kJournal = 1, kNewFile = 2, kOther = 3, kFolder = 4 };
static unsigned char g_dirty[kMaxFd]; /* kJournal or kOther: changed since its last sync */
static int g_nameUnsynced, g_folderSynced, g_closedUnsynced;
static long g_orderFaults;

static ssize_t (*real_write)(int, const void*, size_t);
static ssize_t (*real_pwrite)(int, const void*, size_t, off_t);
static ssize_t (*real_pwrite64)(int, const void*, size_t, off_t);
static int (*real_ftruncate)(int, off_t);
static int (*real_ftruncate64)(int, off_t);
static int (*real_fsync)(int);
static int (*real_fdatasync)(int);
static int (*real_rename)(const char*, const char*);
static int (*real_renameat)(int, const char*, int, const char*);
static int (*real_unlink)(const char*);
static int (*real_unlinkat)(int, const char*, int);
static int (*real_remove)(const char*);
static int (*real_close)(int);

#define REAL(name) real_##name

#define RESOLVE(name) real_##name = (__typeof__(real_##name))dlsym(RTLD_NEXT, #name)

__attribute__((constructor)) static void Start(void) {
  RESOLVE(write);
  RESOLVE(pwrite);
  RESOLVE(pwrite64);
  RESOLVE(ftruncate);
  RESOLVE(ftruncate64);
  RESOLVE(fsync);
  RESOLVE(fdatasync);
  RESOLVE(rename);
  RESOLVE(renameat);
  RESOLVE(unlink);
  RESOLVE(unlinkat);
  RESOLVE(remove);
  RESOLVE(close);
  g_dir = getenv("TOLVANE_FAULT_DIR");
  g_dirLength = g_dir ? strlen(g_dir) : 0;
  const char* at = getenv("TOLVANE_FAULT_AT");
  g_faultAt = at ? atol(at) : 0;
  const char* kind = getenv("TOLVANE_FAULT_KIND");
  g_kind = !kind || !strcmp(kind, "crash") ? kCrash : !strcmp(kind, "ENOSPC") ? ENOSPC : EIO;
}

__attribute__((destructor)) static void Stop(void) {
  const char* report = getenv("TOLVANE_FAULT_COUNT");
  if (!report) return;
  FILE* f = fopen(report, "w");
  if (!f) return;
  fprintf(f, "%ld %ld\n", g_count, g_orderFaults);
  fclose(f);
}

static int Below(const char* path) {
  return g_dirLength && path && !strncmp(path, g_dir, g_dirLength) && (path[g_dirLength] == '/' || !path[g_dirLength]);
}

static int EndsWith(const char* s, const char* tail) {
  size_t a = strlen(s), b = strlen(tail);
  return a >= b && !strcmp(s + a - b, tail);
}

static int KindOfPath(const char* path) {
  if (!Below(path)) return 0;
  if (!path[g_dirLength]) return kFolder;
  return EndsWith(path, "-journal") ? kJournal : EndsWith(path, "-new") ? kNewFile : kOther;
}

static int KindOfFd(int fd) {
  if (!g_dirLength || fd < 0) return 0;
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return 0;
  target[n] = 0;
  return KindOfPath(target);
}

static int FdBelow(int fd) { return KindOfFd(fd) != 0; }

static int AnyDirty(int kind) {
  for (int i = 0; i < kMaxFd; ++i) {
    if (g_dirty[i] == kind) return 1;
  }
  return 0;
}

/* A change about to be made to fd. */
static void Changing(int fd) {
  int kind = KindOfFd(fd);
  if (fd < 0 || fd >= kMaxFd) return;
  if (kind == kJournal) {
    g_dirty[fd] = kJournal;
    if (!g_folderSynced) g_nameUnsynced = 1;
  } else if (kind == kOther) {
    if (g_nameUnsynced || AnyDirty(kJournal)) ++g_orderFaults;
    g_dirty[fd] = kOther;
  }
}

static void Synced(int fd) {
  if (KindOfFd(fd) == kFolder) {
    g_nameUnsynced = 0;
    g_folderSynced = 1;
  } else if (fd >= 0 && fd < kMaxFd) {
    g_dirty[fd] = 0;
  }
}

static void Unlinking(const char* path) {
  if (KindOfPath(path) != kJournal) return;
  if (g_closedUnsynced || AnyDirty(kOther)) ++g_orderFaults;
  g_folderSynced = 0;
}

/* Non-zero when this call is the one to fail (errno set); does not return on a crash. */
static int Fault(int counted) {
  if (!counted || ++g_count != g_faultAt) return 0;
  if (g_kind == kCrash) _exit(77);
  errno = g_kind;
  return 1;
}

ssize_t write(int fd, const void* p, size_t n) {
  if (Fault(FdBelow(fd))) return -1;
  Changing(fd);
  return REAL(write)(fd, p, n);
}
ssize_t pwrite(int fd, const void* p, size_t n, off_t at) {
  if (Fault(FdBelow(fd))) return -1;
  Changing(fd);
  return REAL(pwrite)(fd, p, n, at);
}
ssize_t pwrite64(int fd, const void* p, size_t n, off_t at) {
  if (Fault(FdBelow(fd))) return -1;
  Changing(fd);
  return REAL(pwrite64)(fd, p, n, at);
}
int ftruncate(int fd, off_t n) {
  if (Fault(FdBelow(fd))) return -1;
  Changing(fd);
  return REAL(ftruncate)(fd, n);
}
int ftruncate64(int fd, off_t n) {
  if (Fault(FdBelow(fd))) return -1;
  Changing(fd);
  return REAL(ftruncate64)(fd, n);
}
int fsync(int fd) {
  if (Fault(FdBelow(fd))) return -1;
  int r = REAL(fsync)(fd);
  if (r == 0) Synced(fd);
  return r;
}
int fdatasync(int fd) {
  if (Fault(FdBelow(fd))) return -1;
  int r = REAL(fdatasync)(fd);
  if (r == 0) Synced(fd);
  return r;
}
int rename(const char* from, const char* to) {
  if (Fault(Below(from) || Below(to))) return -1;
  return REAL(rename)(from, to);
}
int renameat(int a, const char* from, int b, const char* to) {
  if (Fault(Below(from) || Below(to))) return -1;
  return REAL(renameat)(a, from, b, to);
}
int unlink(const char* path) {
  if (Fault(Below(path))) return -1;
  Unlinking(path);
  return REAL(unlink)(path);
}
int unlinkat(int fd, const char* path, int flags) {
  if (Fault(Below(path))) return -1;
  Unlinking(path);
  return REAL(unlinkat)(fd, path, flags);
}
int remove(const char* path) {
  if (Fault(Below(path))) return -1;
  Unlinking(path);
  return REAL(remove)(path);
}
/* Not counted. Changes closed unsynced stay unsynced; the number is reused. */
int close(int fd) {
  if (fd >= 0 && fd < kMaxFd) {
    if (g_dirty[fd] == kOther) g_closedUnsynced = 1;
    g_dirty[fd] = 0;
  }
  return REAL(close)(fd);
}
