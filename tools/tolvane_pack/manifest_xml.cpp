#include "tools/tolvane_pack/manifest_xml.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#include <shlwapi.h>
#include <xmllite.h>

#include "common/utf8.h"
#else
#include <expat.h>
#endif

namespace tolvane::pack::pe {

namespace {

// What both parsers report, gathered the same way: text counts while its element is the
// last one started and not yet ended.
class Gatherer {
 public:
  void Start(std::string name) {
    elements_.push_back({std::move(name), {}, {}});
    open_ = true;
  }
  void Attribute(std::string name, std::string value) { elements_.back().attributes[std::move(name)] = std::move(value); }
  void End() { open_ = false; }
  void Text(const char* text, size_t length) {
    if (open_) elements_.back().text.append(text, length);
  }
  std::vector<XmlElement> Take() {
    for (XmlElement& e : elements_) {
      const size_t begin = e.text.find_first_not_of(" \t\r\n"), end = e.text.find_last_not_of(" \t\r\n");
      e.text = begin == std::string::npos ? std::string() : e.text.substr(begin, end - begin + 1);
    }
    return std::move(elements_);
  }

 private:
  std::vector<XmlElement> elements_;
  bool open_ = false;
};

#ifdef _WIN32

std::string Utf8(const WCHAR* text, UINT length) {
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

// Owner of one COM interface pointer.
template <typename T>
class ComPtr {
 public:
  ~ComPtr() {
    if (p_) p_->Release();
  }
  T** Put() { return &p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

using CreateXmlReaderFunction = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);

void Read(const std::vector<uint8_t>& document, Gatherer& out) {
  // xmllite.dll is part of Windows; taken from the system folder only.
  static HMODULE library = LoadLibraryExW(L"xmllite.dll", nullptr, 0x00000800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */);
  if (!library) library = LoadLibraryW(L"xmllite.dll");
  if (!library) return;
  auto create = reinterpret_cast<CreateXmlReaderFunction>(
      reinterpret_cast<void*>(GetProcAddress(library, "CreateXmlReader")));
  ComPtr<IXmlReader> reader;
  ComPtr<IStream> stream;
  if (!create || FAILED(create(__uuidof(IXmlReader), reinterpret_cast<void**>(reader.Put()), nullptr))) return;
  *stream.Put() = SHCreateMemStream(document.data(), UINT(document.size()));
  if (!stream || FAILED(reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit)) ||
      FAILED(reader->SetInput(reinterpret_cast<IUnknown*>(stream.operator->()))))
    return;
  XmlNodeType type;
  while (reader->Read(&type) == S_OK) {
    const WCHAR* text = nullptr;
    UINT length = 0;
    if (type == XmlNodeType_Element) {
      const bool empty = reader->IsEmptyElement();
      reader->GetLocalName(&text, &length);
      out.Start(Utf8(text, length));
      for (HRESULT hr = reader->MoveToFirstAttribute(); hr == S_OK; hr = reader->MoveToNextAttribute()) {
        if (reader->IsDefault()) continue;
        const WCHAR* value = nullptr;
        UINT valueLength = 0;
        reader->GetLocalName(&text, &length);
        std::string name = Utf8(text, length);
        reader->GetValue(&value, &valueLength);
        out.Attribute(std::move(name), Utf8(value, valueLength));
      }
      if (empty) out.End();
    } else if (type == XmlNodeType_EndElement) {
      out.End();
    } else if (type == XmlNodeType_Text || type == XmlNodeType_Whitespace || type == XmlNodeType_CDATA) {
      reader->GetValue(&text, &length);
      std::string utf8 = Utf8(text, length);
      out.Text(utf8.data(), utf8.size());
    }
  }
}

#else

// Names come as "namespace|local" (or bare): the part after the separator.
const char* Local(const XML_Char* name) {
  const char* bar = std::strrchr(name, '|');
  return bar ? bar + 1 : name;
}

void Read(const std::vector<uint8_t>& document, Gatherer& out) {
  XML_Parser parser = XML_ParserCreateNS(nullptr, '|');
  if (!parser) return;
  XML_SetUserData(parser, &out);
  XML_SetElementHandler(
      parser,
      [](void* data, const XML_Char* name, const XML_Char** attributes) {
        Gatherer& g = *static_cast<Gatherer*>(data);
        g.Start(Local(name));
        for (size_t i = 0; attributes[i]; i += 2) g.Attribute(Local(attributes[i]), attributes[i + 1]);
      },
      [](void* data, const XML_Char*) { static_cast<Gatherer*>(data)->End(); });
  XML_SetCharacterDataHandler(parser, [](void* data, const XML_Char* text, int length) {
    static_cast<Gatherer*>(data)->Text(text, size_t(length));
  });
  // A fault ends the reading; what was read before it stays.
  XML_Parse(parser, reinterpret_cast<const char*>(document.data()), int(document.size()), 1);
  XML_ParserFree(parser);
}

#endif

}  // namespace

std::vector<XmlElement> ReadXmlElements(const std::vector<uint8_t>& document) {
  Gatherer gatherer;
  if (document.size() < (1u << 24)) Read(document, gatherer);
  return gatherer.Take();
}

}  // namespace tolvane::pack::pe
