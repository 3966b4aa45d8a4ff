// tolvane-pack archive: commands over storage archive files, for vendors and interop checks.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

#include "storage/storage_manager.h"
#include "tools/tolvane_pack/commands.h"
#include "tools/tolvane_pack/file_io.h"

namespace tolvane::pack {
namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

struct Options;

struct Command {
  const char* name;
  const char* usage;    // arguments after the command's name
  const char* summary;  // what it does
  size_t leastArgs, mostArgs;  // positional arguments
  int (*run)(const Options&);
};

// Parsed options and arguments of one command.
struct Options {
  const Command* command = nullptr;
  bool raw = false;
  bool compressed = false;      // chunk-create: ChunkKindCompressed
  uint16_t chunkSize = 4092;    // chunk-create: a chunk and its length prefix fill 4 KiB
  uint32_t maxSize = 0;         // get: the most it reads (0: as much as the archive's size allows)
  bool hasFolder = false;
  std::vector<std::string> folder;  // path components
  std::vector<std::string> positional;
};

int Fail(const Options& o, const std::string& what) {
  std::fprintf(stderr, "tolvane-pack archive %s: %s\n", o.command->name, what.c_str());
  return kFailed;
}

int FailCode(const Options& o, const std::string& what, int32_t code) {
  return Fail(o, what + ": error " + std::to_string(code) + " (" + StorageErrorText(code) + ")");
}

// Arguments are UTF-8 on the host and in the ANSI code page on Windows.
bool ToWidePath(const std::string& arg, std::wstring& out) {
  out.clear();
#ifdef _WIN32
  int n = MultiByteToWideChar(CP_ACP, 0, arg.data(), static_cast<int>(arg.size()), nullptr, 0);
  if (n <= 0) return false;
  out.resize(static_cast<size_t>(n));
  MultiByteToWideChar(CP_ACP, 0, arg.data(), static_cast<int>(arg.size()), &out[0], n);
  return true;
#else
  for (size_t i = 0; i < arg.size();) {
    unsigned char c = static_cast<unsigned char>(arg[i]);
    size_t extra;
    uint32_t cp;
    if (c < 0x80) {
      extra = 0, cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= arg.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char cc = static_cast<unsigned char>(arg[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    out += static_cast<wchar_t>(cp);
    i += 1 + extra;
  }
  return !out.empty();
#endif
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteOutput(const std::string& path, const std::vector<uint8_t>& bytes) {
  if (path.empty()) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0;
  }
  std::string error;
  return WriteFileAtomically(path, bytes, error);
}

// Names are printed as they are, with control bytes and backslashes escaped so that one
// entry is one line.
std::string Printable(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '\\') {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

const char* TypeName(uint8_t type) {
  switch (type) {
    case BlockVacant: return "vacant";
    case BlockData: return "data";
    case BlockFree: return "free";
    case BlockLost: return "lost";
    default: return "unknown";
  }
}

// An archive opened for one command, closed (and written back) by Finish.
class OpenArchive {
 public:
  explicit OpenArchive(const Options& o) : o_(o), archive_(kPackageSignature, kPackageVersion) {}

  bool Open(const std::string& path, StorageOpenMode mode) {
    std::wstring wide;
    if (!ToWidePath(path, wide)) {
      Fail(o_, "cannot use the path '" + path + "'");
      return false;
    }
    if (!archive_.Open(wide, mode)) {
      Fail(o_, "cannot open '" + path + "': missing, unreadable, not a storage archive, or damaged");
      return false;
    }
    return true;
  }

  // The folder named by --folder (the root without it), or null after reporting.
  StorageFolder* Folder() {
    StorageFolder* f = &archive_.Root();
    std::string shown;
    for (const auto& part : o_.folder) {
      shown += (shown.empty() ? "" : "/") + part;
      f = archive_.OpenFolder(*f, part);
      if (!f) {
        Fail(o_, "no folder '" + shown + "' in the archive (or its list is damaged)");
        return nullptr;
      }
    }
    return f;
  }

  // A command that failed changes nothing: its archive goes back to what it was.
  int Finish(int status) {
    if (status != kOk) {
      archive_.Discard();
      return status;
    }
    if (!archive_.Close()) return Fail(o_, "writing the archive back failed; it is left as it was");
    return status;
  }

  StorageManager& operator*() { return archive_; }
  StorageManager* operator->() { return &archive_; }

 private:
  const Options& o_;
  StorageManager archive_;
};

int RunCreate(const Options& o) {
  OpenArchive a(o);
  if (!a.Open(o.positional[0], CreateNew)) return kFailed;
  return a.Finish(kOk);
}

int RunPut(const Options& o) {
  const std::string& name = o.positional[1];
  std::vector<uint8_t> data;
  if (!ReadFileBytes(o.positional[2], data)) return Fail(o, "cannot read '" + o.positional[2] + "'");
  if (name.empty() || name.size() > 255) return Fail(o, "entry names must be 1 to 255 bytes long");
  OpenArchive a(o);
  if (!a.Open(o.positional[0], OpenReadWrite)) return kFailed;
  StorageFolder* f = a.Folder();
  if (!f) return a.Finish(kFailed);
  if (f->subfolders.count(name)) return a.Finish(Fail(o, "'" + name + "' is a folder"));
  if (data.size() > 0x7FFFFFF0u) return a.Finish(Fail(o, "the file is too large for an archive entry"));
  auto size = static_cast<uint32_t>(data.size());
  int32_t r = o.raw ? a->WriteEntryRaw(*f, name, data.data(), size) : a->WriteEntry(*f, name, data.data(), size);
  if (r < 0) return a.Finish(FailCode(o, "cannot store '" + name + "'", r));
  if (size == 0) std::fprintf(stderr, "tolvane-pack archive put: empty file: nothing stored for '%s'\n", name.c_str());
  return a.Finish(kOk);
}

// Content a few bytes of archive inflate to can be a thousand times larger; unless told
// otherwise, get reads no more than this.
constexpr uint32_t kMinDefaultMaxSize = 16u << 20;
constexpr uint32_t kDefaultMaxSizeFactor = 16;
constexpr uint32_t kMostMaxSize = 0x7FFFFFFEu;

int RunGet(const Options& o) {
  const std::string& name = o.positional[1];
  OpenArchive a(o);
  if (!a.Open(o.positional[0], OpenRead)) return kFailed;
  StorageFolder* f = a.Folder();
  if (!f) return a.Finish(kFailed);
  if (f->subfolders.count(name)) return a.Finish(Fail(o, "'" + name + "' is a folder"));
  int32_t length = a->GetEntryLength(*f, name);
  if (length < 0) return a.Finish(FailCode(o, "cannot read '" + name + "'", length));
  const uint32_t ceiling =
      o.maxSize ? o.maxSize
                : static_cast<uint32_t>(std::min<uint64_t>(
                      std::max<uint64_t>(kMinDefaultMaxSize, uint64_t{a->End()} * kDefaultMaxSizeFactor), kMostMaxSize));
  auto tooLarge = [&]() {
    return a.Finish(Fail(o, "'" + name + "' holds more than " + std::to_string(ceiling) +
                                " bytes; give --max-size BYTES to read more" +
                                (o.maxSize ? "" : " (the default is 16 times the archive's size, at least 16 MiB)")));
  };
  if (o.raw && static_cast<uint32_t>(length) > ceiling) return tooLarge();
  std::vector<uint8_t> content;
  // One byte more than allowed tells that there is more.
  int32_t r = o.raw ? a->ReadEntryRaw(*f, name, content) : a->ReadEntry(*f, name, content, ceiling + 1);
  if (r < 0) return a.Finish(FailCode(o, "cannot read '" + name + "'", r));
  if (static_cast<uint32_t>(r) > ceiling) return tooLarge();
  const std::string out = o.positional.size() > 2 ? o.positional[2] : std::string();
  if (!WriteOutput(out, content)) return a.Finish(Fail(o, "cannot write '" + (out.empty() ? "-" : out) + "'"));
  return a.Finish(kOk);
}

int RunLs(const Options& o) {
  OpenArchive a(o);
  if (!a.Open(o.positional[0], OpenRead)) return kFailed;
  StorageFolder* f = a.Folder();
  if (!f) return a.Finish(kFailed);
  for (const auto& e : f->entries) {
    bool folder = (e.second & kEntryFolder) != 0;
    uint32_t block = e.second & kEntryBlockMask;
    int32_t length = a->GetBlockLength(block);
    std::string shownLength = length < 0 ? "error " + std::to_string(length) : std::to_string(length);
    std::printf("%s\t%s\t%u\t%s\n", Printable(e.first).c_str(), folder ? "folder" : "file", block,
                shownLength.c_str());
  }
  return a.Finish(kOk);
}

int RunRm(const Options& o) {
  const std::string& name = o.positional[1];
  OpenArchive a(o);
  if (!a.Open(o.positional[0], OpenReadWrite)) return kFailed;
  StorageFolder* parent = a.Folder();
  if (!parent) return a.Finish(kFailed);
  auto entry = parent->entries.find(name);
  if (entry == parent->entries.end()) return a.Finish(FailCode(o, "cannot remove '" + name + "'", StorageNoEntry));
  if (!parent->subfolders.count(name)) {
    int32_t r = a->DeleteEntry(*parent, name);
    if (r < 0) return a.Finish(FailCode(o, "cannot remove '" + name + "'", r));
    return a.Finish(kOk);
  }
  if ((entry->second & kEntryBlockMask) == 0) {
    // An empty folder has no list block: there is nothing to free.
    if (!a->DetachFolder(*parent, name)) return a.Finish(Fail(o, "cannot remove the folder '" + name + "'"));
    return a.Finish(kOk);
  }
  StorageFolder* folder = a->OpenFolder(*parent, name);
  if (!folder) return a.Finish(Fail(o, "cannot open the folder '" + name + "': its list is damaged"));
  if (!a->DeleteFolder(folder)) return a.Finish(Fail(o, "cannot remove the folder '" + name + "': it holds folders"));
  return a.Finish(kOk);
}

int RunMkdir(const Options& o) {
  const std::string& name = o.positional[1];
  if (name.empty() || name.size() > 255) return Fail(o, "folder names must be 1 to 255 bytes long");
  OpenArchive a(o);
  if (!a.Open(o.positional[0], OpenReadWrite)) return kFailed;
  StorageFolder* parent = a.Folder();
  if (!parent) return a.Finish(kFailed);
  if (!a->CreateFolder(*parent, name)) return a.Finish(Fail(o, "the name '" + name + "' is taken"));
  return a.Finish(kOk);
}

int RunCompact(const Options& o) {
  OpenArchive a(o);
  if (!a.Open(o.positional[0], OpenRead)) return kFailed;
  std::wstring target;
  if (!ToWidePath(o.positional[1], target)) return a.Finish(Fail(o, "cannot use the path '" + o.positional[1] + "'"));
  // The copy takes OUT's name only when it is whole.
  int32_t r = a->CopyTo(target, false);
  if (r < 0) return a.Finish(FailCode(o, "cannot write the copy to '" + o.positional[1] + "'", r));
  std::error_code ec;
  std::printf("%ju bytes\n", static_cast<uintmax_t>(std::filesystem::file_size(o.positional[1], ec)));
  return a.Finish(kOk);
}

int RunCheck(const Options& o) {
  OpenArchive a(o);
  if (!a.Open(o.positional[0], OpenRead)) return kFailed;
  uint32_t bad = StorageManager::kNoRecord;
  int32_t r = a->CheckIntegrity(&bad);
  if (r == 0) {
    std::printf("ok: %zu records, end %u\n", a->Directory().size(), a->End());
    return a.Finish(kOk);
  }
  if (bad == StorageManager::kNoRecord) return a.Finish(FailCode(o, "the archive's end is wrong", r));
  const BlockRecord& rec = a->Directory()[bad];
  return a.Finish(FailCode(o,
                           "record " + std::to_string(bad) + " (" + TypeName(rec.type) + " at " +
                               std::to_string(rec.offset) + ", size " + std::to_string(rec.size) + ") is out of place",
                           r));
}

int RunDump(const Options& o) {
  OpenArchive a(o);
  if (!a.Open(o.positional[0], OpenRead)) return kFailed;
  StorageHeader h = StorageHeader::Parse(a->HeaderImage());
  std::printf("signature 0x%04X\nversion 0x%04X\ndirectoryOffset %u\nheaderFlags 0x%08X\nend %u\nstatus 0x%X\n",
              h.signature, h.version, h.directoryOffset, h.headerFlags, a->End(), a->Status());
  const auto& d = a->Directory();
  std::printf("records %zu\n", d.size());
  for (size_t i = 0; i < d.size(); ++i) {
    std::printf("%zu\t%s\t%u\t%u\n", i, TypeName(d[i].type), d[i].offset, d[i].size);
  }
  return a.Finish(kOk);
}

// --- Chunked streams, addressed by the block number of their index.

bool ParseUnsigned(const std::string& text, uint64_t most, uint64_t& out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > most) return false;
  }
  out = v;
  return true;
}

bool ParseOffset(const std::string& text, int64_t& out) {
  bool negative = !text.empty() && text[0] == '-';
  uint64_t v;
  if (!ParseUnsigned(negative ? text.substr(1) : text, 0xFFFFFFFFull, v)) return false;
  out = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
  return true;
}

// The argument at index as a number no larger than most, or a usage message.
bool NumberArg(const Options& o, size_t index, const char* what, uint64_t most, uint64_t& out) {
  if (ParseUnsigned(o.positional[index], most, out)) return true;
  Fail(o, std::string(what) + " must be a number from 0 to " + std::to_string(most) + ", not '" +
              o.positional[index] + "'");
  return false;
}

bool BlockArg(const Options& o, uint32_t& block) {
  uint64_t v;
  if (!NumberArg(o, 1, "BLOCK", 0xFFFFFFFFull, v)) return false;
  block = static_cast<uint32_t>(v);
  return true;
}

bool OffsetArg(const Options& o, int64_t& offset) {
  if (ParseOffset(o.positional[2], offset)) return true;
  Fail(o, "OFFSET must be a whole number (negative: from the end), not '" + o.positional[2] + "'");
  return false;
}

std::string NoStream(uint32_t block) { return "block " + std::to_string(block) + " holds no chunked stream"; }

int RunChunkCreate(const Options& o) {
  std::vector<uint8_t> data;
  if (!ReadFileBytes(o.positional[1], data)) return Fail(o, "cannot read '" + o.positional[1] + "'");
  if (data.size() > 0x7FFFFFFFu) return Fail(o, "the file is too large for a chunked stream");
  OpenArchive a(o);
  if (!a.Open(o.positional[0], OpenReadWrite)) return kFailed;
  int32_t block = a->CreateChunkedStream(data.data(), static_cast<uint32_t>(data.size()), o.chunkSize,
                                         o.compressed ? ChunkKindCompressed : ChunkKindPlain);
  if (block < 0) return a.Finish(FailCode(o, "cannot create the chunked stream", block));
  int status = a.Finish(kOk);
  if (status == kOk) std::printf("%d\n", block);
  return status;
}

int RunChunkRead(const Options& o) {
  uint32_t block;
  int64_t offset;
  uint64_t length;
  if (!BlockArg(o, block) || !OffsetArg(o, offset) || !NumberArg(o, 3, "LENGTH", 0x7FFFFFFF, length)) return kUsage;
  OpenArchive a(o);
  if (!a.Open(o.positional[0], OpenRead)) return kFailed;
  int32_t total = a->GetChunkedStreamLength(block);
  if (total < 0) return a.Finish(FailCode(o, NoStream(block), total));
  std::vector<uint8_t> content(static_cast<size_t>(std::min<uint64_t>(length, static_cast<uint32_t>(total))));
  int32_t r = a->ReadChunkedStream(block, content.data(), static_cast<uint32_t>(content.size()), offset);
  if (r < 0) return a.Finish(FailCode(o, "cannot read the chunked stream at block " + std::to_string(block), r));
  content.resize(static_cast<size_t>(r));
  const std::string out = o.positional.size() > 4 ? o.positional[4] : std::string();
  if (!WriteOutput(out, content)) return a.Finish(Fail(o, "cannot write '" + (out.empty() ? "-" : out) + "'"));
  return a.Finish(kOk);
}

int RunChunkWrite(const Options& o) {
  uint32_t block;
  int64_t offset;
  if (!BlockArg(o, block) || !OffsetArg(o, offset)) return kUsage;
  std::vector<uint8_t> data;
  if (!ReadFileBytes(o.positional[3], data)) return Fail(o, "cannot read '" + o.positional[3] + "'");
  OpenArchive a(o);
  if (!a.Open(o.positional[0], OpenReadWrite)) return kFailed;
  int32_t total = a->GetChunkedStreamLength(block);
  if (total < 0) return a.Finish(FailCode(o, NoStream(block), total));
  int64_t start = offset < 0 ? offset + total : offset;
  if (start < 0 || start > total) return a.Finish(FailCode(o, "cannot write there", StorageChunkOffsetOutside));
  // Writing never extends a stream; a tool that cut the data short would lose it silently.
  if (static_cast<uint64_t>(start) + data.size() > static_cast<uint64_t>(total))
    return a.Finish(Fail(o, "'" + o.positional[3] + "' (" + std::to_string(data.size()) + " bytes) runs past the end of the stream (" +
                                std::to_string(total) + " bytes); use chunk-resize first"));
  int32_t r = a->WriteChunkedStream(block, data.data(), static_cast<uint32_t>(data.size()), offset);
  if (r < 0) return a.Finish(FailCode(o, "cannot write the chunked stream at block " + std::to_string(block), r));
  int status = a.Finish(kOk);
  if (status == kOk) std::printf("%d bytes\n", r);
  return status;
}

int RunChunkResize(const Options& o) {
  uint32_t block;
  uint64_t length;
  if (!BlockArg(o, block) || !NumberArg(o, 2, "LENGTH", 0x7FFFFFFF, length)) return kUsage;
  OpenArchive a(o);
  if (!a.Open(o.positional[0], OpenReadWrite)) return kFailed;
  int32_t total = a->GetChunkedStreamLength(block);
  if (total < 0) return a.Finish(FailCode(o, NoStream(block), total));
  if (!a->ResizeChunkedStream(block, static_cast<uint32_t>(length)))
    return a.Finish(Fail(o, "cannot resize the chunked stream at block " + std::to_string(block) +
                                ": the archive could not be extended or written"));
  return a.Finish(kOk);
}

int RunChunkRepair(const Options& o) {
  uint32_t block;
  if (!BlockArg(o, block)) return kUsage;
  OpenArchive a(o);
  if (!a.Open(o.positional[0], OpenReadWrite)) return kFailed;
  int32_t r = a->RepairChunkedStream(block);
  std::printf("%d\n", r);
  if (r < 0) return a.Finish(FailCode(o, "the repaired index could not be saved", r));
  return a.Finish(kOk);
}

int RunChunkLs(const Options& o) {
  uint32_t block;
  if (!BlockArg(o, block)) return kUsage;
  OpenArchive a(o);
  if (!a.Open(o.positional[0], OpenRead)) return kFailed;
  const ChunkedStream* s = a->LookupChunkedStream(block);
  if (!s) return a.Finish(FailCode(o, NoStream(block), StorageNoChunkedStream));
  std::vector<uint32_t> chunks;
  if (StorageManager::ListChunks(*s, chunks) < 0) return a.Finish(Fail(o, "out of memory"));
  std::printf("kind\t%s\nchunk-size\t%u\nlength\t%u\nchunks\t", s->tag == ChunkKindPlain ? "plain" : "compressed",
              s->chunkSize, s->totalLength);
  for (size_t i = 0; i < chunks.size(); ++i) std::printf(i ? " %u" : "%u", chunks[i]);
  std::printf("\n");
  return a.Finish(kOk);
}

const Command kCommands[] = {
    {"create", "ARCHIVE", "create a new empty archive (an existing file is replaced)", 1, 1, RunCreate},
    {"put", "[--raw] [--folder A/B] ARCHIVE NAME FILE",
     "store FILE under NAME, compressed (--raw: the bytes as they are)", 3, 3, RunPut},
    {"get", "[--raw] [--folder A/B] [--max-size BYTES] ARCHIVE NAME [OUT]",
     "write the content of NAME to OUT or standard output (--raw: the stored bytes)", 2, 3, RunGet},
    {"ls", "[--folder A/B] ARCHIVE", "list the entries: name, file or folder, block number, stored length", 1, 1, RunLs},
    {"rm", "[--folder A/B] ARCHIVE NAME", "remove a file, or a folder that holds no folders", 2, 2, RunRm},
    {"mkdir", "[--folder A/B] ARCHIVE NAME", "create an empty folder", 2, 2, RunMkdir},
    {"compact", "ARCHIVE OUT", "write a copy without free space to OUT", 2, 2, RunCompact},
    {"check", "ARCHIVE", "check that the regions tile the archive (exit status 1 names the first bad record)",
     1, 1, RunCheck},
    {"dump", "ARCHIVE", "print the header fields and every directory record", 1, 1, RunDump},
    {"chunk-create", "[--compressed] [--chunk-size N] ARCHIVE FILE",
     "store FILE as a new chunked stream and print the block number of its index", 2, 2, RunChunkCreate},
    {"chunk-read", "ARCHIVE BLOCK OFFSET LENGTH [OUT]",
     "write up to LENGTH bytes of the chunked stream at BLOCK, from OFFSET (negative: counted from the end), "
     "to OUT or standard output",
     4, 5, RunChunkRead},
    {"chunk-write", "ARCHIVE BLOCK OFFSET FILE",
     "overwrite the chunked stream at BLOCK with FILE from OFFSET (negative: counted from the end); the "
     "stream is not extended",
     4, 4, RunChunkWrite},
    {"chunk-resize", "ARCHIVE BLOCK LENGTH",
     "make the chunked stream at BLOCK LENGTH bytes long (new bytes are zeros)", 3, 3, RunChunkResize},
    {"chunk-repair", "ARCHIVE BLOCK",
     "repair the index of the chunked stream at BLOCK and print 1 (repaired), 0 (nothing to repair) or the "
     "error code",
     2, 2, RunChunkRepair},
    {"chunk-ls", "ARCHIVE BLOCK",
     "print the kind, chunk size, length and chunk block numbers of the chunked stream at BLOCK", 2, 2, RunChunkLs},
};

void PrintCommandHelp(const Command& c) {
  std::printf("usage: tolvane-pack archive %s %s\n\n%s.\n", c.name, c.usage, c.summary);
  if (std::strstr(c.usage, "--folder"))
    std::printf("\n  --folder A/B  act on the subfolder B of the folder A (names separated by '/')\n");
  if (std::strstr(c.usage, "--raw")) std::printf("  --raw         no compression: the stored bytes\n");
  if (std::strstr(c.usage, "--max-size"))
    std::printf("  --max-size BYTES  refuse content larger than BYTES (default: 16 times the archive's\n"
                "                    size, at least 16 MiB)\n");
  if (std::strstr(c.usage, "--compressed"))
    std::printf("\n  --compressed    every chunk stored compressed (chunks of zeros take no space)\n");
  if (std::strstr(c.usage, "--chunk-size"))
    std::printf("  --chunk-size N  bytes per chunk, 1 to 65535 (default 4092)\n");
}

void PrintGroupHelp() {
  std::printf("usage: tolvane-pack archive COMMAND [OPTIONS] ARGS...\n\nStorage archive files (package "
              "archives: signature 0x5256, version 0x0600).\n\ncommands:\n");
  for (const Command& c : kCommands) std::printf("  %-12s %s\n", c.name, c.usage);
  std::printf("\n'tolvane-pack archive COMMAND --help' describes a command. Errors give the archive's "
              "error code and exit status 1 (2 for usage errors).\n");
}

}  // namespace

int RunArchiveCommands(const Args& args) {
  if (args.size() < 2) {
    PrintGroupHelp();
    return kUsage;
  }
  if (args[1] == "--help" || args[1] == "-h" || args[1] == "help") {
    PrintGroupHelp();
    return kOk;
  }
  Options o;
  for (const Command& c : kCommands) {
    if (args[1] == c.name) o.command = &c;
  }
  if (!o.command) {
    std::fprintf(stderr, "tolvane-pack archive: unknown command '%s' (try --help)\n", args[1].c_str());
    return kUsage;
  }
  const Command& c = *o.command;
  bool optionsDone = false;
  for (size_t i = 2; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!optionsDone && (a == "--help" || a == "-h")) {
      PrintCommandHelp(c);
      return kOk;
    }
    if (!optionsDone && a == "--") {
      optionsDone = true;
    } else if (!optionsDone && a == "--raw" && std::strstr(c.usage, "--raw")) {
      o.raw = true;
    } else if (!optionsDone && a == "--compressed" && std::strstr(c.usage, "--compressed")) {
      o.compressed = true;
    } else if (!optionsDone && a == "--chunk-size" && std::strstr(c.usage, "--chunk-size")) {
      uint64_t size = 0;
      if (++i == args.size() || !ParseUnsigned(args[i], 0xFFFF, size) || size == 0) {
        Fail(o, "--chunk-size needs a number from 1 to 65535");
        return kUsage;
      }
      o.chunkSize = static_cast<uint16_t>(size);
    } else if (!optionsDone && a == "--max-size" && std::strstr(c.usage, "--max-size")) {
      uint64_t size = 0;
      if (++i == args.size() || !ParseUnsigned(args[i], kMostMaxSize, size) || size == 0) {
        Fail(o, "--max-size needs a number of bytes from 1 to " + std::to_string(kMostMaxSize));
        return kUsage;
      }
      o.maxSize = static_cast<uint32_t>(size);
    } else if (!optionsDone && a == "--folder" && std::strstr(c.usage, "--folder")) {
      if (++i == args.size()) {
        Fail(o, "--folder needs a folder path");
        return kUsage;
      }
      o.hasFolder = true;
      o.folder.clear();
      std::string part;
      for (char ch : args[i] + "/") {
        if (ch != '/') {
          part += ch;
          continue;
        }
        if (part.empty()) {
          Fail(o, "bad folder path '" + args[i] + "'");
          return kUsage;
        }
        o.folder.push_back(part);
        part.clear();
      }
    } else if (!optionsDone && a.size() > 1 && a[0] == '-' && a[1] == '-') {
      std::fprintf(stderr, "tolvane-pack archive %s: unknown option '%s'\n", c.name, a.c_str());
      PrintCommandHelp(c);
      return kUsage;
    } else {
      o.positional.push_back(a);
    }
  }
  if (o.positional.size() < c.leastArgs || o.positional.size() > c.mostArgs) {
    std::fprintf(stderr, "usage: tolvane-pack archive %s %s\n", c.name, c.usage);
    return kUsage;
  }
  return c.run(o);
}

}  // namespace tolvane::pack
