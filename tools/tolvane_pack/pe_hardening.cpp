#include "tools/tolvane_pack/pe_hardening.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>

#include "common/little_endian.h"
#include "tools/tolvane_pack/manifest_xml.h"

namespace tolvane::pack::pe {

namespace {

constexpr uint16_t kRtManifest = 24;
constexpr uint32_t kDirImport = 1, kDirLoadConfig = 10, kDirDelayImport = 13;
constexpr uint16_t kDynamicBase = 0x0040, kNxCompat = 0x0100, kTerminalServerAware = 0x8000;
// DependentLoadFlags: after CSDVersion, at 54 in IMAGE_LOAD_CONFIG_DIRECTORY32 and at 78
// in the 64-bit layout.
constexpr uint32_t kDependentLoadFlags32 = 54, kDependentLoadFlags64 = 78;
// Tables are read up to these counts, whatever a damaged file claims.
constexpr size_t kMaxDescriptors = 4096, kMaxNameLength = 260;

// KnownDLLs that Windows 7, 8, 8.1, 10 and 11 all list, and ntdll, which is always loaded.
constexpr const char* kKnownDlls[] = {
    "advapi32", "clbcatq", "comdlg32", "difxapi", "gdi32",  "imagehlp", "imm32",   "kernel32", "msctf",
    "msvcrt",   "normaliz", "nsi",     "ntdll",   "ole32",  "oleaut32", "psapi",   "rpcrt4",   "sechost",
    "setupapi", "shell32",  "shlwapi", "user32",  "wldap32", "ws2_32",
};

constexpr struct {
  const char* id;
  const char* name;
} kWindowsVersions[] = {
    {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "Vista"}, {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "7"},
    {"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "8"},     {"{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "8.1"},
    {"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", "10/11"},
};

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  size_t begin = s.find_first_not_of(" \t\r\n"), end = s.find_last_not_of(" \t\r\n");
  return begin == std::string::npos ? std::string() : s.substr(begin, end - begin + 1);
}

// A DLL name: NUL-ended text at an RVA, within one section.
bool NameAt(const Image& image, uint64_t rva, std::string& name) {
  uint64_t rest = 0;
  const uint8_t* p = image.At(rva, 1, &rest);
  if (!p) return false;
  name.clear();
  uint64_t i = 0;
  while (i < rest && p[i] != 0 && name.size() < kMaxNameLength) name += char(p[i++]);
  return i < rest && p[i] == 0 && !name.empty();
}

// Walks an import table (descriptor size, name field offset) until its all-zero end.
void ReadImportNames(const Image& image, uint32_t directory, uint32_t descriptorSize, uint32_t nameField,
                     bool delayed, Hardening& out) {
  uint32_t rva = 0, size = 0;
  image.Directory(directory, rva, size);
  if (!rva) return;
  const char* table = delayed ? "delay-import table" : "import table";
  for (size_t i = 0; i < kMaxDescriptors; ++i) {
    const uint8_t* at = image.At(uint64_t(rva) + i * descriptorSize, descriptorSize);
    if (!at) {
      out.problems.push_back(std::string("the ") + table + " lies outside the file's sections");
      return;
    }
    bool zero = true;
    for (uint32_t b = 0; b < descriptorSize; b += 4) zero &= LoadLe32(at + b) == 0;
    if (zero) return;
    uint64_t nameRva = LoadLe32(at + nameField);
    // Old delay-import descriptors (attribute bit 0 clear) hold addresses, not RVAs.
    if (delayed && !(LoadLe32(at) & 1)) nameRva -= std::min<uint64_t>(nameRva, image.ImageBase());
    std::string name;
    if (!NameAt(image, nameRva, name)) {
      out.problems.push_back(std::string("a DLL name of the ") + table + " cannot be read");
      continue;
    }
    out.imports.push_back(name);
  }
  out.problems.push_back(std::string("the ") + table + " does not end");
}

std::string BaseName(const std::string& dll) {
  std::string base = Lower(dll);
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".dll") == 0) base.resize(base.size() - 4);
  return base;
}

