// The table of tolvane-pack's commands, the dispatch on it and the program's --help.
#include "tools/tolvane_pack/commands.h"

#include <cstdio>
#include <cstring>

#include "tools/tolvane_pack/package_commands.h"

namespace tolvane::pack {
namespace {

const CommandGroup* const kGroups[] = {&kArchiveGroup};

// Every command, in the order of the help.
const std::vector<Command>& Commands() {
  static const std::vector<Command> table = [] {
    std::vector<Command> commands = {
        {&kBuildSpec, RunBuild},       {&kSetupSpec, RunSetup},     {&kInspectSpec, RunInspect},
        {&kKeySpec, RunKey},           {&kListSpec, RunList},       {&kVerifySpec, RunVerify},
        {&kExtractSpec, RunExtract},   {&kEncipherSpec, RunEncipher}, {&kDecipherSpec, RunDecipher},
    };
    for (Command& c : ArchiveCommands()) commands.push_back(std::move(c));
    return commands;
  }();
  return table;
}

bool IsHelp(const std::string& word) { return word == "--help" || word == "-h" || word == "help"; }

// The rest of a command's name after its group's name and a blank; null when the command
// is not in the group (group null: the program's own commands, of one word).
const char* NameInGroup(const CommandSpec& spec, const CommandGroup* group) {
  if (!group) return std::strchr(spec.name, ' ') ? nullptr : spec.name;
  const size_t length = std::strlen(group->name);
  return std::strncmp(spec.name, group->name, length) == 0 && spec.name[length] == ' ' ? spec.name + length + 1
                                                                                        : nullptr;
}

void PrintHelp(const CommandGroup* group) {
  if (!group) {
    std::printf("usage: tolvane-pack COMMAND [ARGS...]\n\ncommands:\n");
    std::printf("  %-10s %s\n", "help", "show this text");
    for (const CommandGroup* g : kGroups) std::printf("  %-10s %s\n", g->name, g->summary);
  } else {
    std::printf("usage: tolvane-pack %s COMMAND [OPTIONS] ARGS...\n\n%s\n\ncommands:\n", group->name, group->about);
  }
  // The program's commands with what they do, a group's with their arguments.
  for (const Command& c : Commands()) {
    const char* name = NameInGroup(*c.spec, group);
    if (!name || c.spec->hidden) continue;
    if (group) std::printf("  %-12s %s\n", name, c.spec->synopsis);
    else std::printf("  %-10s %s\n", name, c.spec->summary);
  }
  if (!group) std::printf("\n'tolvane-pack COMMAND --help' describes a command.\n");
  else std::printf("\n%s\n", group->after);
}

}  // namespace

int Main(int argc, char** argv) {
  const Args words(argv + 1, argv + argc);
  if (words.empty() || IsHelp(words[0])) {
    PrintHelp(nullptr);
    return words.empty() ? 2 : 0;
  }
  const CommandGroup* group = nullptr;
  for (const CommandGroup* g : kGroups)
    if (words[0] == g->name) group = g;
  if (group && (words.size() < 2 || IsHelp(words[1]))) {
    PrintHelp(group);
    return words.size() < 2 ? 2 : 0;
  }
  const std::string& name = words[group ? 1 : 0];
  for (const Command& c : Commands()) {
    const char* own = NameInGroup(*c.spec, group);
    if (!own || name != own) continue;
    CommandLine line;
    Parsed parsed = ParseCommandLine(*c.spec, Args(words.begin() + (group ? 2 : 1), words.end()), line);
    return parsed == Parsed::kRun ? c.run(line) : ExitFor(parsed);
  }
  std::fprintf(stderr, "tolvane-pack%s%s: unknown command '%s' (try --help)\n", group ? " " : "",
               group ? group->name : "", name.c_str());
  return 2;
}

}  // namespace tolvane::pack
