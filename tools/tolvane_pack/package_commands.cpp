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

bool ParseCommandLine(const Args& args, const std::vector<std::string>& valueOptions, const char* usage,
                      CommandLine& out) {
  out = CommandLine();
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      out.help = true;
      std::printf("usage: tolvane-pack %s\n", usage);
      return false;
    }
    if (a.size() > 1 && a[0] == '-') {
      bool known = false;
      for (const std::string& o : valueOptions) known = known || o == a;
      if (!known || i + 1 >= args.size()) {
        std::fprintf(stderr, "tolvane-pack %s: %s '%s'\nusage: tolvane-pack %s\n", args[0].c_str(),
                     known ? "missing the value of" : "unknown option", a.c_str(), usage);
        return false;
      }
      if (out.options.count(a)) {
        std::fprintf(stderr, "tolvane-pack %s: '%s' given twice\n", args[0].c_str(), a.c_str());
        return false;
      }
      out.options[a] = args[++i];
    } else {
      out.positional.push_back(a);
    }
  }
  return true;
}

bool TakeSwitch(Args& args, const char* name) {
  bool found = false;
  for (size_t i = 1; i < args.size();) {
    if (args[i] == name) {
      args.erase(args.begin() + long(i));
      found = true;
    } else {
      ++i;
    }
  }
  return found;
}

std::string SetupTooLarge(uint64_t setupBytes, uint64_t limit) {
  char mib[32];
  std::snprintf(mib, sizeof mib, "%.1f", double(limit) / (1 << 20));
  return "the product makes a setup.exe of at least " + std::to_string(setupBytes) + " bytes, more than the " +
         std::to_string(limit) + " bytes (" + mib +
         " MiB) of image a setup program can load and install; ship the product in parts or make it smaller";
}

bool ParseSetupLimit(const std::string& text, uint64_t& limit) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (*end) return false;
  limit = v;
  return true;
}

namespace {

int Usage(const Args& args, const char* usage) {
  std::fprintf(stderr, "usage: tolvane-pack %s\n", usage);
  (void)args;
  return 2;
}

const char* KindWord(uint32_t kind) {
  switch (kind) {
    case SubfolderFile: return "file";
    case TopLevelFile: return "top-file";
    case Folder: return "folder";
    default: return nullptr;
  }
}

int RunCipher(const Args& args, bool decipher) {
  const char* usage = decipher ? "decipher --key HEX IN OUT" : "encipher --key HEX IN OUT";
  CommandLine cl;
  if (!ParseCommandLine(args, {"--key"}, usage, cl)) return cl.help ? 0 : 2;
  if (cl.positional.size() != 2 || !cl.options.count("--key")) return Usage(args, usage);
  std::optional<PayloadKey> key = ParseKey(cl.options["--key"]);
  if (!key) return Fail(args[0], "the key must be 16 hex digits, not '" + cl.options["--key"] + "'");
  Bytes data;
  std::string error;
  if (!ReadWholeFile(cl.positional[0], data, error)) return Fail(args[0], error);
  bool ok = decipher ? DecipherBuffer(data.data(), data.size(), key->data())
                     : EncipherBuffer(data.data(), data.size(), key->data());
  if (!ok) return Fail(args[0], "out of memory for the cipher tables");
  if (!WriteFileAtomically(cl.positional[1], data, error)) return Fail(args[0], error);
  if (data.size() % 8)
    std::fprintf(stderr, "tolvane-pack %s: note: the last %zu bytes of %s are not a whole block and were copied as they are\n",
                 args[0].c_str(), data.size() % 8, cl.positional[0].c_str());
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

// For the commands whose one argument is a manifest: parses the command line and loads
// the manifest. False when the command is over, with its exit code in `exitCode`.
bool LoadManifestArgument(const Args& args, const char* usage, std::string& path, PackageManifest& manifest,
                          int& exitCode) {
  CommandLine cl;
  if (!ParseCommandLine(args, {}, usage, cl)) {
    exitCode = cl.help ? 0 : 2;
    return false;
  }
  if (cl.positional.size() != 1) {
    exitCode = Usage(args, usage);
    return false;
  }
  path = cl.positional[0];
  std::string error;
  if (!LoadManifest(path, manifest, error)) {
    exitCode = Fail(args[0], error);
    return false;
  }
  return true;
}

}  // namespace

int RunKey(const Args& args) {
  std::string path;
  PackageManifest manifest;
  int exitCode = 0;
  if (!LoadManifestArgument(args, "key MANIFEST", path, manifest, exitCode)) return exitCode;
  PayloadKey key;
  if (!KeyProvider(manifest.KeyBlock, key))
    return Fail(args[0], path + ": the key block yields no key (damaged or made for another provider)");
  std::printf("%s\n", KeyToHex(key).c_str());
  return 0;
}

int RunList(const Args& args) {
  std::string path;
  PackageManifest manifest;
  int exitCode = 0;
  if (!LoadManifestArgument(args, "list MANIFEST", path, manifest, exitCode)) return exitCode;
  std::printf("version %u\n", unsigned(manifest.Version));
  std::printf("total bytes %llu\n", static_cast<unsigned long long>(manifest.TotalBytes));
  for (const ManifestEntry& e : manifest.Entries) {
    const char* word = KindWord(e.Kind);
    std::string kind = word ? word : "kind-" + std::to_string(e.Kind);
    std::printf("%-8s %s\n", kind.c_str(), Utf16ToUtf8(e.Name).c_str());
  }
  return 0;
}

int RunEncipher(const Args& args) { return RunCipher(args, false); }
int RunDecipher(const Args& args) { return RunCipher(args, true); }

}  // namespace tolvane::pack