// What Windows looks for beside the program: neither a KnownDLL nor an API set, and not
// comctl32 bound side by side.
bool SearchedBesideProgram(const std::string& dll, bool commonControls6) {
  const std::string base = BaseName(dll);
  if (base.rfind("api-ms-win-", 0) == 0 || base.rfind("ext-ms-", 0) == 0) return false;
  if (base == "comctl32") return !commonControls6;
  return !IsKnownDll(base);
}

// dpiAwareness (Windows 10 1607 and later) is a list whose first known value counts and
// overrides dpiAware; dpiAware "true" is system-aware, "true/pm" and "per monitor" are
// per-monitor.
std::string DpiAwareness(const std::string& dpiAware, const std::string& dpiAwareness) {
  size_t start = 0;
  const std::string list = Lower(dpiAwareness);
  while (start <= list.size() && !list.empty()) {
    size_t comma = list.find(',', start);
    const std::string value = Trim(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (value == "permonitorv2") return "per-monitor v2";
    if (value == "permonitor") return "per-monitor";
    if (value == "system") return "system";
    if (value == "unaware") return "unaware";
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  const std::string aware = Lower(Trim(dpiAware));
  if (aware == "true") return "system";
  if (aware == "true/pm" || aware == "per monitor") return "per-monitor";
  return "unaware";
}

void ReadManifest(const Image& image, Hardening& out) {
  const ResourceData* manifest = image.Find(kRtManifest, 1);
  if (!manifest) return;
  out.manifest = true;
  std::string dpiAware, dpiAwareness;
  for (const XmlElement& e : ReadXmlElements(manifest->bytes)) {
    auto attribute = [&](const char* name) {
      auto it = e.attributes.find(name);
      return it == e.attributes.end() ? std::string() : it->second;
    };
    if (e.name == "requestedExecutionLevel") {
      out.executionLevel = attribute("level");
    } else if (e.name == "assemblyIdentity") {
      if (Lower(attribute("name")) == "microsoft.windows.common-controls" && attribute("version").rfind("6.", 0) == 0)
        out.commonControls6 = true;
    } else if (e.name == "supportedOS") {
      const std::string id = Lower(Trim(attribute("Id")));
      std::string name = attribute("Id");
      for (const auto& v : kWindowsVersions)
        if (id == v.id) name = v.name;
      out.supportedOs.push_back(name);
    } else if (e.name == "dpiAware") {
      dpiAware = e.text;
    } else if (e.name == "dpiAwareness") {
      dpiAwareness = e.text;
    }
  }
  out.dpiAwareness = DpiAwareness(dpiAware, dpiAwareness);
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
  std::string s;
  for (size_t i = 0; i < items.size(); ++i) s += (i ? separator : "") + items[i];
  return s;
}

std::string Hex16(uint16_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", v);
  return text;
}

}  // namespace

bool IsKnownDll(const std::string& dll) {
  const std::string base = BaseName(dll);
  return std::any_of(std::begin(kKnownDlls), std::end(kKnownDlls), [&](const char* k) { return base == k; });
}

Hardening AnalyseHardening(const Image& image) {
  Hardening out;
  ReadManifest(image, out);

  ReadImportNames(image, kDirImport, 20, 12, false, out);       // IMAGE_IMPORT_DESCRIPTOR: Name at 12
  ReadImportNames(image, kDirDelayImport, 32, 4, true, out);    // delay-load descriptor: DllNameRVA at 4
  for (const std::string& dll : out.imports)
    if (SearchedBesideProgram(dll, out.commonControls6) &&
        std::find(out.outsideKnownDlls.begin(), out.outsideKnownDlls.end(), dll) == out.outsideKnownDlls.end())
      out.outsideKnownDlls.push_back(dll);

  uint32_t rva = 0, size = 0;
  image.Directory(kDirLoadConfig, rva, size);
  if (rva && size >= 4) {
    const uint8_t* config = image.At(rva, 4);
    if (!config) {
      out.problems.push_back("the load configuration lies outside the file's sections");
    } else {
      out.loadConfig = true;
      // The structure's own Size says which fields it has.
      const uint32_t fieldAt = image.IsPe32Plus() ? kDependentLoadFlags64 : kDependentLoadFlags32;
      const uint8_t* flags = LoadLe32(config) >= fieldAt + 2 ? image.At(uint64_t(rva) + fieldAt, 2) : nullptr;
      if (flags) out.dependentLoadFlags = LoadLe16(flags);
    }
  }

  const uint16_t characteristics = image.DllCharacteristics();
  out.dynamicBase = characteristics & kDynamicBase;
  out.nxCompat = characteristics & kNxCompat;
  out.terminalServerAware = characteristics & kTerminalServerAware;
  return out;
}

void HardeningFaults(const Hardening& h, const std::string& file, std::vector<std::string>& faults) {
  for (const std::string& problem : h.problems) faults.push_back(file + ": " + problem);
  for (const std::string& dll : h.outsideKnownDlls)
    faults.push_back(file + ": imports " + dll +
                     ", which Windows looks for in the program's own folder first (not a KnownDLL)");
  if (!(h.dependentLoadFlags & kLoadLibrarySearchSystem32))
    faults.push_back(file + ": the load configuration has no DependentLoadFlags LOAD_LIBRARY_SEARCH_SYSTEM32" +
                     " (the imports of its imports may come from its own folder)");
  if (!h.dynamicBase) faults.push_back(file + ": the header lacks DYNAMIC_BASE (no address space layout randomisation)");
  if (!h.nxCompat) faults.push_back(file + ": the header lacks NX_COMPAT (no data execution prevention)");
  if (!h.terminalServerAware) faults.push_back(file + ": the header lacks TERMINAL_SERVER_AWARE");
  if (!h.manifest) return faults.push_back(file + ": carries no application manifest (RT_MANIFEST 1)");
  if (h.executionLevel != "requireAdministrator")
    faults.push_back(file + ": the manifest requests execution level \"" + h.executionLevel +
                     "\", not requireAdministrator");
  if (std::find(h.supportedOs.begin(), h.supportedOs.end(), "10/11") == h.supportedOs.end())
    faults.push_back(file + ": the manifest does not declare Windows 10/11 in supportedOS");
  if (h.dpiAwareness == "unaware")
    faults.push_back(file + ": the manifest declares no DPI awareness (Windows stretches the wizard, blurred)");
}

std::string HardeningText(const Hardening& h) {
  std::string flags;
  auto add = [&](bool on, const char* name) { flags += std::string(flags.empty() ? "" : ", ") + (on ? "" : "no ") + name; };
  add(h.dynamicBase, "DYNAMIC_BASE");
  add(h.nxCompat, "NX_COMPAT");
  add(h.terminalServerAware, "TERMINAL_SERVER_AWARE");
  std::string t;
  t += "imports: " + (h.imports.empty() ? std::string("none") : Join(h.imports, ", ")) + "\n";
  t += "imports outside the KnownDLLs: " +
       (h.outsideKnownDlls.empty() ? std::string("none") : Join(h.outsideKnownDlls, ", ")) + "\n";
  t += "DependentLoadFlags: " +
       (h.loadConfig ? Hex16(h.dependentLoadFlags) +
                           (h.dependentLoadFlags & kLoadLibrarySearchSystem32 ? " (system folder)" : "")
                     : std::string("none (no load configuration)")) +
       "\n";
  t += "header: " + flags + "\n";
  if (!h.manifest) return t + "manifest: none\n";
  t += "manifest: execution level " + (h.executionLevel.empty() ? std::string("none") : h.executionLevel) +
       ", common controls " + (h.commonControls6 ? "6" : "default") + ", supportedOS " +
       (h.supportedOs.empty() ? std::string("none") : Join(h.supportedOs, " ")) + ", DPI " + h.dpiAwareness + "\n";
  return t;
}

void AddHardeningJson(const Hardening& h, nlohmann::ordered_json& j) {
  j["imports"] = h.imports;
  j["imports_outside_known_dlls"] = h.outsideKnownDlls;
  j["load_config"] = h.loadConfig;
  j["dependent_load_flags"] = h.dependentLoadFlags;
  j["dynamic_base"] = h.dynamicBase;
  j["nx_compat"] = h.nxCompat;
  j["terminal_server_aware"] = h.terminalServerAware;
  j["execution_level"] = h.executionLevel;
  j["common_controls_6"] = h.commonControls6;
  j["supported_os"] = h.supportedOs;
  j["dpi_awareness"] = h.dpiAwareness;
}

}  // namespace tolvane::pack::pe
