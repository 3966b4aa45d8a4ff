// tolvane-pack archive: commands over storage archive files, for vendors and interop checks.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "storage/storage_manager.h"
#include "tools/tolvane_pack/commands.h"
#include "tools/tolvane_pack/file_io.h"
#include "tools/tolvane_pack/product_tree.h"
#include "tools/tolvane_pack/text_codec.h"

namespace tolvane::pack {
namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// Parsed options and arguments of one command.
struct Options {
  const CommandSpec* command = nullptr;
  bool raw = false;
  bool compressed = false;      // chunk-create: ChunkKindCompressed
  uint16_t chunkSize = 4092;    // chunk-create: a chunk and its length prefix fill 4 KiB
  uint32_t maxSize = 0;         // get: the most it reads (0: as much as the archive's size allows)
  bool hasFolder = false;
  std::vector<std::string> folder;  // path components
  std::vector<std::string> positional;
};

int Fail(const Options& o, const std::string& what) {
  std::fprintf(stderr, "tolvane-pack %s: %s\n", o.command->name, what.c_str());
  return kFailed;
}

int FailCode(const Options& o, const std::string& what, int32_t code) {
  return Fail(o, what + ": error " + std::to_string(code) + " (" + StorageErrorText(code) + ")");
}

// A file's whole content, or a message after reporting.
bool ReadInput(const Options& o, const std::string& path, std::vector<uint8_t>& out) {
  std::string error;
  if (ReadWholeFile(PathFromUtf8(path), out, error)) return true;
  Fail(o, error);
  return false;
}

bool WriteOutput(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
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
    // Arguments are UTF-8 (on Windows too: the program's entry point makes them so).
    std::wstring wide;
    std::string problem;
    if (!WideName(path, wide, problem)) {
      Fail(o_, "cannot use the path '" + Printable(path) + "': " + problem);
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
  if (!ReadInput(o, o.positional[2], data)) return kFailed;
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
  std::string out = o.positional.size() > 2 ? o.positional[2] : std::string();
  std::filesystem::path target = PathFromUtf8(out);
  std::error_code ec;
  if (!out.empty() && std::filesystem::is_directory(target, ec)) {
    // Into a folder under the entry's name as given, which must stay a file of that folder.
    std::string problem;
    std::optional<std::u16string> text = Utf8ToUtf16(name, problem);
    if (!text || !CheckNameComponent(*text, problem))
      return a.Finish(Fail(o, "'" + Printable(name) + "': " + problem + "; give a file name as OUT"));
    target /= Utf16ToPath(*text);
    out = Display(target);
  }
  if (!WriteOutput(target, content)) return a.Finish(Fail(o, "cannot write '" + (out.empty() ? "-" : out) + "'"));
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
  std::string problem;
  if (!WideName(o.positional[1], target, problem))
    return a.Finish(Fail(o, "cannot use the path '" + Printable(o.positional[1]) + "': " + problem));
  // The copy takes OUT's name only when it is whole.
  int32_t r = a->CopyTo(target, false);
  if (r < 0) return a.Finish(FailCode(o, "cannot write the copy to '" + o.positional[1] + "'", r));
  std::error_code ec;
  std::printf("%ju bytes\n", static_cast<uintmax_t>(std::filesystem::file_size(PathFromUtf8(o.positional[1]), ec)));
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

// The argument at index as a number no larger than most, or a usage message.
bool NumberArg(const Options& o, size_t index, const char* what, uint64_t most, uint64_t& out) {
  std::string error;
  if (ParseNumber(o.positional[index], 0, most, what, out, error)) return true;
  Fail(o, error);
  return false;
}

bool BlockArg(const Options& o, uint32_t& block) {
  uint64_t v;
  if (!NumberArg(o, 1, "BLOCK", 0xFFFFFFFFull, v)) return false;
  block = static_cast<uint32_t>(v);
  return true;
}

// A whole number; negative counts from the end.
bool OffsetArg(const Options& o, int64_t& offset) {
  const std::string& text = o.positional[2];
  const bool negative = !text.empty() && text[0] == '-';
  uint64_t v;
  std::string ignored;
  if (ParseNumber(negative ? text.substr(1) : text, 0, 0xFFFFFFFFull, "OFFSET", v, ignored)) {
    offset = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return true;
  }
  Fail(o, "OFFSET must be a whole number (negative: from the end), not '" + text + "'");
  return false;
}

std::string NoStream(uint32_t block) { return "block " + std::to_string(block) + " holds no chunked stream"; }

int RunChunkCreate(const Options& o) {
  std::vector<uint8_t> data;
  if (!ReadInput(o, o.positional[1], data)) return kFailed;
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
  if (!WriteOutput(PathFromUtf8(out), content))
    return a.Finish(Fail(o, "cannot write '" + (out.empty() ? "-" : out) + "'"));
  return a.Finish(kOk);
}

int RunChunkWrite(const Options& o) {
  uint32_t block;
  int64_t offset;
  if (!BlockArg(o, block) || !OffsetArg(o, offset)) return kUsage;
  std::vector<uint8_t> data;
  if (!ReadInput(o, o.positional[3], data)) return kFailed;
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

const OptionSpec kFolderOption{"--folder", "A/B", "act on the subfolder B of the folder A (names separated by '/')"};
const OptionSpec kRawOption{"--raw", nullptr, "no compression: the stored bytes"};

struct ArchiveCommand {
  CommandSpec spec;
  int (*run)(const Options&);
};

const ArchiveCommand kCommands[] = {
    {{"archive create", "ARCHIVE", "create a new empty archive (an existing file is replaced)", 1, 1, {}}, RunCreate},
    {{"archive put", "[--raw] [--folder A/B] ARCHIVE NAME FILE",
      "store FILE under NAME, compressed (--raw: the bytes as they are)", 3, 3, {kRawOption, kFolderOption}},
     RunPut},
    {{"archive get", "[--raw] [--folder A/B] [--max-size BYTES] ARCHIVE NAME [OUT]",
      "write the content of NAME to OUT or standard output (--raw: the stored bytes); into the folder OUT under "
      "its own name, when that is a plain file name",
      2,
      3,
      {kRawOption, kFolderOption,
       {"--max-size", "BYTES", "refuse content larger than BYTES (default: 16 times the archive's size, at least 16 MiB)"}}},
     RunGet},
    {{"archive ls", "[--folder A/B] ARCHIVE", "list the entries: name, file or folder, block number, stored length", 1,
      1, {kFolderOption}},
     RunLs},
    {{"archive rm", "[--folder A/B] ARCHIVE NAME", "remove a file, or a folder that holds no folders", 2, 2,
      {kFolderOption}},
     RunRm},
    {{"archive mkdir", "[--folder A/B] ARCHIVE NAME", "create an empty folder", 2, 2, {kFolderOption}}, RunMkdir},
    {{"archive compact", "ARCHIVE OUT", "write a copy without free space to OUT", 2, 2, {}}, RunCompact},
    {{"archive check", "ARCHIVE",
      "check that the regions tile the archive (exit status 1 names the first bad record)", 1, 1, {}},
     RunCheck},
    {{"archive dump", "ARCHIVE", "print the header fields and every directory record", 1, 1, {}}, RunDump},
    {{"archive chunk-create", "[--compressed] [--chunk-size N] ARCHIVE FILE",
      "store FILE as a new chunked stream and print the block number of its index", 2, 2,
      {{"--compressed", nullptr, "every chunk stored compressed (chunks of zeros take no space)"},
       {"--chunk-size", "N", "bytes per chunk, 1 to 65535 (default 4092)"}}},
     RunChunkCreate},
    {{"archive chunk-read", "ARCHIVE BLOCK OFFSET LENGTH [OUT]",
      "write up to LENGTH bytes of the chunked stream at BLOCK, from OFFSET (negative: counted from the end), "
      "to OUT or standard output",
      4, 5, {}},
     RunChunkRead},
    {{"archive chunk-write", "ARCHIVE BLOCK OFFSET FILE",
      "overwrite the chunked stream at BLOCK with FILE from OFFSET (negative: counted from the end); the "
      "stream is not extended",
      4, 4, {}},
     RunChunkWrite},
    {{"archive chunk-resize", "ARCHIVE BLOCK LENGTH",
      "make the chunked stream at BLOCK LENGTH bytes long (new bytes are zeros)", 3, 3, {}},
     RunChunkResize},
    {{"archive chunk-repair", "ARCHIVE BLOCK",
      "repair the index of the chunked stream at BLOCK and print 1 (repaired), 0 (nothing to repair) or the "
      "error code",
      2, 2, {}},
     RunChunkRepair},
    {{"archive chunk-ls", "ARCHIVE BLOCK",
      "print the kind, chunk size, length and chunk block numbers of the chunked stream at BLOCK", 2, 2, {}},
     RunChunkLs},
};

// The options of a parsed command line as the commands take them; false after a message.
bool ReadOptions(const CommandLine& line, Options& o) {
  o.raw = line.Has("--raw");
  o.compressed = line.Has("--compressed");
  o.positional = line.positional;
  std::string error;
  uint64_t v = 0;
  if (line.Has("--chunk-size")) {
    if (!ParseNumber(line.Value("--chunk-size"), 1, 0xFFFF, "--chunk-size", v, error)) return Fail(o, error), false;
    o.chunkSize = static_cast<uint16_t>(v);
  }
  if (line.Has("--max-size")) {
    if (!ParseNumber(line.Value("--max-size"), 1, kMostMaxSize, "--max-size", v, error)) return Fail(o, error), false;
    o.maxSize = static_cast<uint32_t>(v);
  }
  if (line.Has("--folder")) {
    const std::string& path = line.Value("--folder");
    o.hasFolder = true;
    std::string part;
    for (char ch : path + "/") {
      if (ch != '/') {
        part += ch;
        continue;
      }
      if (part.empty()) return Fail(o, "bad folder path '" + path + "'"), false;
      o.folder.push_back(part);
      part.clear();
    }
  }
  return true;
}

}  // namespace

const CommandGroup kArchiveGroup{
    "archive", "create, read, change and check storage archive files",
    "Storage archive files (package archives: signature 0x5256, version 0x0600).",
    "'tolvane-pack archive COMMAND --help' describes a command. Errors give the archive's error code and exit "
    "status 1 (2 for usage errors)."};

std::vector<Command> ArchiveCommands() {
  std::vector<Command> commands;
  for (const ArchiveCommand& c : kCommands) {
    commands.push_back({&c.spec, [&c](const CommandLine& line) {
                          Options o;
                          o.command = &c.spec;
                          return ReadOptions(line, o) ? c.run(o) : kUsage;
                        }});
  }
  return commands;
}

}  // namespace tolvane::pack
