// The commands of tolvane-pack: each runs on its parsed command line and returns the
// process exit status (0 done, 1 bad input or a failed check, 2 wrong usage).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tools/tolvane_pack/command_line.h"

namespace tolvane::pack {

// A command of the program: its table (name, options, help) and what runs it.
struct Command {
  const CommandSpec* spec;
  std::function<int(const CommandLine& line)> run;
};

// Commands named with two words ("archive put") form a group, which has its own --help.
struct CommandGroup {
  const char* name;     // the first word: "archive"
  const char* summary;  // one line in the program's --help
  const char* about;    // the group's --help, before its commands
  const char* after;    // and after them
};

// The archive commands, each named "archive ...", in the order of their help
// (archive_commands.cpp).
extern const CommandGroup kArchiveGroup;
std::vector<Command> ArchiveCommands();

// The whole program: argv[1] names the command (or a group and its command). Dispatch
// and --help read one table of every command.
int Main(int argc, char** argv);

}  // namespace tolvane::pack
