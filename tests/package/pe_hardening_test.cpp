// inspect's hardening report on small executables made here: their import and
// delay-import tables, load configuration, header flags and manifest are chosen by the
// test, so each rule is seen to pass and to fail.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/tolvane_pack/pe_hardening.h"
#include "tools/tolvane_pack/pe_resources.h"

namespace tolvane::pack::pe {
namespace {

namespace fs = std::filesystem;

constexpr char kHardenedManifest[] = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <dependency><dependentAssembly>
    <assemblyIdentity type="win32" name="Microsoft.Windows.Common-Controls" version="6.0.0.0"
                      processorArchitecture="x86" publicKeyToken="6595b64144ccf1df" language="*"/>
  </dependentAssembly></dependency>
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges>
    <requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>
  </requestedPrivileges></security></trustInfo>
  <compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1"><application>
    <supportedOS Id="{e2011457-1546-43c5-a5fe-008deee3d3f0}"/>
    <supportedOS Id="{8E0F7A12-BFB3-4FE8-B9A5-48FD50A15A9A}"/>
  </application></compatibility>
  <application xmlns="urn:schemas-microsoft-com:asm.v3"><windowsSettings>
    <dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>
  </windowsSettings></application>
</assembly>)";

struct StubSpec {
  std::vector<std::string> imports = {"KERNEL32.dll", "USER32.dll", "COMCTL32.DLL", "msvcrt.dll"};
  std::vector<std::string> delayImports;
  bool loadConfig = true;
  uint16_t dependentLoadFlags = kLoadLibrarySearchSystem32;
  uint16_t dllCharacteristics = 0x8140;  // TERMINAL_SERVER_AWARE, NX_COMPAT, DYNAMIC_BASE
  std::string manifest = kHardenedManifest;
};

void Put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

// A PE32 file with a .rdata section (import tables, load configuration, names) at RVA
// 0x1000 and a resource section at 0x2000 that holds the manifest.
Bytes CraftStub(const StubSpec& spec) {
  constexpr uint32_t kOpt = 0x58, kDirs = kOpt + 96, kSections = kOpt + 224;
  constexpr uint32_t kRdata = 0x200, kRsrc = 0x400, kRdataRva = 0x1000, kRsrcRva = 0x2000;
  constexpr uint32_t kImports = 0x00, kDelay = 0x80, kLoadConfig = 0xE0, kNames = 0x120;
  Bytes f(0x600, 0);
  f[0] = 'M', f[1] = 'Z';
  Put32(f, 0x3C, 0x40);
  Put32(f, 0x40, 0x00004550);
  Put16(f, 0x44, 0x14C);         // i386
  Put16(f, 0x46, 2);             // sections
  Put16(f, 0x54, 224);           // optional header size
  Put16(f, 0x56, 0x0102);        // executable, 32-bit
  Put16(f, kOpt, 0x10B);
  Put32(f, kOpt + 16, kRdataRva);  // entry point
  Put32(f, kOpt + 28, 0x400000);   // image base
  Put32(f, kOpt + 32, 0x1000);
  Put32(f, kOpt + 36, 0x200);
  Put16(f, kOpt + 40, 6);
  Put16(f, kOpt + 48, 6);
  Put32(f, kOpt + 56, 0x3000);
  Put32(f, kOpt + 60, 0x200);
  Put16(f, kOpt + 68, 2);  // GUI
  Put16(f, kOpt + 70, spec.dllCharacteristics);
  Put32(f, kOpt + 92, 16);
  auto section = [&](int i, const char* name, uint32_t rva, uint32_t raw) {
    const uint32_t at = kSections + 40 * i;
    for (int c = 0; name[c]; ++c) f[at + c] = uint8_t(name[c]);
    Put32(f, at + 8, 0x200);
    Put32(f, at + 12, rva);
    Put32(f, at + 16, 0x200);
    Put32(f, at + 20, raw);
    Put32(f, at + 36, 0x40000040);  // initialised data, readable
  };
  section(0, ".rdata", kRdataRva, kRdata);
  section(1, ".rsrc", kRsrcRva, kRsrc);

  uint32_t name = kNames;
  auto addName = [&](const std::string& text) {
    const uint32_t rva = kRdataRva + name;
    for (char c : text) f[kRdata + name++] = uint8_t(c);
    ++name;
    return rva;
  };
  for (size_t i = 0; i < spec.imports.size(); ++i) {
    const uint32_t at = kRdata + kImports + 20 * uint32_t(i);
    Put32(f, at + 12, addName(spec.imports[i]));
    Put32(f, at + 16, kRdataRva + 0x1F0);  // first thunk (unread)
  }
  Put32(f, kDirs + 8, kRdataRva + kImports);
  Put32(f, kDirs + 12, 20 * uint32_t(spec.imports.size() + 1));
  if (!spec.delayImports.empty()) {
    for (size_t i = 0; i < spec.delayImports.size(); ++i) {
      const uint32_t at = kRdata + kDelay + 32 * uint32_t(i);
      Put32(f, at, 1);  // names are RVAs
      Put32(f, at + 4, addName(spec.delayImports[i]));
    }
    Put32(f, kDirs + 8 * 13, kRdataRva + kDelay);
    Put32(f, kDirs + 8 * 13 + 4, 32 * uint32_t(spec.delayImports.size() + 1));
  }
  if (spec.loadConfig) {
    Put32(f, kRdata + kLoadConfig, 64);
    Put16(f, kRdata + kLoadConfig + 54, spec.dependentLoadFlags);
    Put32(f, kDirs + 8 * 10, kRdataRva + kLoadConfig);
    Put32(f, kDirs + 8 * 10 + 4, 64);
  }
  // An empty resource tree, then the manifest put in by the resource writer.
  Put32(f, kDirs + 16, kRsrcRva);
  Put32(f, kDirs + 20, 16);

  Image image;
  std::string problem;
  EXPECT_TRUE(image.Parse(f, problem)) << problem;
  if (!spec.manifest.empty()) image.Put(24, 1, Bytes(spec.manifest.begin(), spec.manifest.end()), 0x409);
  Bytes out;
  EXPECT_TRUE(image.Write(out, problem)) << problem;
  return out;
}

Hardening Analyse(const StubSpec& spec) {
  Image image;
  std::string problem;
  EXPECT_TRUE(image.Parse(CraftStub(spec), problem)) << problem;
  return AnalyseHardening(image);
}

std::string Faults(const Hardening& h) {
  std::vector<std::string> faults;
  HardeningFaults(h, "stub.exe", faults);
  std::string all;
  for (const std::string& fault : faults) all += fault + "\n";
  return all;
}

TEST(PeHardening, HardenedStubReportsNoFault) {
  const Hardening h = Analyse(StubSpec());
  EXPECT_EQ(h.imports, (std::vector<std::string>{"KERNEL32.dll", "USER32.dll", "COMCTL32.DLL", "msvcrt.dll"}));
  EXPECT_TRUE(h.outsideKnownDlls.empty());  // comctl32 is bound side by side
  EXPECT_TRUE(h.loadConfig);
  EXPECT_EQ(h.dependentLoadFlags, kLoadLibrarySearchSystem32);
  EXPECT_TRUE(h.dynamicBase && h.nxCompat && h.terminalServerAware);
  EXPECT_EQ(h.executionLevel, "requireAdministrator");
  EXPECT_TRUE(h.commonControls6);
  EXPECT_EQ(h.supportedOs, (std::vector<std::string>{"Vista", "10/11"}));
  EXPECT_EQ(h.dpiAwareness, "system");
  EXPECT_EQ(Faults(h), "");
}

// The manifest as the XML parser reads it: UTF-16 with its byte-order mark the same as
// UTF-8, and a document broken part-way keeps what came before the fault.
TEST(PeHardening, ManifestInUtf16AndBrokenManifests) {
  const std::string text = kHardenedManifest;
  std::string declared = text;
  declared.replace(declared.find("UTF-8"), 5, "UTF-16");
  std::string utf16 = "\xFF\xFE";
  for (char c : declared) utf16 += std::string{c, '\0'};
  StubSpec spec;
  spec.manifest = utf16;
  const Hardening wide = Analyse(spec);
  EXPECT_EQ(wide.executionLevel, "requireAdministrator");
  EXPECT_EQ(wide.supportedOs, (std::vector<std::string>{"Vista", "10/11"}));
  EXPECT_EQ(wide.dpiAwareness, "system");

  spec.manifest = text.substr(0, text.find("<compatibility")) + "<compatibility><bad attr=></compatibility>";
  const Hardening broken = Analyse(spec);
  EXPECT_EQ(broken.executionLevel, "requireAdministrator");
  EXPECT_TRUE(broken.supportedOs.empty());
}

TEST(PeHardening, StubThatLoadsFromItsOwnFolderFails) {
  StubSpec spec;
  spec.imports = {"KERNEL32.dll", "VERSION.dll", "COMCTL32.dll"};
  spec.delayImports = {"SHFolder.dll", "api-ms-win-core-synch-l1-2-0.dll"};
  spec.loadConfig = false;
  spec.dllCharacteristics = 0x0040;  // DYNAMIC_BASE only
  spec.manifest = R"(<asmv1:assembly xmlns:asmv1="urn:schemas-microsoft-com:asm.v1"><!-- <supportedOS Id="x"/> -->
    <asmv3:trustInfo xmlns:asmv3="urn:schemas-microsoft-com:asm.v3"><asmv3:security><asmv3:requestedPrivileges>
    <asmv3:requestedExecutionLevel level='asInvoker' /></asmv3:requestedPrivileges></asmv3:security></asmv3:trustInfo>
    </asmv1:assembly>)";
  const Hardening h = Analyse(spec);
  EXPECT_EQ(h.imports.size(), 5u);
  // Without the side-by-side binding comctl32 too is looked for beside the program.
  EXPECT_EQ(h.outsideKnownDlls, (std::vector<std::string>{"VERSION.dll", "COMCTL32.dll", "SHFolder.dll"}));
  EXPECT_FALSE(h.loadConfig);
  EXPECT_EQ(h.executionLevel, "asInvoker");
  EXPECT_TRUE(h.supportedOs.empty()) << "an element inside a comment was read";
  const std::string faults = Faults(h);
  for (const char* expected : {"imports VERSION.dll", "imports COMCTL32.dll", "imports SHFolder.dll",
                               "DependentLoadFlags", "NX_COMPAT", "TERMINAL_SERVER_AWARE", "asInvoker",
                               "supportedOS", "DPI"})
    EXPECT_NE(faults.find(expected), std::string::npos) << expected << " missing in\n" << faults;
  EXPECT_EQ(faults.find("DYNAMIC_BASE"), std::string::npos) << faults;

