#include "tools/tolvane_pack/pe_resources.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "common/little_endian.h"

namespace tolvane::pack::pe {

namespace {

// Offsets in the headers (PE/COFF). The optional header's fields are given from its start.
constexpr uint32_t kCoffSize = 20;
constexpr uint32_t kOptMagic = 0, kOptSizeOfInitializedData = 8, kOptSectionAlignment = 32,
                   kOptFileAlignment = 36, kOptSizeOfImage = 56, kOptChecksum = 64, kOptImageBase32 = 28,
                   kOptImageBase64 = 24, kOptDllCharacteristics = 70,
                   kOptSubsystem = 68;
constexpr uint32_t kOptDirectories32 = 92, kOptDirectories64 = 108;  // NumberOfRvaAndSizes
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kDirResource = 2, kDirCertificate = 4, kDirDebug = 6;
constexpr uint32_t kScnInitializedData = 0x00000040, kScnDiscardable = 0x02000000;
constexpr uint32_t kSubdirectoryBit = 0x80000000u;

bool Fits(size_t size, uint64_t at, uint64_t length) { return at <= size && length <= size - at; }
uint64_t AlignUp(uint64_t v, uint64_t a) { return a ? (v + a - 1) / a * a : v; }

constexpr uint64_t kPageBytes = 0x1000;
constexpr uint64_t kMappedResourcesFrom = 16u << 20;

// Where the bytes of a resource section come from: memory, or the file itself for
// files too large to hold.
class SectionView {
 public:
  virtual ~SectionView() = default;
  virtual uint64_t Size() const = 0;
  // Reads [at, at + length), which the caller has checked lies in the section.
  virtual bool Read(uint64_t at, size_t length, uint8_t* out) const = 0;
  // Resource data: held in bytes, or (returning false with external set) left in the file.
  virtual bool Data(uint64_t at, uint32_t length, ResourceData& data) const {
    data.bytes.resize(length);
    return Read(at, length, data.bytes.data());
  }
};

class MemoryView final : public SectionView {
 public:
  MemoryView(const uint8_t* bytes, uint64_t size) : bytes_(bytes), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool Read(uint64_t at, size_t length, uint8_t* out) const override {
    // (An empty resource's buffer may have no address at all.)
    if (length != 0) std::memcpy(out, bytes_ + at, length);
    return true;
  }

 private:
  const uint8_t* bytes_;
  uint64_t size_;
};

// Walks the directory tables of one resource section. Every offset is checked against
// the section, and the number of entries visited is bounded by the section's size, so a
// tree whose tables point at each other costs no more than the section itself.
class TreeReader {
 public:
  TreeReader(const SectionView& section, uint32_t sectionRva, ResourceTree& tree)
      : s_(section), size_(section.Size()), rva_(sectionRva), tree_(tree), budget_(section.Size() / 8 + 16) {}

  bool Read(std::string& problem) { return Table(0, 0, {}, {}, problem); }

 private:
  bool Fetch(uint64_t at, size_t length, std::string& problem) {
    buffer_.resize(length);
    if (!s_.Read(at, length, buffer_.data())) return Bad("cannot read the resource section", problem);
    return true;
  }

  bool Key(uint32_t raw, ResourceKey& key, std::string& problem) {
    if (!(raw & kSubdirectoryBit)) {
      if (raw > 0xFFFF) return Bad("resource id above 65535", problem);
      key = ResourceKey::Id(uint16_t(raw));
      return true;
    }
    uint32_t at = raw & ~kSubdirectoryBit;
    if (!Fits(size_, at, 2) || !Fetch(at, 2, problem)) return Bad("resource name outside the section", problem);
    uint32_t units = LoadLe16(buffer_.data() + 0);
    if (!Fits(size_, at + 2, uint64_t(units) * 2)) return Bad("resource name outside the section", problem);
    if (!Fetch(at + 2, size_t(units) * 2, problem)) return false;
    key.named = true;
    key.name.resize(units);
    for (uint32_t i = 0; i < units; ++i) key.name[i] = char16_t(LoadLe16(buffer_.data() + 2 * i));
    return true;
  }

