// The commands of tolvane-pack: each runs on its parsed command line and returns the
// process exit status (0 done, 1 bad input or a failed check, 2 wrong usage).
#pragma once

#include <string>
#include <vector>

#include "tools/tolvane_pack/command_line.h"

namespace tolvane::pack {

// A command of the program: its table (name, options, help) and what runs it.
struct Command {
  const CommandSpec* spec;
  int (*run)(const CommandLine& line);
};

// The archive commands: args are the words after "archive".
int RunArchiveCommands(const Args& args);  // archive_commands.cpp
extern const char kArchiveSummary[];

// The whole program: argv[1] names the command (or "archive" and its command).
int Main(int argc, char** argv);

}  // namespace tolvane::pack
