// The package command groups of tolvane-pack:
//   build PRODUCT_DIR --version N --key HEX -o OUTDIR [--order FILE]
//   key MANIFEST | list MANIFEST | verify MANIFEST PAYLOAD | extract MANIFEST PAYLOAD DIR
//   encipher --key HEX IN OUT | decipher --key HEX IN OUT
// Exit status: 0 done, 1 bad input or a failed check, 2 wrong usage.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "package/install_limits.h"
#include "package/manifest.h"
#include "package/payload_cipher.h"
#include "storage/zlib_codec.h"
#include "tools/tolvane_pack/file_io.h"
#include "tools/tolvane_pack/package_deflater.h"
#include "tools/tolvane_pack/product_tree.h"
#include "tools/tolvane_pack/progress.h"
#include "tools/tolvane_pack/commands.h"

namespace tolvane::pack {

extern const CommandSpec kBuildSpec, kVerifySpec, kExtractSpec;  // package_archive_commands.cpp
extern const CommandSpec kKeySpec, kListSpec, kEncipherSpec, kDecipherSpec;
extern const CommandSpec kSetupSpec, kInspectSpec;  // release_commands.cpp
int RunBuild(const CommandLine& line);
int RunKey(const CommandLine& line);
int RunList(const CommandLine& line);
int RunVerify(const CommandLine& line);
int RunExtract(const CommandLine& line);
int RunEncipher(const CommandLine& line);
int RunDecipher(const CommandLine& line);
int RunSetup(const CommandLine& line);
int RunInspect(const CommandLine& line);

// Reads and parses a manifest file; on failure error names the file and the reason.
bool LoadManifest(const std::filesystem::path& path, PackageManifest& manifest, std::string& error);

int Fail(const std::string& command, const std::string& message);

// The two resources of a package: the manifest, and the archive, kept plain in a
// temporary folder (removed with this object) and enciphered as it is written out.
struct BuiltPackage {
  BuiltPackage() = default;
  BuiltPackage(const BuiltPackage&) = delete;
  BuiltPackage& operator=(const BuiltPackage&) = delete;
  ~BuiltPackage();

  Bytes manifest;
  TemporaryFolder workFolder;
  std::filesystem::path archive;
  uint64_t payloadBytes = 0;  // a whole number of 8-byte blocks
  PayloadKey key{};

  // Hands the enciphered archive to put, piece by piece.
  bool WritePayload(const std::function<bool(const uint8_t*, size_t)>& put, std::string& error) const;
};
// Asked with the package's length (manifest and archive so far) after each file and at
// the end: false (with error) stops the build.
using SizeCheck = std::function<bool(uint64_t packageBytes, std::string& error)>;
// Packs a scanned product folder; the archive's temporary file lies beside `beside`;
// error names the offending file. Whole files are compressed as `compressor` says
// (Zlib9 is what `build` keeps: the project's own setup.exe and its tests are made from
// those bytes).
// progress, when given, learns of each file packed.
bool BuildPackage(const ProductTree& tree, uint16_t version, const PayloadKey& key, const std::filesystem::path& beside,
                  PackCompressor compressor, const SizeCheck& check, BuiltPackage& built, std::string& error,
                  Progress* progress = nullptr);
// "N entries (F files, D folders), T bytes; manifest M bytes, payload P bytes"
std::string DescribeBuild(const ProductTree& tree, const BuiltPackage& built);

// What `verify` checks: the manifest reads and its names are sound, the key block yields
// a key, the payload deciphers to an archive that passes its integrity check and holds
// every listed file, not empty, and nothing else, adding up to TotalBytes. The labels
// name the two parts in messages.
struct PackageCheck {
  PackageManifest manifest;
  size_t files = 0, folders = 0;
};
// Sees the content of each file of a package as it is checked: Begin, pieces through
// Take, End. A false from Take or End (error set) stops the check.
class PackageFileObserver {
 public:
  virtual void Begin(const std::u16string& name) = 0;
  virtual bool Take(const uint8_t* data, size_t length, std::string& error) = 0;
  virtual bool End(std::string& error) = 0;

 protected:
  ~PackageFileObserver() = default;
};
// Checks a package whose payload lies at [offset, offset + length) of a file, reading and
// deciphering it in pieces. The labels name the two parts in messages; progress, when
// given, learns of the bytes read; observer, when given, sees every file.
bool CheckPackageInFile(const Bytes& manifest, const std::string& manifestLabel, const std::filesystem::path& file,
                        uint64_t offset, uint64_t length, const std::string& payloadLabel, PackageCheck& check,
                        std::string& error, const char* progressLabel = nullptr, bool quiet = true,
                        PackageFileObserver* observer = nullptr);

// What setup and build say of a product whose setup.exe would pass the limit of
// package/install_limits.h (or the hidden --setup-limit of the tests).
std::string SetupTooLarge(uint64_t setupBytes, uint64_t limit);
// The limit: --setup-limit when given, else the real one; false (with error) when the
// option is no number.
bool SetupLimit(const CommandLine& line, uint64_t& limit, std::string& error);
// The options both setup and build take.
extern const OptionSpec kOrderOption, kAllowLongPathsOption, kSetupLimitOption, kQuietOption;
// Room `build` leaves for the stub that the project's build embeds the package in.
constexpr uint64_t kStubReserveBytes = 4u << 20;


}  // namespace tolvane::pack