  bool Table(uint32_t at, int level, const ResourceKey& type, const ResourceKey& name, std::string& problem) {
    if (!Fits(size_, at, 16)) return Bad("directory table outside the section", problem);
    if (!Fetch(at, 16, problem)) return false;
    uint32_t count = uint32_t(LoadLe16(buffer_.data() + 12)) + LoadLe16(buffer_.data() + 14);
    if (!Fits(size_, at + 16, uint64_t(count) * 8)) return Bad("directory table outside the section", problem);
    Bytes entries;
    if (!Fetch(at + 16, size_t(count) * 8, problem)) return false;
    entries.swap(buffer_);
    for (uint32_t i = 0; i < count; ++i) {
      if (budget_-- == 0) return Bad("directory tables refer to each other", problem);
      ResourceKey key;
      if (!Key(LoadLe32(entries.data() + 8 * i), key, problem)) return false;
      uint32_t target = LoadLe32(entries.data() + 8 * i + 4);
      bool sub = target & kSubdirectoryBit;
      target &= ~kSubdirectoryBit;
      if (level < 2) {
        if (!sub) return Bad("data where a directory table belongs", problem);
        if (!Table(target, level + 1, level == 0 ? key : type, key, problem)) return false;
        continue;
      }
      if (sub || key.named) return Bad("language level is not a list of data entries", problem);
      if (!Fits(size_, target, 16) || !Fetch(target, 16, problem)) return Bad("data entry outside the section", problem);
      uint32_t dataRva = LoadLe32(buffer_.data() + 0), size = LoadLe32(buffer_.data() + 4), codePage = LoadLe32(buffer_.data() + 8);
      if (dataRva < rva_ || !Fits(size_, uint64_t(dataRva) - rva_, size))
        return Bad("resource data outside the resource section", problem);
      ResourceData& data = tree_[type][name][key.id];
      data.codePage = codePage;
      if (!s_.Data(uint64_t(dataRva) - rva_, size, data) && !data.external)
        return Bad("cannot read the resource data", problem);
    }
    return true;
  }

  static bool Bad(const char* what, std::string& problem) {
    problem = std::string("damaged resource section: ") + what;
    return false;
  }

  const SectionView& s_;
  uint64_t size_;
  uint32_t rva_;
  ResourceTree& tree_;
  size_t budget_;
  Bytes buffer_;
};

// Lays out the directory part of a resource section placed at `rva`: the three levels of
// directory tables, the data entries and the names; the data follows it, each item
// 8-byte aligned, in the order ForEachItem visits them. dataBytes: the data's length.
Bytes LayOutTables(const ResourceTree& tree, uint32_t rva, uint64_t& dataBytes) {
  auto table = [](size_t entries) { return 16 + 8 * entries; };
  size_t tables = table(tree.size()), dataEntries = 0, names = 0;
  uint64_t data = 0;
  auto nameSize = [](const ResourceKey& k) { return k.named ? AlignUp(2 + 2 * k.name.size(), 2) : 0; };
  for (const auto& [type, nameMap] : tree) {
    tables += table(nameMap.size());
    names += nameSize(type);
    for (const auto& [name, languages] : nameMap) {
      tables += table(languages.size());
      names += nameSize(name);
      dataEntries += languages.size();
      for (const auto& [language, item] : languages) data += AlignUp(item.Size(), 8);
    }
  }
  dataBytes = data;
  size_t entriesAt = tables, namesAt = entriesAt + 16 * dataEntries, dataAt = AlignUp(namesAt + names, 8);
  Bytes out(dataAt, 0);

  size_t nextTable = 0, nextEntry = entriesAt, nextName = namesAt;
  uint64_t nextData = dataAt;
  auto startTable = [&](size_t named, size_t ids) {
    size_t at = nextTable;
    StoreLe16(out.data() + at + 12, uint16_t(named));
    StoreLe16(out.data() + at + 14, uint16_t(ids));
    nextTable += table(named + ids);
    return at;
  };
  auto putKey = [&](size_t entry, const ResourceKey& key) {
    if (!key.named) return StoreLe32(out.data() + entry, key.id);
    StoreLe32(out.data() + entry, uint32_t(nextName) | kSubdirectoryBit);
    StoreLe16(out.data() + nextName, uint16_t(key.name.size()));
    for (size_t i = 0; i < key.name.size(); ++i) StoreLe16(out.data() + nextName + 2 + 2 * i, key.name[i]);
    nextName += nameSize(key);
  };
  auto namedCount = [](const auto& map) {
    size_t n = 0;
    for (const auto& item : map) n += item.first.named;
    return n;
  };

  // Breadth first: the root, every name table, then every language table.
  size_t root = startTable(namedCount(tree), tree.size() - namedCount(tree));
  std::vector<size_t> nameTables;
  size_t i = 0;
  for (const auto& [type, nameMap] : tree) {
    size_t at = startTable(namedCount(nameMap), nameMap.size() - namedCount(nameMap));
    nameTables.push_back(at);
    putKey(root + 16 + 8 * i, type);
    StoreLe32(out.data() + root + 20 + 8 * i, uint32_t(at) | kSubdirectoryBit);
    ++i;
  }
  i = 0;
  for (const auto& [type, nameMap] : tree) {
    size_t j = 0;
    for (const auto& [name, languages] : nameMap) {
      size_t at = startTable(0, languages.size());
      putKey(nameTables[i] + 16 + 8 * j, name);
      StoreLe32(out.data() + nameTables[i] + 20 + 8 * j, uint32_t(at) | kSubdirectoryBit);
      size_t k = 0;
      for (const auto& [language, item] : languages) {
        StoreLe32(out.data() + at + 16 + 8 * k, language);
        StoreLe32(out.data() + at + 20 + 8 * k, uint32_t(nextEntry));
        StoreLe32(out.data() + nextEntry, uint32_t(rva + nextData));
        StoreLe32(out.data() + nextEntry + 4, uint32_t(item.Size()));
        StoreLe32(out.data() + nextEntry + 8, item.codePage);
        nextEntry += 16;
        nextData += AlignUp(item.Size(), 8);
        ++k;
      }
      ++j;
    }
    ++i;
  }
  return out;
}

// Puts zeros into a sink.
bool PutZeros(OutputSink& sink, uint64_t count) {
  static const uint8_t zeros[4096] = {};
  while (count) {
    size_t n = size_t(std::min<uint64_t>(count, sizeof zeros));
    if (!sink.Put(zeros, n)) return false;
    count -= n;
  }
  return true;
}

// A sink that passes everything on and keeps the checksum of what went through.
class ChecksumSink final : public OutputSink {
 public:
  explicit ChecksumSink(OutputSink& next) : next_(next) {}
  bool Put(const uint8_t* data, size_t length) override {
    sum_.Add(data, length);
    written_ += length;
    return next_.Put(data, length);
  }
  bool Patch(uint64_t offset, const uint8_t* data, size_t length) override { return next_.Patch(offset, data, length); }
  uint32_t Checksum() const { return sum_.Finish(); }
  uint64_t Written() const { return written_; }

