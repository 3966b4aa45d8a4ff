// The package command groups that need no archive: key, list, encipher and decipher,
// and what all the groups share.
#include "tools/tolvane_pack/package_commands.h"

#include <cstdio>
#include <cstdlib>

#include "package/key_provider.h"
#include "package/payload_cipher.h"
#include "tools/tolvane_pack/file_io.h"
#include "tools/tolvane_pack/text_codec.h"

namespace tolvane::pack {

namespace fs = std::filesystem;

int Fail(const std::string& command, const std::string& message) {
  std::fprintf(stderr, "tolvane-pack %s: %s\n", command.c_str(), message.c_str());
  return 1;
}

std::string SetupTooLarge(uint64_t setupBytes, uint64_t limit) {
  char mib[32];
  std::snprintf(mib, sizeof mib, "%.1f", double(limit) / (1 << 20));
  return "the product makes a setup.exe of at least " + std::to_string(setupBytes) + " bytes, more than the " +
         std::to_string(limit) + " bytes (" + mib +
         " MiB) of image a setup program can load and install; ship the product in parts or make it smaller";
}

const OptionSpec kOrderOption{"--order", "FILE", "the order of the entries: one name per line (UTF-8, '/' or '\\' "
                                                 "between components, '#' comments), every entry once"};
const OptionSpec kAllowLongPathsOption{"--allow-long-paths", nullptr,
                                       "let a file's path under the default install folder reach 260 characters"};
const OptionSpec kQuietOption{"--quiet", nullptr, "no progress line on a terminal"};
const OptionSpec kSetupLimitOption{"--setup-limit", "BYTES", "the largest setup image (tests)", true};

bool SetupLimit(const CommandLine& line, uint64_t& limit, std::string& error) {
  limit = kMaxSetupImageBytes;
  if (!line.Has("--setup-limit")) return true;
  return ParseNumber(line.Value("--setup-limit"), 0, UINT64_MAX, "--setup-limit", limit, error);
}

const CommandSpec kKeySpec{"key", "MANIFEST", "print the payload key a package manifest yields", 1, 1, {}};
const CommandSpec kListSpec{"list", "MANIFEST", "list the version, total size and entries of a package manifest", 1, 1, {}};
const CommandSpec kEncipherSpec{"encipher", "--key HEX IN OUT", "DES-ECB encipher the whole 8-byte blocks of a file", 2, 2,
                                {{"--key", "HEX", "the key, 16 hex digits"}},
                                "The last bytes of a file that is no whole number of blocks are copied as they are."};
const CommandSpec kDecipherSpec{"decipher", "--key HEX IN OUT", "DES-ECB decipher the whole 8-byte blocks of a file", 2, 2,
                                {{"--key", "HEX", "the key, 16 hex digits"}},
                                "The last bytes of a file that is no whole number of blocks are copied as they are."};

namespace {

const char* KindWord(uint32_t kind) {
  switch (kind) {
    case SubfolderFile: return "file";
    case TopLevelFile: return "top-file";
    case Folder: return "folder";
    default: return nullptr;
  }
}

int RunCipher(const CommandLine& cl, bool decipher) {
  const CommandSpec& spec = decipher ? kDecipherSpec : kEncipherSpec;
  const std::string command = spec.name;
  if (!cl.Has("--key")) return PrintUsage(spec), 2;
  std::optional<PayloadKey> key = ParseKey(cl.Value("--key"));
  if (!key) return Fail(command, "the key must be 16 hex digits, not '" + cl.Value("--key") + "'");
  Bytes data;
  std::string error;
  if (!ReadWholeFile(PathFromUtf8(cl.positional[0]), data, error)) return Fail(command, error);
  bool ok = decipher ? DecipherBuffer(data.data(), data.size(), key->data())
                     : EncipherBuffer(data.data(), data.size(), key->data());
  if (!ok) return Fail(command, "out of memory for the cipher tables");
  if (!WriteFileAtomically(PathFromUtf8(cl.positional[1]), data, error)) return Fail(command, error);
  if (data.size() % 8)
    std::fprintf(stderr, "tolvane-pack %s: note: the last %zu bytes of %s are not a whole block and were copied as they are\n",
                 command.c_str(), data.size() % 8, cl.positional[0].c_str());
  return 0;
}

}  // namespace

bool LoadManifest(const fs::path& path, PackageManifest& manifest, std::string& error) {
  Bytes bytes;
  if (!ReadWholeFile(path, bytes, error)) return false;
  ByteInputStream in(bytes.data(), bytes.size());
  if (!ReadManifest(in, manifest)) {
    error = Display(path) + ": not a package manifest (it ends before its key block)";
    return false;
  }
  return true;
}

namespace {

// Loads the manifest that is the one argument of key and list; false after reporting.
bool LoadManifestArgument(const CommandLine& line, const char* command, PackageManifest& manifest) {
  std::string error;
  if (LoadManifest(PathFromUtf8(line.positional[0]), manifest, error)) return true;
  Fail(command, error);
  return false;
}

}  // namespace

int RunKey(const CommandLine& line) {
  PackageManifest manifest;
  if (!LoadManifestArgument(line, "key", manifest)) return 1;
  PayloadKey key;
  if (!KeyProvider(manifest.KeyBlock, key))
    return Fail("key", line.positional[0] + ": the key block yields no key (damaged or made for another provider)");
  std::printf("%s\n", KeyToHex(key).c_str());
  return 0;
}

int RunList(const CommandLine& line) {
  PackageManifest manifest;
  if (!LoadManifestArgument(line, "list", manifest)) return 1;
  std::printf("version %u\n", unsigned(manifest.Version));
  std::printf("total bytes %llu\n", static_cast<unsigned long long>(manifest.TotalBytes));
  for (const ManifestEntry& e : manifest.Entries) {
    const char* word = KindWord(e.Kind);
    std::string kind = word ? word : "kind-" + std::to_string(e.Kind);
    std::printf("%-8s %s\n", kind.c_str(), Utf16ToUtf8(e.Name).c_str());
  }
  return 0;
}

int RunEncipher(const CommandLine& line) { return RunCipher(line, false); }
int RunDecipher(const CommandLine& line) { return RunCipher(line, true); }

}  // namespace tolvane::pack
