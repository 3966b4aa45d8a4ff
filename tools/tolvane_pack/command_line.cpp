#include "tools/tolvane_pack/command_line.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace tolvane::pack {

namespace {

const OptionSpec* FindOption(const CommandSpec& spec, const std::string& word) {
  for (const OptionSpec& o : spec.options)
    if (word == o.name) return &o;
  return nullptr;
}

Parsed Refuse(const CommandSpec& spec, const std::string& reason) {
  std::fprintf(stderr, "tolvane-pack %s: %s\n", spec.name, reason.c_str());
  PrintUsage(spec);
  return Parsed::kUsage;
}

}  // namespace

void PrintUsage(const CommandSpec& spec) { std::fprintf(stderr, "usage: tolvane-pack %s %s\n", spec.name, spec.synopsis); }

void PrintCommandHelp(const CommandSpec& spec) {
  std::printf("usage: tolvane-pack %s %s\n\n%s.\n", spec.name, spec.synopsis, spec.summary);
  if (std::any_of(spec.options.begin(), spec.options.end(), [](const OptionSpec& o) { return !o.hidden; })) {
    std::printf("\noptions:\n");
    size_t width = 0;
    for (const OptionSpec& o : spec.options)
      width = std::max(width, std::string(o.name).size() + (o.value ? 1 + std::string(o.value).size() : 0));
    for (const OptionSpec& o : spec.options) {
      if (o.hidden) continue;
      std::string head = std::string(o.name) + (o.value ? std::string(" ") + o.value : "");
      std::printf("  %-*s  %s\n", int(width), head.c_str(), o.help);
    }
  }
  if (spec.details) std::printf("\n%s\n", spec.details);
}

Parsed ParseCommandLine(const CommandSpec& spec, const Args& args, CommandLine& out) {
  out = CommandLine();
  bool optionsDone = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!optionsDone && (a == "--help" || a == "-h")) {
      PrintCommandHelp(spec);
      return Parsed::kHelp;
    }
    if (!optionsDone && a == "--") {
      optionsDone = true;
      continue;
    }
    const OptionSpec* option = optionsDone ? nullptr : FindOption(spec, a);
    const bool looksLikeOption = a.size() > 1 && a[0] == '-' && (a[1] == '-' || std::isalpha(static_cast<unsigned char>(a[1])));
    if (!option && !optionsDone && looksLikeOption) return Refuse(spec, "unknown option '" + a + "'");
    if (!option) {
      out.positional.push_back(a);
      continue;
    }
    if (out.Has(a)) return Refuse(spec, "'" + a + "' given twice");
    if (!option->value) {
      out.switches.insert(a);
      continue;
    }
    if (i + 1 >= args.size()) return Refuse(spec, "missing the value of '" + a + "'");
    out.values[a] = args[++i];
  }
  if (out.positional.size() < spec.leastArgs || out.positional.size() > spec.mostArgs) {
    PrintUsage(spec);
    return Parsed::kUsage;
  }
  return Parsed::kRun;
}

bool ParseNumber(const std::string& text, uint64_t least, uint64_t most, const std::string& what, uint64_t& value,
                 std::string& error) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const unsigned base = hex ? 16 : 10;
  uint64_t v = 0;
  bool ok = !text.empty() && text.size() <= 20;
  for (size_t i = hex ? 2 : 0; ok && i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit = c >= '0' && c <= '9'   ? unsigned(c - '0')
                     : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                     : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                                            : 99;
    ok = digit < base && digit <= most && v <= (most - digit) / base;  // stops before v passes most
    v = v * base + digit;
  }
  if (ok && v >= least) return value = v, true;
  error = what + " must be a number from " + std::to_string(least) + " to " + std::to_string(most) + ", not '" + text + "'";
  return false;
}

}  // namespace tolvane::pack