 private:
  OutputSink& next_;
  ChecksumAccumulator sum_;
  uint64_t written_ = 0;
};

class VectorSink final : public OutputSink {
 public:
  explicit VectorSink(Bytes& out) : out_(out) {}
  bool Put(const uint8_t* data, size_t length) override {
    out_.insert(out_.end(), data, data + length);
    return true;
  }
  bool Patch(uint64_t offset, const uint8_t* data, size_t length) override {
    if (offset > out_.size() || length > out_.size() - offset) return false;
    std::copy(data, data + length, out_.begin() + long(offset));
    return true;
  }

 private:
  Bytes& out_;
};

char16_t Fold(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; }

// One node of a VS_VERSIONINFO block: wLength, wValueLength, wType, the key, then the
// value and the children, each 32-bit aligned from the block's start.
struct VersionNode {
  size_t end = 0;
  std::u16string key;
  size_t value = 0, valueUnits = 0, children = 0;
};

bool ReadVersionNode(const Bytes& b, size_t at, size_t limit, VersionNode& node) {
  if (at + 6 > limit) return false;
  size_t length = LoadLe16(b.data() + at);
  if (length < 6 || at + length > limit) return false;
  node.end = at + length;
  size_t p = at + 6;
  node.key.clear();
  for (;; p += 2) {
    if (p + 2 > node.end) return false;
    char16_t c = char16_t(LoadLe16(b.data() + p));
    if (!c) break;
    node.key += c;
  }
  node.value = std::min<size_t>(AlignUp(p + 2, 4), node.end);
  // Text values count their length in UTF-16 units, binary ones in bytes.
  size_t valueLength = LoadLe16(b.data() + at + 2), type = LoadLe16(b.data() + at + 4);
  size_t valueBytes = type == 1 ? 2 * valueLength : valueLength;
  node.valueUnits = std::min(valueBytes, node.end - node.value) / (type == 1 ? 2 : 1);
  node.children = std::min<size_t>(AlignUp(node.value + valueBytes, 4), node.end);
  return true;
}

bool SameKey(const std::u16string& a, const char* b) {
  size_t n = 0;
  for (; b[n]; ++n)
    if (n >= a.size() || Fold(a[n]) != Fold(char16_t(b[n]))) return false;
  return n == a.size();
}

bool FindChild(const Bytes& b, const VersionNode& parent, const char* key, VersionNode& child) {
  for (size_t at = parent.children; at + 6 <= parent.end;) {
    if (!ReadVersionNode(b, at, parent.end, child)) return false;
    if (SameKey(child.key, key)) return true;
    at = AlignUp(child.end, 4);
  }
  return false;
}

}  // namespace

bool operator<(const ResourceKey& a, const ResourceKey& b) {
  if (a.named != b.named) return a.named;
  return a.named ? a.name < b.name : a.id < b.id;
}
bool operator==(const ResourceKey& a, const ResourceKey& b) { return !(a < b) && !(b < a); }

bool Image::Parse(Bytes file, std::string& problem) {
  file_ = std::move(file);
  fileSize_ = file_.size();
  fromFile_ = false;
  sectionBytes_.clear();
  if (!ParseHeaders(problem)) return false;
  return ParseResources(problem);
}

namespace {

// A resource section read from the file as it is needed.
class FileView final : public SectionView {
 public:
  FileView(std::ifstream& in, uint64_t start, uint64_t size, uint32_t inlineLimit)
      : in_(in), start_(start), size_(size), inlineLimit_(inlineLimit) {}
  uint64_t Size() const override { return size_; }
  bool Read(uint64_t at, size_t length, uint8_t* out) const override {
    in_.clear();
    in_.seekg(std::streamoff(start_ + at));
    return length == 0 || bool(in_.read(reinterpret_cast<char*>(out), std::streamsize(length)));
  }
  bool Data(uint64_t at, uint32_t length, ResourceData& data) const override {
    data.fileOffset = start_ + at;
    if (length <= inlineLimit_) return SectionView::Data(at, length, data);
    data.external = true;
    data.streamedSize = length;
    return false;
  }

