// Reading and rewriting the resources of a 32-bit Windows executable (PE32), in portable
// C++: the packaging tool writes setup.exe on any machine, without the Windows API.
//
// The resource section (data directory 2) starts with a tree of directory tables: type,
// then name, then language; each language entry points to a data entry (RVA, size, code
// page) whose bytes lie in the same section. A rewrite lays the tree and the data out
// afresh in that section and fixes what depends on its size: the section's virtual and
// raw sizes (section and file alignment), SizeOfImage, SizeOfInitializedData, the
// resource data directory and the checksum. The resource section must be the last one
// that the program uses; sections after it may only be discardable ones (relocations, a
// debug link), which move with their RVAs and data directory entries. An Authenticode
// signature cannot survive a rewrite and is dropped.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tolvane::pack::pe {

using Bytes = std::vector<uint8_t>;

// Where a written file goes, front to back; Patch rewrites bytes already put (the
// checksum field, known only at the end).
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual bool Put(const uint8_t* data, size_t length) = 0;
  virtual bool Patch(uint64_t offset, const uint8_t* data, size_t length) = 0;
};

// The header checksum of a file taken piece by piece, the checksum field read as zero
// (the caller puts zeros there): the 16-bit one's-complement sum of its words plus its
// length.
class ChecksumAccumulator {
 public:
  void Add(const uint8_t* data, size_t length);
  uint32_t Finish() const;

 private:
  uint64_t sum_ = 0, length_ = 0;
  uint8_t pending_ = 0;  // the low byte of a word split between two pieces
};

// A type or name in the resource tree: a number, or a string (stored as UTF-16).
struct ResourceKey {
  bool named = false;
  uint16_t id = 0;
  std::u16string name;

  static ResourceKey Id(uint16_t id) { return {false, id, {}}; }
};
// Names before numbers, as the directory tables store them; names by code unit.
bool operator<(const ResourceKey& a, const ResourceKey& b);
bool operator==(const ResourceKey& a, const ResourceKey& b);

struct ResourceData {
  Bytes bytes;
  uint32_t codePage = 0;
  // A resource too large to hold: `streamedSize` bytes that `streamed` puts into the
  // sink when the file is written (bytes stays empty).
  uint32_t streamedSize = 0;
  std::function<bool(OutputSink& sink, std::string& problem)> streamed;

  // Read with ParseFile: where the data lies in the file, and whether it was left there
  // (streamedSize bytes, bytes empty).
  bool external = false;
  uint64_t fileOffset = 0;

  uint64_t Size() const { return streamed || external ? streamedSize : bytes.size(); }
};

using LanguageMap = std::map<uint16_t, ResourceData>;
using NameMap = std::map<ResourceKey, LanguageMap>;
using ResourceTree = std::map<ResourceKey, NameMap>;

constexpr uint16_t kRtBitmap = 2;
constexpr uint16_t kRtRcdata = 10;
constexpr uint16_t kRtVersion = 16;

struct Section {
  std::string name;
  uint32_t virtualSize = 0, virtualAddress = 0, rawSize = 0, rawPointer = 0, characteristics = 0;
};

// A parsed executable. Parse keeps the file's bytes; Write builds a new file from them
// with the current Resources().
class Image {
 public:
  // problem: a short reason without the path ("not a PE32 file", ...). PE32+ files are
  // read (for their resources) but cannot be written.
  bool Parse(Bytes file, std::string& problem);
  // Reads an executable too large to hold: its headers, every section but the resources,
  // and the resource data of up to inlineLimit bytes; larger data stays in the file
  // (ResourceData::external). Such an image cannot be written.
  bool ParseFile(const std::filesystem::path& path, uint32_t inlineLimit, std::string& problem);
  // Reads only the headers of a file, which need not have resources: whether it is a PE
  // file at all (an MZ header pointing at the PE signature) and where its certificate
  // table lies. Nothing but the header queries may be used after it.
  bool ParseHeadersOfFile(const std::filesystem::path& path, std::string& problem);
  bool Write(Bytes& out, std::string& problem) const;
  // As Write, front to back into sink, the checksum patched in at the end: a resource
  // given as `streamed` is never held in memory.
  bool WriteTo(OutputSink& sink, std::string& problem) const;
  // The size of the file Write would make; 0 when it cannot be written.
  uint64_t WrittenSize() const;
  // The SizeOfImage Write would give: the address space the loader maps.
  uint64_t WrittenImageSize() const;

  ResourceTree& Resources() { return resources_; }
  const ResourceTree& Resources() const { return resources_; }
  // The data of type/name in its first language; nullptr when absent.
  const ResourceData* Find(uint16_t type, uint16_t name) const;
  // Replaces every language of type/name with one entry; a new name gets `language`, an
  // existing one keeps its first language.
  void Put(uint16_t type, uint16_t name, Bytes bytes, uint16_t language);
  void PutStreamed(uint16_t type, uint16_t name, uint32_t size,
                   std::function<bool(OutputSink&, std::string&)> write, uint16_t language);
  void Remove(uint16_t type, uint16_t name);

  // The whole file after Parse; only its headers after ParseFile.
  const Bytes& File() const { return file_; }
  uint64_t FileSize() const { return fileSize_; }
  // The raw data of section i; null when it has none or was left in the file.
  const uint8_t* SectionBytes(size_t i) const;
  // SizeOfImage: what the loader maps.
  uint32_t ImageSize() const;
  const std::vector<Section>& Sections() const { return sections_; }
  size_t ResourceSectionIndex() const { return rsrc_; }
  bool IsPe32Plus() const { return plus_; }
  uint16_t Machine() const;
  uint16_t Subsystem() const;
  uint32_t StoredChecksum() const;
  // Where the checksum field lies in the file.
  size_t ChecksumFieldOffset() const;
  uint64_t ImageBase() const;
  uint16_t DllCharacteristics() const;
  // Data directory `index` (RVA and size); zeros when the header has no such entry.
  void Directory(uint32_t index, uint32_t& rva, uint32_t& size) const;
  // `length` bytes at an RVA, with how many follow in the same section (rest); null
  // outside the sections' data (and inside the resources of an image read with ParseFile).
  const uint8_t* At(uint64_t rva, uint64_t length, uint64_t* rest = nullptr) const;
  // The certificate table (data directory 4) as a file range; size 0 when unsigned.
  uint32_t CertificateOffset() const { return certOffset_; }
  uint32_t CertificateSize() const { return certSize_; }

 private:
  bool ParseHeaders(std::string& problem, uint64_t* more = nullptr);
  bool ParseResources(std::string& problem);
  struct Layout;
  bool Plan(Layout& layout, std::string& problem) const;

  Bytes file_;
  uint64_t fileSize_ = 0;
  bool fromFile_ = false;
  bool headersOnly_ = false;
  std::vector<Bytes> sectionBytes_;  // after ParseFile
  bool plus_ = false;
  uint32_t peOffset_ = 0, optOffset_ = 0, optSize_ = 0, sectionTable_ = 0;
  uint32_t fileAlignment_ = 0, sectionAlignment_ = 0, directories_ = 0, directoryTable_ = 0;
  uint32_t certOffset_ = 0, certSize_ = 0;
  std::vector<Section> sections_;
  size_t rsrc_ = 0;
  ResourceTree resources_;
};

// The "FileVersion" text of a VS_VERSIONINFO block, looked up in the string tables
// 040904b0 (U.S. English) and then 080404b0 (Simplified Chinese), keys compared without
// case as the version API does. False when neither table has it.
bool FindFileVersionText(const Bytes& versionInfo, std::u16string& text);
}  // namespace tolvane::pack::pe
