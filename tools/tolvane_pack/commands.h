// Command groups of tolvane-pack. Each group takes the arguments after the program name
//  and returns the process exit status.
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

// The whole program: argv[1] names the group.
int Main(int argc, char** argv);

}  // namespace tolvane::pack