 private:
  std::ifstream& in_;
  uint64_t start_, size_;
  uint32_t inlineLimit_;
};

}  // namespace

bool Image::ParseFile(const std::filesystem::path& path, uint32_t inlineLimit, std::string& problem) {
  file_.clear();
  resources_.clear();
  sections_.clear();
  sectionBytes_.clear();
  fromFile_ = true;
  std::ifstream in(path, std::ios::binary);
  if (!in) return problem = "cannot open the file", false;
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size < 0) return problem = "cannot read the file's size", false;
  fileSize_ = uint64_t(size);
  // The headers: the front of the file, and more of it while they run past what is held.
  for (uint64_t length = 4096;;) {
    file_.resize(size_t(std::min<uint64_t>(length, fileSize_)));
    in.clear();
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(file_.data()), std::streamsize(file_.size())))
      return problem = "cannot read the file", false;
    uint64_t more = 0;
    if (ParseHeaders(problem, &more)) break;
    if (more <= file_.size()) return false;
    length = more;
  }
  sectionBytes_.resize(sections_.size());
  if (headersOnly_) return true;
  for (size_t i = 0; i < sections_.size(); ++i) {
    const Section& s = sections_[i];
    if (i == rsrc_ || !s.rawSize) continue;
    Bytes& bytes = sectionBytes_[i];
    bytes.resize(s.rawSize);
    in.clear();
    in.seekg(std::streamoff(s.rawPointer));
    if (!in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size())))
      return problem = "cannot read section " + s.name, false;
  }
  const Section& r = sections_[rsrc_];
  uint32_t rsize = std::min(r.rawSize, r.virtualSize ? r.virtualSize : r.rawSize);
  FileView view(in, r.rawPointer, rsize, inlineLimit);
  TreeReader reader(view, r.virtualAddress, resources_);
  return reader.Read(problem);
}

bool Image::ParseHeadersOfFile(const std::filesystem::path& path, std::string& problem) {
  headersOnly_ = true;
  const bool ok = ParseFile(path, 0, problem);
  headersOnly_ = false;
  return ok;
}

const uint8_t* Image::SectionBytes(size_t i) const {
  if (i >= sections_.size() || !sections_[i].rawSize) return nullptr;
  if (!fromFile_) return file_.data() + sections_[i].rawPointer;
  return sectionBytes_[i].empty() ? nullptr : sectionBytes_[i].data();
}

