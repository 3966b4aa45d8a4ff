// The command line of every tolvane-pack command, read from one table per command: its
// options (switches and options with a value), how many arguments it takes, and the
// texts of its --help. Numbers are read here too, one way for every command.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tolvane::pack {

using Args = std::vector<std::string>;

struct OptionSpec {
  const char* name;   // "--key", "-o"
  const char* value;  // what follows it in the usage ("HEX"); nullptr for a switch
  const char* help;   // one line for --help
  bool hidden = false;  // for tests; not in --help
};

struct CommandSpec {
  const char* name;       // as typed after the program's name: "setup", "archive get"
  const char* synopsis;   // the arguments after the name, for the usage line
  const char* summary;    // what the command does, one sentence
  size_t leastArgs, mostArgs;  // positional arguments
  std::vector<OptionSpec> options;
  const char* details = nullptr;  // more of --help, after the options
  bool hidden = false;            // left out of the program's --help
};

struct CommandLine {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;
  std::set<std::string> switches;

  bool Has(const std::string& option) const { return values.count(option) || switches.count(option); }
  const std::string& Value(const std::string& option) const { return values.at(option); }
};

enum class Parsed { kRun, kHelp, kUsage };

// Reads args (the words after the command's name). --help prints the command's help to
// standard output (kHelp: exit 0); an unknown option, a missing value, an option given
// twice or a wrong number of arguments prints the reason and the usage to standard error
// (kUsage: exit 2). "--" ends the options: what follows is an argument even if it starts
// with '-'; so is a word such as "-5" that is no option.
Parsed ParseCommandLine(const CommandSpec& spec, const Args& args, CommandLine& out);
void PrintCommandHelp(const CommandSpec& spec);
void PrintUsage(const CommandSpec& spec);

// Exit status after ParseCommandLine returned something other than kRun.
inline int ExitFor(Parsed parsed) { return parsed == Parsed::kHelp ? 0 : 2; }

// A whole number from least to most, in decimal or as 0x and hex digits; nothing else
// (no sign, no blanks, no trailing characters). error says what was wanted, naming
// `what`: "--version must be a number from 0 to 65535, not '70000'".
bool ParseNumber(const std::string& text, uint64_t least, uint64_t most, const std::string& what, uint64_t& value,
                 std::string& error);

}  // namespace tolvane::pack