  // A load configuration whose flags leave the program's folder in the search.
  spec.loadConfig = true;
  spec.dependentLoadFlags = 0x0100;  // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
  spec.manifest.clear();
  const Hardening bare = Analyse(spec);
  EXPECT_EQ(bare.dependentLoadFlags, 0x0100);
  EXPECT_NE(Faults(bare).find("DependentLoadFlags"), std::string::npos);
  EXPECT_NE(Faults(bare).find("no application manifest"), std::string::npos);
}

TEST(PeHardening, DpiAwarenessAsWindowsTenReadsIt) {
  struct Case {
    const char* settings;
    const char* awareness;
  } cases[] = {
      {"<dpiAware>true</dpiAware>", "system"},
      {"<dpiAware> True/PM </dpiAware>", "per-monitor"},
      {"<dpiAware>false</dpiAware>", "unaware"},
      {"<dpiAware>true</dpiAware><dpiAwareness>PerMonitorV2, PerMonitor</dpiAwareness>", "per-monitor v2"},
      {"<ws:dpiAwareness xmlns:ws='x'>future, system</ws:dpiAwareness><dpiAware>true/pm</dpiAware>", "system"},
      {"<dpiAwareness>unknown</dpiAwareness>", "unaware"},
  };
  for (const Case& c : cases) {
    StubSpec spec;
    spec.manifest = std::string("<assembly><application><windowsSettings>") + c.settings +
                    "</windowsSettings></application></assembly>";
    EXPECT_EQ(Analyse(spec).dpiAwareness, c.awareness) << c.settings;
  }
}