bool Image::ParseHeaders(std::string& problem, uint64_t* more) {
  resources_.clear();
  sections_.clear();
  const Bytes& f = file_;
  // Whether [at, at + length) is held; when it is not but lies in the file, `more` learns
  // how much of the file would hold it.
  auto held = [&](uint64_t at, uint64_t length) {
    if (Fits(f.size(), at, length)) return true;
    if (more && Fits(fileSize_, at, length)) *more = at + length;
    return false;
  };
  if (!held(0, 64) || f[0] != 'M' || f[1] != 'Z') return problem = "not a Windows executable (no MZ header)", false;
  peOffset_ = LoadLe32(f.data() + 0x3C);
  if (!held(peOffset_, 4 + kCoffSize) || LoadLe32(f.data() + peOffset_) != 0x00004550)
    return problem = "not a PE file (no PE signature)", false;
  uint32_t coff = peOffset_ + 4;
  optOffset_ = coff + kCoffSize;
  optSize_ = LoadLe16(f.data() + coff + 16);
  if (!held(optOffset_, optSize_) || optSize_ < 2) return problem = "truncated optional header", false;
  uint16_t magic = LoadLe16(f.data() + optOffset_ + kOptMagic);
  if (magic != 0x10B && magic != 0x20B) return problem = "not a PE32 file (unknown optional header)", false;
  plus_ = magic == 0x20B;
  uint32_t dirCountAt = plus_ ? kOptDirectories64 : kOptDirectories32;
  if (optSize_ < dirCountAt + 4) return problem = "truncated optional header", false;
  directories_ = std::min<uint32_t>(LoadLe32(f.data() + optOffset_ + dirCountAt), (optSize_ - dirCountAt - 4) / 8);
  sectionAlignment_ = LoadLe32(f.data() + optOffset_ + kOptSectionAlignment);
  fileAlignment_ = LoadLe32(f.data() + optOffset_ + kOptFileAlignment);
  if (!fileAlignment_ || !sectionAlignment_ || (fileAlignment_ & (fileAlignment_ - 1)) ||
      (sectionAlignment_ & (sectionAlignment_ - 1)))
    return problem = "bad file or section alignment", false;

  uint32_t count = LoadLe16(f.data() + coff + 2);
  sectionTable_ = optOffset_ + optSize_;
  if (!held(sectionTable_, uint64_t(count) * kSectionHeaderSize)) return problem = "truncated section table", false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t at = sectionTable_ + i * kSectionHeaderSize;
    Section s;
    s.name.assign(reinterpret_cast<const char*>(&f[at]), strnlen(reinterpret_cast<const char*>(&f[at]), 8));
    s.virtualSize = LoadLe32(f.data() + at + 8);
    s.virtualAddress = LoadLe32(f.data() + at + 12);
    s.rawSize = LoadLe32(f.data() + at + 16);
    s.rawPointer = LoadLe32(f.data() + at + 20);
    s.characteristics = LoadLe32(f.data() + at + 36);
    if (s.rawSize && !Fits(fileSize_, s.rawPointer, s.rawSize)) return problem = "section " + s.name + " lies beyond the end of the file", false;
    sections_.push_back(s);
  }
  directoryTable_ = optOffset_ + dirCountAt + 4;
  Directory(kDirCertificate, certOffset_, certSize_);
  if (certSize_ && !Fits(fileSize_, certOffset_, certSize_)) return problem = "certificate table beyond the end of the file", false;
  rsrc_ = sections_.size();
  if (headersOnly_) return true;
  uint32_t rsrcRva = 0, rsrcSize = 0;
  Directory(kDirResource, rsrcRva, rsrcSize);
  if (!rsrcRva) return problem = "has no resource section", false;
  for (size_t i = 0; i < sections_.size(); ++i)
    if (sections_[i].virtualAddress == rsrcRva) rsrc_ = i;
  if (rsrc_ == sections_.size()) return problem = "the resource directory does not start a section", false;
  return true;
}

bool Image::ParseResources(std::string& problem) {
  const Section& s = sections_[rsrc_];
  uint32_t size = std::min(s.rawSize, s.virtualSize ? s.virtualSize : s.rawSize);
  MemoryView section(file_.data() + s.rawPointer, size);
  TreeReader reader(section, s.virtualAddress, resources_);
  return reader.Read(problem);
}

void Image::Directory(uint32_t index, uint32_t& rva, uint32_t& size) const {
  rva = size = 0;
  if (index >= directories_) return;
  rva = LoadLe32(file_.data() + directoryTable_ + 8 * index);
  size = LoadLe32(file_.data() + directoryTable_ + 8 * index + 4);
}

uint64_t Image::ImageBase() const {
  return plus_ ? LoadLe32(file_.data() + optOffset_ + kOptImageBase64) | uint64_t(LoadLe32(file_.data() + optOffset_ + kOptImageBase64 + 4)) << 32
               : LoadLe32(file_.data() + optOffset_ + kOptImageBase32);
}

uint16_t Image::DllCharacteristics() const { return LoadLe16(file_.data() + optOffset_ + kOptDllCharacteristics); }

const uint8_t* Image::At(uint64_t rva, uint64_t length, uint64_t* rest) const {
  for (size_t i = 0; i < sections_.size(); ++i) {
    const Section& s = sections_[i];
    const uint64_t size = std::min(s.rawSize, s.virtualSize ? s.virtualSize : s.rawSize);
    if (rva < s.virtualAddress || rva - s.virtualAddress >= size || length > size - (rva - s.virtualAddress)) continue;
    const uint8_t* data = SectionBytes(i);
    if (!data) return nullptr;
    if (rest) *rest = size - (rva - s.virtualAddress);
    return data + (rva - s.virtualAddress);
  }
  return nullptr;
}

