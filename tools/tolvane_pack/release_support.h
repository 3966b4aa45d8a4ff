// What the release commands build on: the product's version read from its server
// executable, where the stub lies, running the signer, and the checks of `inspect`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/tolvane_pack/pe_hardening.h"

namespace tolvane::pack {

// The file name of the wizard stub, installed beside tolvane-pack.
inline constexpr const char kStubFileName[] = "tolvane-setup-stub.exe";

struct ServerVersion {
  std::string text;     // the FileVersion string, UTF-8
  uint16_t number = 0;  // first number * 256 + third, as setup reads an installed server
};
// Reads the version resource of the server executable. Fails, naming the file, when it is
// missing, not an executable, has no FileVersion in either string table, or gives 0
// (which setup takes for "no installed product").
bool ReadProductVersion(const std::filesystem::path& server, ServerVersion& version, std::string& error);

// The stub beside this program's own executable; empty when that cannot be found.
std::filesystem::path DefaultStubPath();

// Runs a program found on PATH with stdout and stderr going to `log`; `status` is its
// exit status. False (with error) when it could not be started.
bool RunProgram(const std::vector<std::string>& command, const std::filesystem::path& log, int& status,
                std::string& error);
// The line of a program's output that says what went wrong: the first that reports a
// failure or an error, else the last one.
std::string ProgramMessage(const std::filesystem::path& file);

struct InspectReport {
  std::string file;
  uint64_t size = 0;
  std::string stubIdentity;  // CRC-32 of the sections a release never changes
  std::string stubMatch;     // "same" / "different" as the stub beside the tool, or "unknown"
  bool wizardResources = false;
  uint32_t storedChecksum = 0, computedChecksum = 0;
  bool packagePresent = false, keyOk = false, packageOk = false;
  unsigned version = 0;
  size_t entries = 0, files = 0, folders = 0;
  uint64_t totalBytes = 0, manifestBytes = 0, payloadBytes = 0;
  uint64_t bitmapBytes = 0;  // the wizard's bitmaps: 202 and 203, and the set for higher DPIs
  uint64_t overhead = 0;     // what the stub adds: the file minus package and bitmaps
  // What an install needs: the image the loader maps (SizeOfImage), the working memory
  // beside it, and the largest image that installs (package/install_limits.h).
  uint64_t imageBytes = 0, workingBytes = 0, imageLimit = 0;
  std::string signature = "none";  // "none", "verified", "not verified"; "not checked" (Windows build)
  std::string signatureDetail;
  std::string signer;              // the subject of the certificate that signed setup.exe
  // Every PE file in the package (told by content) and its signature, in manifest order.
  struct Program {
    std::string name;  // the manifest name, UTF-8
    std::string signature = "none", signer, detail;  // as for setup.exe
  };
  std::vector<Program> programs;
  pe::Hardening hardening;  // DLL search, header flags, manifest
  std::vector<std::string> faults;  // each a sentence naming what is wrong
};

// Resource data up to this size is read into memory when an executable is inspected;
// larger data (the payload) is read from the file in pieces.
inline constexpr uint32_t kHeldResourceBytes = 16u << 20;

// Checks the package of a setup executable as `inspect` does, reading it in pieces.
// A progress line names it `progressLabel` unless quiet.
bool CheckSetupPackage(const std::filesystem::path& setup, std::string& error, const char* progressLabel, bool quiet);

// Checks a setup executable without running it. ca, when given, is the trusted
// certificate file for the signature's chain.
void InspectSetup(const std::filesystem::path& setup, const std::filesystem::path& stub,
                  const std::filesystem::path* ca, InspectReport& report, bool quiet = true);
std::string ReportText(const InspectReport& report);
std::string ReportJson(const InspectReport& report);

}  // namespace tolvane::pack
