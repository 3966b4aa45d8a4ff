// tolvane-pack: the vendor's tool for storage archives and product packages.
#include <cstdio>
#include <cstring>

#include "tools/tolvane_pack/commands.h"
#include "tools/tolvane_pack/package_commands.h"

namespace tolvane::pack {
namespace {

// Each command group registers here.
const CommandGroup kGroups[] = {
    {"help", "show this text", nullptr},
    {"archive", "create, read, change and check storage archive files", RunArchiveCommands},
    {"build", "make a package (manifest.bin, payload.bin) from a product folder", RunBuild},
    {"setup", "make setup.exe from a product folder: package, stub, licence, signature", RunSetup},
    {"inspect", "check a setup.exe without running it: package, key, payload, signature", RunInspect},
    {"key", "print the payload key a package manifest yields", RunKey},
    {"list", "list the version, total size and entries of a package manifest", RunList},
    {"verify", "check that a package's payload holds every file of its manifest", RunVerify},
    {"extract", "write the files of a package into a new folder", RunExtract},
    {"encipher", "DES-ECB encipher the whole 8-byte blocks of a file", RunEncipher},
    {"decipher", "DES-ECB decipher the whole 8-byte blocks of a file", RunDecipher},
};

void PrintHelp() {
  std::printf("usage: tolvane-pack COMMAND [ARGS...]\n\ncommands:\n");
  for (const CommandGroup& g : kGroups) std::printf("  %-10s %s\n", g.name, g.summary);
  std::printf("\n'tolvane-pack COMMAND --help' describes a command.\n");
}

}  // namespace

int Main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
      !std::strcmp(argv[1], "help")) {
    PrintHelp();
    return argc < 2 ? 2 : 0;
  }
  for (const CommandGroup& g : kGroups) {
    if (g.run && !std::strcmp(argv[1], g.name)) return g.run(Args(argv + 1, argv + argc));
  }
  std::fprintf(stderr, "tolvane-pack: unknown command '%s' (try --help)\n", argv[1]);
  return 2;
}

}  // namespace tolvane::pack

int main(int argc, char** argv) { return tolvane::pack::Main(argc, argv); }