uint16_t Image::Machine() const { return LoadLe16(file_.data() + peOffset_ + 4); }
uint16_t Image::Subsystem() const { return LoadLe16(file_.data() + optOffset_ + kOptSubsystem); }
uint32_t Image::StoredChecksum() const { return LoadLe32(file_.data() + optOffset_ + kOptChecksum); }
uint32_t Image::ImageSize() const { return LoadLe32(file_.data() + optOffset_ + kOptSizeOfImage); }

const ResourceData* Image::Find(uint16_t type, uint16_t name) const {
  auto t = resources_.find(ResourceKey::Id(type));
  if (t == resources_.end()) return nullptr;
  auto n = t->second.find(ResourceKey::Id(name));
  if (n == t->second.end() || n->second.empty()) return nullptr;
  return &n->second.begin()->second;
}

void Image::Put(uint16_t type, uint16_t name, Bytes bytes, uint16_t language) {
  LanguageMap& languages = resources_[ResourceKey::Id(type)][ResourceKey::Id(name)];
  if (!languages.empty()) language = languages.begin()->first;
  languages.clear();
  languages[language].bytes = std::move(bytes);
}

void Image::Remove(uint16_t type, uint16_t name) {
  auto t = resources_.find(ResourceKey::Id(type));
  if (t == resources_.end()) return;
  t->second.erase(ResourceKey::Id(name));
  if (t->second.empty()) resources_.erase(t);
}

void Image::PutStreamed(uint16_t type, uint16_t name, uint32_t size,
                        std::function<bool(OutputSink&, std::string&)> write, uint16_t language) {
  LanguageMap& languages = resources_[ResourceKey::Id(type)][ResourceKey::Id(name)];
  if (!languages.empty()) language = languages.begin()->first;
  languages.clear();
  ResourceData& data = languages[language];
  data.streamedSize = size;
  data.streamed = std::move(write);
}

// A rewrite as a plan: the new headers, the resource tables, and the file ranges that
// follow; WriteTo puts them out in that order.
struct Image::Layout {
  Bytes head;    // the file before the resource section, headers fixed, checksum field 0
  Bytes tables;  // the resource section up to its data
  uint64_t dataBytes = 0, sectionRaw = 0;
  struct Range {
    uint64_t from, length, padded;
  };
  std::vector<Range> moved;  // the raw data of the sections after the resources
  uint64_t tailStart = 0, tailEnd = 0;
  uint64_t total = 0, imageEnd = 0;
  size_t checksumField = 0;
};