// The command a vendor runs refuses such a stub, naming the DLL.
TEST(PeHardening, InspectFailsOnAStubThatLoadsFromItsOwnFolder) {
  StubSpec spec;
  spec.imports = {"KERNEL32.dll", "VERSION.dll"};
  const fs::path file = fs::path(testing::TempDir()) / ("hardening_" + std::to_string(::getpid()) + ".exe");
  const Bytes bytes = CraftStub(spec);
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  const fs::path out = file.string() + ".json";
  const std::string command = std::string(TOLVANE_PACK_EXE) + " inspect " + file.string() + " --json > " + out.string();
  const int status = std::system(command.c_str());
  std::ifstream in(out);
  const std::string json((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove(file);
  fs::remove(out);
  EXPECT_NE(status, 0);
  const nlohmann::json report = nlohmann::json::parse(json, nullptr, false);
  ASSERT_FALSE(report.is_discarded()) << json;
  EXPECT_EQ(report["imports_outside_known_dlls"], nlohmann::json::array({"VERSION.dll"})) << json;
  EXPECT_FALSE(report["ok"].get<bool>());
  EXPECT_NE(json.find("imports VERSION.dll, which Windows looks for in the program's own folder first"),
            std::string::npos)
      << json;
}

}  // namespace
}  // namespace tolvane::pack::pe
