// Command groups of tolvane-pack. Each group takes the arguments after the program name
// (argv[0] is the group's own name) and returns the process exit status.
#pragma once

#include <string>
#include <vector>

namespace tolvane::pack {

using Args = std::vector<std::string>;

struct CommandGroup {
  const char* name;     // first word on the command line
  const char* summary;  // one line for the program's --help
  int (*run)(const Args& args);
};

int RunArchiveCommands(const Args& args);  // archive_commands.cpp

}  // namespace tolvane::pack