bool Image::Plan(Layout& plan, std::string& problem) const {
  if (plus_) return problem = "a PE32+ (64-bit) file cannot be the stub", false;
  if (fromFile_) return problem = "a file read in parts cannot be rewritten", false;
  const Section& rsrc = sections_[rsrc_];
  uint32_t dirCountAt = kOptDirectories32;
  auto dirAt = [&](uint32_t index) { return optOffset_ + dirCountAt + 4 + 8 * index; };
  if (uint64_t(sectionTable_) + uint64_t(sections_.size()) * kSectionHeaderSize > rsrc.rawPointer)
    return problem = "the headers run into the resource section", false;

  // What follows the resource section must be free to move: discardable, raw data after.
  uint64_t rsrcRawEnd = uint64_t(rsrc.rawPointer) + rsrc.rawSize;
  std::vector<size_t> after;
  for (size_t i = 0; i < sections_.size(); ++i) {
    const Section& s = sections_[i];
    if (i == rsrc_) continue;
    if (s.virtualAddress > rsrc.virtualAddress) {
      if (!(s.characteristics & kScnDiscardable))
        return problem = "section " + s.name + " follows the resource section and is not discardable", false;
      if (s.rawSize && s.rawPointer < rsrcRawEnd) return problem = "section " + s.name + " overlaps the resource section in the file", false;
      after.push_back(i);
    } else if (s.rawSize && uint64_t(s.rawPointer) + s.rawSize > rsrc.rawPointer) {
      return problem = "section " + s.name + " lies after the resource section in the file", false;
    }
  }
  std::sort(after.begin(), after.end(),
            [&](size_t a, size_t b) { return sections_[a].virtualAddress < sections_[b].virtualAddress; });

  plan.tables = LayOutTables(resources_, rsrc.virtualAddress, plan.dataBytes);
  const uint64_t used = plan.tables.size() + plan.dataBytes;
  if (used > 0xFFFFFFFFu - fileAlignment_) return problem = "the new file would be larger than 4 GiB", false;
  const uint32_t newRaw = uint32_t(AlignUp(used, fileAlignment_));
  plan.sectionRaw = newRaw;

  // The file: everything before the resource data, the new section, the moved sections,
  // then whatever lay after the last section (not the signature, which no longer holds).
  uint64_t oldEnd = rsrcRawEnd;
  for (size_t i : after) oldEnd = std::max<uint64_t>(oldEnd, uint64_t(sections_[i].rawPointer) + sections_[i].rawSize);
  // A large resource section, which carries the package, starts at a page boundary in the
  // file: a loader can then map it from the file, where it would otherwise read the package
  // into private memory (Wine does). The stub keeps the usual small file alignment, and a
  // small package, which costs little memory either way, saves the padding.
  const uint64_t rawStart = used >= kMappedResourcesFrom ? AlignUp(rsrc.rawPointer, kPageBytes) : rsrc.rawPointer;
  Bytes& out = plan.head;
  out.assign(file_.begin(), file_.begin() + rsrc.rawPointer);
  out.resize(rawStart, 0);
  uint64_t position = rawStart + newRaw;
  std::vector<Section> moved = sections_;
  moved[rsrc_].virtualSize = uint32_t(used);
  moved[rsrc_].rawSize = newRaw;
  moved[rsrc_].rawPointer = uint32_t(rawStart);
  uint64_t nextVa = AlignUp(uint64_t(rsrc.virtualAddress) + moved[rsrc_].virtualSize, sectionAlignment_);
  std::vector<std::pair<uint32_t, int64_t>> shifts;  // old VA start, shift
  for (size_t i : after) {
    const Section& s = sections_[i];
    Section& m = moved[i];
    m.virtualAddress = uint32_t(nextVa);
    shifts.push_back({s.virtualAddress, int64_t(m.virtualAddress) - int64_t(s.virtualAddress)});
    nextVa = AlignUp(nextVa + std::max(s.virtualSize, s.rawSize), sectionAlignment_);
    if (s.rawSize) {
      m.rawPointer = uint32_t(position);
      uint64_t padded = AlignUp(s.rawSize, fileAlignment_);
      plan.moved.push_back({s.rawPointer, s.rawSize, padded});
      position += padded;
    }
  }
  if (position > 0xFFFFFFFFu) return problem = "the new file would be larger than 4 GiB", false;
  plan.tailStart = oldEnd;
  plan.tailEnd = file_.size();
  if (certSize_ && uint64_t(certOffset_) + certSize_ == file_.size() && certOffset_ >= oldEnd) plan.tailEnd = certOffset_;
  int64_t fileShift = int64_t(position) - int64_t(oldEnd);
  plan.total = position + (plan.tailEnd > plan.tailStart ? plan.tailEnd - plan.tailStart : 0);
  if (plan.total > 0xFFFFFFFFu) return problem = "the new file would be larger than 4 GiB", false;

  for (size_t i = 0; i < moved.size(); ++i) {
    uint32_t at = sectionTable_ + uint32_t(i) * kSectionHeaderSize;
    StoreLe32(out.data() + at + 8, moved[i].virtualSize);
    StoreLe32(out.data() + at + 12, moved[i].virtualAddress);
    StoreLe32(out.data() + at + 16, moved[i].rawSize);
    StoreLe32(out.data() + at + 20, moved[i].rawPointer);
  }
  // Data directories that point into a moved section move with it.
  for (uint32_t d = 0; d < directories_; ++d) {
    if (d == kDirCertificate || d == kDirResource) continue;
    uint32_t rva = LoadLe32(out.data() + dirAt(d));
    if (!rva) continue;
    for (size_t k = 0; k < after.size(); ++k) {
      const Section& s = sections_[after[k]];
      if (rva >= s.virtualAddress && rva < uint64_t(s.virtualAddress) + std::max(s.virtualSize, s.rawSize)) {
        if (d == kDirDebug) return problem = "the debug directory lies in a section after the resources", false;
        StoreLe32(out.data() + dirAt(d), uint32_t(int64_t(rva) + shifts[k].second));
      }
    }
  }
  StoreLe32(out.data() + dirAt(kDirResource), rsrc.virtualAddress);
  StoreLe32(out.data() + dirAt(kDirResource) + 4, moved[rsrc_].virtualSize);
  if (kDirCertificate < directories_) {
    StoreLe32(out.data() + dirAt(kDirCertificate), 0);
    StoreLe32(out.data() + dirAt(kDirCertificate) + 4, 0);
  }
  // A COFF symbol table kept after the sections moves with them.
  uint32_t symbols = LoadLe32(out.data() + peOffset_ + 4 + 8);
  if (symbols && symbols >= oldEnd) StoreLe32(out.data() + peOffset_ + 4 + 8, uint32_t(int64_t(symbols) + fileShift));

  uint64_t imageEnd = 0;
  for (const Section& s : moved)
    imageEnd = std::max(imageEnd, AlignUp(uint64_t(s.virtualAddress) + std::max(s.virtualSize, s.rawSize), sectionAlignment_));
  if (imageEnd > 0xFFFFFFFFu) return problem = "the new image would be larger than 4 GiB", false;
  plan.imageEnd = imageEnd;
  StoreLe32(out.data() + optOffset_ + kOptSizeOfImage, uint32_t(imageEnd));
  if (rsrc.characteristics & kScnInitializedData) {
    uint32_t init = LoadLe32(out.data() + optOffset_ + kOptSizeOfInitializedData);
    StoreLe32(out.data() + optOffset_ + kOptSizeOfInitializedData, uint32_t(int64_t(init) + newRaw - rsrc.rawSize));
  }
  plan.checksumField = ChecksumFieldOffset();
  StoreLe32(out.data() + plan.checksumField, 0);
  return true;
}

