#include "tools/tolvane_pack/pe_resources.h"

#include <algorithm>
#include <cstring>

namespace tolvane::pack::pe {

namespace {

// Offsets in the headers (PE/COFF). The optional header's fields are given from its start.
constexpr uint32_t kCoffSize = 20;
constexpr uint32_t kOptMagic = 0, kOptSizeOfInitializedData = 8, kOptSectionAlignment = 32,
                   kOptFileAlignment = 36, kOptSizeOfImage = 56, kOptChecksum = 64,
                   kOptSubsystem = 68;
constexpr uint32_t kOptDirectories32 = 92, kOptDirectories64 = 108;  // NumberOfRvaAndSizes
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kDirResource = 2, kDirCertificate = 4, kDirDebug = 6;
constexpr uint32_t kScnInitializedData = 0x00000040, kScnDiscardable = 0x02000000;
constexpr uint32_t kSubdirectoryBit = 0x80000000u;

uint16_t Get16(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
uint32_t Get32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
void Put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
bool Fits(size_t size, uint64_t at, uint64_t length) { return at <= size && length <= size - at; }
uint64_t AlignUp(uint64_t v, uint64_t a) { return a ? (v + a - 1) / a * a : v; }

// Walks the directory tables of one resource section. Every offset is checked against
// the section, and the number of entries visited is bounded by the section's size, so a
// tree whose tables point at each other costs no more than the section itself.
class TreeReader {
 public:
  TreeReader(const Bytes& section, uint32_t sectionRva, ResourceTree& tree)
      : s_(section), rva_(sectionRva), tree_(tree), budget_(section.size() / 8 + 16) {}

  bool Read(std::string& problem) { return Table(0, 0, {}, {}, problem); }

 private:
  bool Key(uint32_t raw, ResourceKey& key, std::string& problem) {
    if (!(raw & kSubdirectoryBit)) {
      if (raw > 0xFFFF) return Bad("resource id above 65535", problem);
      key = ResourceKey::Id(uint16_t(raw));
      return true;
    }
    uint32_t at = raw & ~kSubdirectoryBit;
    if (!Fits(s_.size(), at, 2)) return Bad("resource name outside the section", problem);
    uint32_t units = Get16(s_, at);
    if (!Fits(s_.size(), at + 2, uint64_t(units) * 2)) return Bad("resource name outside the section", problem);
    key.named = true;
    key.name.resize(units);
    for (uint32_t i = 0; i < units; ++i) key.name[i] = char16_t(Get16(s_, at + 2 + 2 * i));
    return true;
  }

  bool Table(uint32_t at, int level, const ResourceKey& type, const ResourceKey& name, std::string& problem) {
    if (!Fits(s_.size(), at, 16)) return Bad("directory table outside the section", problem);
    uint32_t count = uint32_t(Get16(s_, at + 12)) + Get16(s_, at + 14);
    if (!Fits(s_.size(), at + 16, uint64_t(count) * 8)) return Bad("directory table outside the section", problem);
    for (uint32_t i = 0; i < count; ++i) {
      if (budget_-- == 0) return Bad("directory tables refer to each other", problem);
      uint32_t entry = at + 16 + 8 * i;
      ResourceKey key;
      if (!Key(Get32(s_, entry), key, problem)) return false;
      uint32_t target = Get32(s_, entry + 4);
      bool sub = target & kSubdirectoryBit;
      target &= ~kSubdirectoryBit;
      if (level < 2) {
        if (!sub) return Bad("data where a directory table belongs", problem);
        if (!Table(target, level + 1, level == 0 ? key : type, key, problem)) return false;
        continue;
      }
      if (sub || key.named) return Bad("language level is not a list of data entries", problem);
      if (!Fits(s_.size(), target, 16)) return Bad("data entry outside the section", problem);
      uint32_t dataRva = Get32(s_, target), size = Get32(s_, target + 4);
      if (dataRva < rva_ || !Fits(s_.size(), uint64_t(dataRva) - rva_, size))
        return Bad("resource data outside the resource section", problem);
      ResourceData& data = tree_[type][name][key.id];
      data.bytes.assign(s_.begin() + (dataRva - rva_), s_.begin() + (dataRva - rva_) + size);
      data.codePage = Get32(s_, target + 8);
    }
    return true;
  }

  static bool Bad(const char* what, std::string& problem) {
    problem = std::string("damaged resource section: ") + what;
    return false;
  }

  const Bytes& s_;
  uint32_t rva_;
  ResourceTree& tree_;
  size_t budget_;
};

// Lays out a resource tree as one section placed at `rva`: the three levels of directory
// tables, the data entries, the names, then the data, each item 8-byte aligned.
Bytes LayOut(const ResourceTree& tree, uint32_t rva) {
  auto table = [](size_t entries) { return 16 + 8 * entries; };
  size_t tables = table(tree.size()), dataEntries = 0, names = 0, data = 0;
  auto nameSize = [](const ResourceKey& k) { return k.named ? AlignUp(2 + 2 * k.name.size(), 2) : 0; };
  for (const auto& [type, nameMap] : tree) {
    tables += table(nameMap.size());
    names += nameSize(type);
    for (const auto& [name, languages] : nameMap) {
      tables += table(languages.size());
      names += nameSize(name);
      dataEntries += languages.size();
      for (const auto& [language, item] : languages) data += AlignUp(item.bytes.size(), 8);
    }
  }
  size_t entriesAt = tables, namesAt = entriesAt + 16 * dataEntries, dataAt = AlignUp(namesAt + names, 8);
  Bytes out(dataAt + data, 0);

  size_t nextTable = 0, nextEntry = entriesAt, nextName = namesAt, nextData = dataAt;
  auto startTable = [&](size_t named, size_t ids) {
    size_t at = nextTable;
    Put16(out, at + 12, uint32_t(named));
    Put16(out, at + 14, uint32_t(ids));
    nextTable += table(named + ids);
    return at;
  };
  auto putKey = [&](size_t entry, const ResourceKey& key) {
    if (!key.named) return Put32(out, entry, key.id);
    Put32(out, entry, uint32_t(nextName) | kSubdirectoryBit);
    Put16(out, nextName, uint32_t(key.name.size()));
    for (size_t i = 0; i < key.name.size(); ++i) Put16(out, nextName + 2 + 2 * i, key.name[i]);
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
    Put32(out, root + 20 + 8 * i, uint32_t(at) | kSubdirectoryBit);
    ++i;
  }
  i = 0;
  for (const auto& [type, nameMap] : tree) {
    size_t j = 0;
    for (const auto& [name, languages] : nameMap) {
      size_t at = startTable(0, languages.size());
      putKey(nameTables[i] + 16 + 8 * j, name);
      Put32(out, nameTables[i] + 20 + 8 * j, uint32_t(at) | kSubdirectoryBit);
      size_t k = 0;
      for (const auto& [language, item] : languages) {
        Put32(out, at + 16 + 8 * k, language);
        Put32(out, at + 20 + 8 * k, uint32_t(nextEntry));
        Put32(out, nextEntry, uint32_t(rva + nextData));
        Put32(out, nextEntry + 4, uint32_t(item.bytes.size()));
        Put32(out, nextEntry + 8, item.codePage);
        std::copy(item.bytes.begin(), item.bytes.end(), out.begin() + nextData);
        nextEntry += 16;
        nextData += AlignUp(item.bytes.size(), 8);
        ++k;
      }
      ++j;
    }
    ++i;
  }
  return out;
}

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
  size_t length = Get16(b, at);
  if (length < 6 || at + length > limit) return false;
  node.end = at + length;
  size_t p = at + 6;
  node.key.clear();
  for (;; p += 2) {
    if (p + 2 > node.end) return false;
    char16_t c = char16_t(Get16(b, p));
    if (!c) break;
    node.key += c;
  }
  node.value = std::min<size_t>(AlignUp(p + 2, 4), node.end);
  // Text values count their length in UTF-16 units, binary ones in bytes.
  size_t valueLength = Get16(b, at + 2), type = Get16(b, at + 4);
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
  resources_.clear();
  sections_.clear();
  const Bytes& f = file_;
  if (f.size() < 64 || f[0] != 'M' || f[1] != 'Z') return problem = "not a Windows executable (no MZ header)", false;
  peOffset_ = Get32(f, 0x3C);
  if (!Fits(f.size(), peOffset_, 4 + kCoffSize) || Get32(f, peOffset_) != 0x00004550)
    return problem = "not a PE file (no PE signature)", false;
  uint32_t coff = peOffset_ + 4;
  optOffset_ = coff + kCoffSize;
  optSize_ = Get16(f, coff + 16);
  if (!Fits(f.size(), optOffset_, optSize_) || optSize_ < 2) return problem = "truncated optional header", false;
  uint16_t magic = Get16(f, optOffset_ + kOptMagic);
  if (magic != 0x10B && magic != 0x20B) return problem = "not a PE32 file (unknown optional header)", false;
  plus_ = magic == 0x20B;
  uint32_t dirCountAt = plus_ ? kOptDirectories64 : kOptDirectories32;
  if (optSize_ < dirCountAt + 4) return problem = "truncated optional header", false;
  directories_ = std::min<uint32_t>(Get32(f, optOffset_ + dirCountAt), (optSize_ - dirCountAt - 4) / 8);
  sectionAlignment_ = Get32(f, optOffset_ + kOptSectionAlignment);
  fileAlignment_ = Get32(f, optOffset_ + kOptFileAlignment);
  if (!fileAlignment_ || !sectionAlignment_ || (fileAlignment_ & (fileAlignment_ - 1)) ||
      (sectionAlignment_ & (sectionAlignment_ - 1)))
    return problem = "bad file or section alignment", false;

  uint32_t count = Get16(f, coff + 2);
  sectionTable_ = optOffset_ + optSize_;
  if (!Fits(f.size(), sectionTable_, uint64_t(count) * kSectionHeaderSize)) return problem = "truncated section table", false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t at = sectionTable_ + i * kSectionHeaderSize;
    Section s;
    s.name.assign(reinterpret_cast<const char*>(&f[at]), strnlen(reinterpret_cast<const char*>(&f[at]), 8));
    s.virtualSize = Get32(f, at + 8);
    s.virtualAddress = Get32(f, at + 12);
    s.rawSize = Get32(f, at + 16);
    s.rawPointer = Get32(f, at + 20);
    s.characteristics = Get32(f, at + 36);
    if (s.rawSize && !Fits(f.size(), s.rawPointer, s.rawSize)) return problem = "section " + s.name + " lies beyond the end of the file", false;
    sections_.push_back(s);
  }
  auto directory = [&](uint32_t index, uint32_t& rva, uint32_t& size) {
    rva = size = 0;
    if (index >= directories_) return;
    uint32_t at = optOffset_ + dirCountAt + 4 + 8 * index;
    rva = Get32(f, at);
    size = Get32(f, at + 4);
  };
  directory(kDirCertificate, certOffset_, certSize_);
  if (certSize_ && !Fits(f.size(), certOffset_, certSize_)) return problem = "certificate table beyond the end of the file", false;
  uint32_t rsrcRva = 0, rsrcSize = 0;
  directory(kDirResource, rsrcRva, rsrcSize);
  if (!rsrcRva) return problem = "has no resource section", false;
  rsrc_ = sections_.size();
  for (size_t i = 0; i < sections_.size(); ++i)
    if (sections_[i].virtualAddress == rsrcRva) rsrc_ = i;
  if (rsrc_ == sections_.size()) return problem = "the resource directory does not start a section", false;
  return ParseResources(problem);
}

bool Image::ParseResources(std::string& problem) {
  const Section& s = sections_[rsrc_];
  uint32_t size = std::min(s.rawSize, s.virtualSize ? s.virtualSize : s.rawSize);
  Bytes section(file_.begin() + s.rawPointer, file_.begin() + s.rawPointer + size);
  TreeReader reader(section, s.virtualAddress, resources_);
  return reader.Read(problem);
}

uint16_t Image::Machine() const { return Get16(file_, peOffset_ + 4); }
uint16_t Image::Subsystem() const { return Get16(file_, optOffset_ + kOptSubsystem); }
uint32_t Image::StoredChecksum() const { return Get32(file_, optOffset_ + kOptChecksum); }

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

bool Image::Write(Bytes& out, std::string& problem) const {
  if (plus_) return problem = "a PE32+ (64-bit) file cannot be the stub", false;
  const Section& rsrc = sections_[rsrc_];
  uint32_t dirCountAt = kOptDirectories32;
  auto dirAt = [&](uint32_t index) { return optOffset_ + dirCountAt + 4 + 8 * index; };

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

  Bytes section = LayOut(resources_, rsrc.virtualAddress);
  const uint32_t used = uint32_t(section.size());
  uint32_t newRaw = uint32_t(AlignUp(used, fileAlignment_));
  section.resize(newRaw, 0);

  // The file: everything before the resource data, the new section, the moved sections,
  // then whatever lay after the last section (not the signature, which no longer holds).
  uint64_t oldEnd = rsrcRawEnd;
  for (size_t i : after) oldEnd = std::max<uint64_t>(oldEnd, uint64_t(sections_[i].rawPointer) + sections_[i].rawSize);
  out.assign(file_.begin(), file_.begin() + rsrc.rawPointer);
  out.insert(out.end(), section.begin(), section.end());
  std::vector<Section> moved = sections_;
  moved[rsrc_].virtualSize = used;
  moved[rsrc_].rawSize = newRaw;
  uint64_t nextVa = AlignUp(uint64_t(rsrc.virtualAddress) + moved[rsrc_].virtualSize, sectionAlignment_);
  std::vector<std::pair<uint32_t, int64_t>> shifts;  // old VA start, shift
  for (size_t i : after) {
    const Section& s = sections_[i];
    Section& m = moved[i];
    m.virtualAddress = uint32_t(nextVa);
    shifts.push_back({s.virtualAddress, int64_t(m.virtualAddress) - int64_t(s.virtualAddress)});
    nextVa = AlignUp(nextVa + std::max(s.virtualSize, s.rawSize), sectionAlignment_);
    if (s.rawSize) {
      m.rawPointer = uint32_t(out.size());
      out.insert(out.end(), file_.begin() + s.rawPointer, file_.begin() + s.rawPointer + s.rawSize);
      out.resize(AlignUp(out.size(), fileAlignment_), 0);
    }
  }
  if (out.size() > 0xFFFFFFFFu) return problem = "the new file would be larger than 4 GiB", false;
  uint64_t tailStart = oldEnd, tailEnd = file_.size();
  if (certSize_ && uint64_t(certOffset_) + certSize_ == file_.size() && certOffset_ >= oldEnd) tailEnd = certOffset_;
  int64_t fileShift = int64_t(out.size()) - int64_t(oldEnd);
  if (tailEnd > tailStart) out.insert(out.end(), file_.begin() + tailStart, file_.begin() + tailEnd);

  for (size_t i = 0; i < moved.size(); ++i) {
    uint32_t at = sectionTable_ + uint32_t(i) * kSectionHeaderSize;
    Put32(out, at + 8, moved[i].virtualSize);
    Put32(out, at + 12, moved[i].virtualAddress);
    Put32(out, at + 16, moved[i].rawSize);
    Put32(out, at + 20, moved[i].rawPointer);
  }
  // Data directories that point into a moved section move with it.
  for (uint32_t d = 0; d < directories_; ++d) {
    if (d == kDirCertificate || d == kDirResource) continue;
    uint32_t rva = Get32(out, dirAt(d));
    if (!rva) continue;
    for (size_t k = 0; k < after.size(); ++k) {
      const Section& s = sections_[after[k]];
      if (rva >= s.virtualAddress && rva < uint64_t(s.virtualAddress) + std::max(s.virtualSize, s.rawSize)) {
        if (d == kDirDebug) return problem = "the debug directory lies in a section after the resources", false;
        Put32(out, dirAt(d), uint32_t(int64_t(rva) + shifts[k].second));
      }
    }
  }
  Put32(out, dirAt(kDirResource), rsrc.virtualAddress);
  Put32(out, dirAt(kDirResource) + 4, moved[rsrc_].virtualSize);
  if (kDirCertificate < directories_) {
    Put32(out, dirAt(kDirCertificate), 0);
    Put32(out, dirAt(kDirCertificate) + 4, 0);
  }
  // A COFF symbol table kept after the sections moves with them.
  uint32_t symbols = Get32(out, peOffset_ + 4 + 8);
  if (symbols && symbols >= oldEnd) Put32(out, peOffset_ + 4 + 8, uint32_t(int64_t(symbols) + fileShift));

  uint64_t imageEnd = 0;
  for (const Section& s : moved)
    imageEnd = std::max(imageEnd, AlignUp(uint64_t(s.virtualAddress) + std::max(s.virtualSize, s.rawSize), sectionAlignment_));
  Put32(out, optOffset_ + kOptSizeOfImage, uint32_t(imageEnd));
  if (rsrc.characteristics & kScnInitializedData) {
    uint32_t init = Get32(out, optOffset_ + kOptSizeOfInitializedData);
    Put32(out, optOffset_ + kOptSizeOfInitializedData, uint32_t(int64_t(init) + newRaw - rsrc.rawSize));
  }
  Put32(out, optOffset_ + kOptChecksum, Checksum(out, optOffset_ + kOptChecksum));
  return true;
}

size_t ChecksumFieldOffset(const Image& image) {
  return Get32(image.File(), 0x3C) + 4 + kCoffSize + kOptChecksum;
}

uint32_t Checksum(const Bytes& file, size_t field) {
  uint64_t sum = 0;
  for (size_t i = 0; i < file.size(); i += 2) {
    if (i == field || i == field + 2) continue;
    uint32_t word = file[i] | (i + 1 < file.size() ? file[i + 1] << 8 : 0);
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return uint32_t(sum + file.size());
}

bool FindFileVersionText(const Bytes& info, std::u16string& text) {
  VersionNode root, table, files, value;
  if (!ReadVersionNode(info, 0, info.size(), root) || !FindChild(info, root, "StringFileInfo", files)) return false;
  for (const char* language : {"040904b0", "080404b0"}) {
    if (!FindChild(info, files, language, table) || !FindChild(info, table, "FileVersion", value)) continue;
    text.clear();
    for (size_t i = 0; i < value.valueUnits; ++i) {
      char16_t c = char16_t(Get16(info, value.value + 2 * i));
      if (!c) break;
      text += c;
    }
    return true;
  }
  return false;
}

uint16_t VersionNumberOf(const std::u16string& text) {
  // As "%d, %d, %d, %d" reads it: blanks before a number are skipped, a comma must follow
  // directly, and the first number that does not parse ends the reading.
  int32_t numbers[4] = {0, 0, 0, 0};
  size_t p = 0;
  auto space = [&] {
    while (p < text.size() && (text[p] == u' ' || (text[p] >= u'\t' && text[p] <= u'\r'))) ++p;
  };
  for (int n = 0; n < 4; ++n) {
    if (n > 0) {
      if (p >= text.size() || text[p] != u',') break;
      ++p;
    }
    space();
    bool negative = false;
    if (p < text.size() && (text[p] == u'-' || text[p] == u'+')) negative = text[p++] == u'-';
    if (p >= text.size() || text[p] < u'0' || text[p] > u'9') break;
    // A number beyond the int range is clamped to it, as the installer's runtime does.
    const uint64_t limit = negative ? 0x80000000u : 0x7FFFFFFFu;
    uint64_t value = 0;
    while (p < text.size() && text[p] >= u'0' && text[p] <= u'9') {
      value = value * 10 + uint64_t(text[p++] - u'0');
      if (value > limit) value = limit + 1;
    }
    if (value > limit) value = limit;
    numbers[n] = int32_t(negative ? -int64_t(value) : int64_t(value));
  }
  return uint16_t(uint32_t(numbers[0]) * 256u + uint32_t(numbers[2]));
}

}  // namespace tolvane::pack::pe
