// The package command groups of tolvane-pack:
//   build PRODUCT_DIR --version N --key HEX -o OUTDIR [--order FILE]
//   key MANIFEST | list MANIFEST | verify MANIFEST PAYLOAD | extract MANIFEST PAYLOAD DIR
//   encipher --key HEX IN OUT | decipher --key HEX IN OUT
// Exit status: 0 done, 1 bad input or a failed check, 2 wrong usage.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "package/manifest.h"
#include "tools/tolvane_pack/commands.h"

namespace tolvane::pack {

int RunBuild(const Args& args);
int RunKey(const Args& args);
int RunList(const Args& args);
int RunVerify(const Args& args);
int RunExtract(const Args& args);
int RunEncipher(const Args& args);
int RunDecipher(const Args& args);

// Command lines of the package groups: positional arguments and "--name value" options.
struct CommandLine {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
  bool help = false;
};

// Splits args (args[0] is the group's name); valueOptions take the next argument. Prints
// a usage message and returns false on an unknown option or a missing value.
bool ParseCommandLine(const Args& args, const std::vector<std::string>& valueOptions, const char* usage,
                      CommandLine& out);

// Reads and parses a manifest file; on failure error names the file and the reason.
bool LoadManifest(const std::filesystem::path& path, PackageManifest& manifest, std::string& error);

int Fail(const std::string& command, const std::string& message);

}  // namespace tolvane::pack
