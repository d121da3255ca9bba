// qkmine's command line, read by CLI11: each command's options with their
// help and defaults (`qkmine <command> --help`), `qkmine --version`, and
// `--config FILE` (CLI11's config files: a [command] section of
// `name = value` lines; options given on the command line win). CLI11 reads
// the options; each command then checks their values by its own rules, so
// a usage error names the rule and ends with the command's usage line.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "option_values.h"

namespace qkmine {

struct OptionSpec {
  std::string name;        // without the dashes: "seed-a"
  const char* value_name;  // "X" as --help shows it; null for a flag
  std::string help;
  std::string default_text = "";  // --help shows it
  bool repeatable = false;         // may be given several times (OptionValues::texts)
};

struct CommandSpec {
  std::string name;   // "mine"
  std::string about;  // one line in `qkmine --help`
  std::string usage;  // "usage: qkmine mine ...\n": on usage errors, and first in --help
  std::vector<OptionSpec> options;
  std::function<int(const OptionValues&)> run;
};

// Reads argv, runs the command it names and returns the exit status: the
// command's own, 0 for --help and --version, kExitUsage for an unknown
// command or option, a repeated option, an option without its value or an
// unreadable config file.
int run_command_line(int argc, const char* const* argv, const std::vector<CommandSpec>& commands);

// "qkmine <command>: <why>", then the usage text, on stderr; kExitUsage.
int usage_error(const std::string& command, const std::string& usage, const std::string& why);

}  // namespace qkmine
