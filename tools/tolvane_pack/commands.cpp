// The commands of tolvane-pack and the program's own --help.
#include "tools/tolvane_pack/commands.h"

#include <cstdio>
#include <cstring>

#include "tools/tolvane_pack/package_commands.h"

namespace tolvane::pack {
namespace {

const Command kCommands[] = {
    {&kBuildSpec, RunBuild},       {&kSetupSpec, RunSetup},     {&kInspectSpec, RunInspect},
    {&kKeySpec, RunKey},           {&kListSpec, RunList},       {&kVerifySpec, RunVerify},
    {&kExtractSpec, RunExtract},   {&kEncipherSpec, RunEncipher}, {&kDecipherSpec, RunDecipher},
};

void PrintHelp() {
  std::printf("usage: tolvane-pack COMMAND [ARGS...]\n\ncommands:\n");
  std::printf("  %-10s %s\n", "help", "show this text");
  std::printf("  %-10s %s\n", "archive", kArchiveSummary);
  for (const Command& c : kCommands) std::printf("  %-10s %s\n", c.spec->name, c.spec->summary);
  std::printf("\n'tolvane-pack COMMAND --help' describes a command.\n");
}

}  // namespace

int Main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
      !std::strcmp(argv[1], "help")) {
    PrintHelp();
    return argc < 2 ? 2 : 0;
  }
  const Args args(argv + 2, argv + argc);
  if (!std::strcmp(argv[1], "archive")) return RunArchiveCommands(args);
  for (const Command& c : kCommands) {
    if (std::strcmp(argv[1], c.spec->name)) continue;
    CommandLine line;
    Parsed parsed = ParseCommandLine(*c.spec, args, line);
    return parsed == Parsed::kRun ? c.run(line) : ExitFor(parsed);
  }
  std::fprintf(stderr, "tolvane-pack: unknown command '%s' (try --help)\n", argv[1]);
  return 2;
}

}  // namespace tolvane::pack
