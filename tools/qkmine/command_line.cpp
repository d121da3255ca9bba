#include "command_line.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>

#include "commands.h"

namespace qkmine {
namespace {

constexpr const char* kTopUsage = "usage: qkmine <command> [options]   (qkmine <command> --help lists its options)\n";

// --help starts with the command's own usage text, which says how options
// combine (one of two seed sets, --attempts or --seconds, ...), then what
// the command does.
class UsageFirst : public CLI::Formatter {
 public:
  explicit UsageFirst(std::string usage) : usage_(std::move(usage)) {}
  std::string make_description(const CLI::App*) const override { return ""; }
  std::string make_usage(const CLI::App* app, std::string) const override {
    return usage_ + app->get_description() + "\n";
  }

 private:
  std::string usage_;
};

// "--name=value" names the option "--name".
std::string option_name(const std::string& arg) { return arg.substr(0, arg.find('=')); }

// What is wrong with the options CLI11 read for `sub`, or "".
std::string misuse(const CLI::App& top, const CLI::App& sub, const CommandSpec& spec) {
  // Unknown arguments fall through to the top level.
  for (const std::string& extra : top.remaining(true)) {
    if (extra.rfind("-", 0) == 0) return "unknown option " + option_name(extra);
    return "unexpected argument '" + extra + "'";
  }
  for (const OptionSpec& o : spec.options) {
    const CLI::Option* opt = sub.get_option("--" + o.name);
    if (opt->count() > 1 && !o.repeatable) return "--" + o.name + " given twice";
    for (const std::string& value : opt->results()) {
      if (o.value_name != nullptr && value.empty()) return "--" + o.name + " needs a value";
    }
  }
  return "";
}

OptionValues values_of(const CLI::App& sub, const CommandSpec& spec) {
  OptionValues values;
  for (const OptionSpec& o : spec.options) {
    const CLI::Option* opt = sub.get_option("--" + o.name);
    if (opt->count() == 0) continue;
    if (o.value_name != nullptr) {
      for (const std::string& value : opt->results()) values.add(o.name, value);
    } else if (opt->as<bool>()) {  // "json = false" in a config file leaves the flag off
      values.set(o.name, "");
    }
  }
  return values;
}

}  // namespace

int usage_error(const std::string& command, const std::string& usage, const std::string& why) {
  std::fprintf(stderr, "qkmine %s: %s\n%s", command.c_str(), why.c_str(), usage.c_str());
  return kExitUsage;
}

int run_command_line(int argc, const char* const* argv, const std::vector<CommandSpec>& commands) {
  CLI::App top{"qkmine: proof-of-work mining with libquorl_kernel on GPUs, or on the CPU reference model",
               "qkmine"};
  top.formatter(std::make_shared<UsageFirst>(kTopUsage));
  top.set_version_flag("--version", "qkmine " QKMINE_VERSION);
  top.set_config("--config", "", "read options from FILE: a [command] section of name = value lines");
  top.allow_extras();  // qkmine names an unknown command or option itself, with the usage line
  std::vector<CLI::App*> subs;
  for (const CommandSpec& spec : commands) {
    CLI::App* sub = top.add_subcommand(spec.name, spec.about);
    sub->fallthrough();  // --config and --version after the command too
    sub->formatter(std::make_shared<UsageFirst>(spec.usage));
    sub->footer("--config FILE reads options from FILE, a [" + spec.name +
                "] section of name = value lines (options given here win)");
    for (const OptionSpec& o : spec.options) {
      // The default goes in the text only: CLI11 would also hand a default
      // string to an option given without its value.
      const std::string help = o.default_text.empty() ? o.help : o.help + " (default: " + o.default_text + ")";
      CLI::Option* opt = o.value_name != nullptr ? sub->add_option("--" + o.name, help)
                                                 : sub->add_flag("--" + o.name, help);
      // Repeats and missing values are refused by misuse(), in qkmine's words.
      opt->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
      if (o.value_name != nullptr) opt->type_name(o.value_name)->expected(0, 1);
    }
    subs.push_back(sub);
  }

  const std::string first = argc > 1 ? argv[1] : "";
  if (first == "help") {
    std::fputs(top.help().c_str(), stdout);
    return kExitOk;
  }
  try {
    top.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help, --version
    return top.exit(e);
  } catch (const CLI::ParseError& e) {
    for (const CommandSpec& spec : commands) {
      if (spec.name == first) return usage_error(spec.name, spec.usage, e.what());
    }
    std::fprintf(stderr, "qkmine: %s\n%s", e.what(), top.help().c_str());
    return kExitUsage;
  }
  for (size_t i = 0; i < subs.size(); ++i) {
    if (!subs[i]->parsed()) continue;
    const std::string problem = misuse(top, *subs[i], commands[i]);
    if (!problem.empty()) return usage_error(commands[i].name, commands[i].usage, problem);
    return commands[i].run(values_of(*subs[i], commands[i]));
  }
  const std::vector<std::string> extras = top.remaining();
  if (!extras.empty()) {
    std::fprintf(stderr, "qkmine: unknown %s '%s'\n", extras[0].rfind("-", 0) == 0 ? "option" : "command",
                 extras[0].c_str());
  }
  std::fputs(top.help().c_str(), stderr);
  return kExitUsage;
}

}  // namespace qkmine