uint64_t Image::WrittenSize() const {
  Layout plan;
  std::string ignored;
  return Plan(plan, ignored) ? plan.total : 0;
}

uint64_t Image::WrittenImageSize() const {
  Layout plan;
  std::string ignored;
  return Plan(plan, ignored) ? plan.imageEnd : 0;
}

bool Image::WriteTo(OutputSink& target, std::string& problem) const {
  Layout plan;
  if (!Plan(plan, problem)) return false;
  ChecksumSink sink(target);
  auto failed = [&] { return problem = "cannot write the new file", false; };
  if (!sink.Put(plan.head.data(), plan.head.size()) || !sink.Put(plan.tables.data(), plan.tables.size())) return failed();
  for (const auto& [type, nameMap] : resources_) {
    for (const auto& [name, languages] : nameMap) {
      for (const auto& [language, item] : languages) {
        const uint64_t before = sink.Written();
        if (item.streamed) {
          if (!item.streamed(sink, problem)) return false;
          if (sink.Written() - before != item.streamedSize)
            return problem = "a resource gave another length than it announced", false;
        } else if (!sink.Put(item.bytes.data(), item.bytes.size())) {
          return failed();
        }
        if (!PutZeros(sink, AlignUp(item.Size(), 8) - item.Size())) return failed();
      }
    }
  }
  if (!PutZeros(sink, plan.sectionRaw - plan.tables.size() - plan.dataBytes)) return failed();
  for (const Layout::Range& r : plan.moved) {
    if (!sink.Put(file_.data() + r.from, r.length) || !PutZeros(sink, r.padded - r.length)) return failed();
  }
  if (plan.tailEnd > plan.tailStart && !sink.Put(file_.data() + plan.tailStart, plan.tailEnd - plan.tailStart))
    return failed();
  if (sink.Written() != plan.total) return problem = "the new file came out at another length than planned", false;
  uint8_t field[4];
  const uint32_t checksum = sink.Checksum();
  for (int i = 0; i < 4; ++i) field[i] = uint8_t(checksum >> (8 * i));
  if (!target.Patch(plan.checksumField, field, 4)) return failed();
  return true;
}

bool Image::Write(Bytes& out, std::string& problem) const {
  out.clear();
  VectorSink sink(out);
  return WriteTo(sink, problem);
}

void ChecksumAccumulator::Add(const uint8_t* data, size_t length) {
  size_t i = 0;
  if (length && (length_ & 1)) {
    sum_ += uint32_t(pending_) | uint32_t(data[0]) << 8;
    i = 1;
  }
  // Whole words; one's-complement sums may be folded at the end as well as at each step.
  uint64_t sum = 0;
  for (; i + 1 < length; i += 2) sum += uint32_t(data[i]) | uint32_t(data[i + 1]) << 8;
  if (i < length) pending_ = data[i];
  sum_ += sum;
  sum_ = (sum_ & 0xFFFFFFFFu) + (sum_ >> 32);
  length_ += length;
}

uint32_t ChecksumAccumulator::Finish() const {
  uint64_t sum = sum_ + ((length_ & 1) ? pending_ : 0);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return uint32_t(sum + length_);
}

size_t Image::ChecksumFieldOffset() const { return optOffset_ + kOptChecksum; }

bool FindFileVersionText(const Bytes& info, std::u16string& text) {
  VersionNode root, table, files, value;
  if (!ReadVersionNode(info, 0, info.size(), root) || !FindChild(info, root, "StringFileInfo", files)) return false;
  for (const char* language : {"040904b0", "080404b0"}) {
    if (!FindChild(info, files, language, table) || !FindChild(info, table, "FileVersion", value)) continue;
    text.clear();
    for (size_t i = 0; i < value.valueUnits; ++i) {
      char16_t c = char16_t(LoadLe16(info.data() + value.value + 2 * i));
      if (!c) break;
      text += c;
    }
    return true;
  }
  return false;
}

}  // namespace tolvane::pack::pe
