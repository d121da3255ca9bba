// The options one qkmine command was given, as text, and their conversion
// by qkmine's rules: integers in decimal or 0x-hex, unsigned ones without a
// sign. CLI11 reads the command line (command_line.h); each command checks
// the values itself, so its messages name the rule that was broken.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qkmine {

class OptionValues {
 public:
  // `name` without the dashes; a flag's value is "".
  void set(const std::string& name, std::string value) { values_[name] = {std::move(value)}; }
  // One more value of a repeatable option.
  void add(const std::string& name, std::string value) { values_[name].push_back(std::move(value)); }

  bool has(const std::string& name) const { return values_.count(name) != 0; }
  std::optional<std::string> text(const std::string& name) const;  // the first value
  std::vector<std::string> texts(const std::string& name) const;    // every value, in order
  // nullopt when absent or malformed.
  std::optional<int64_t> integer(const std::string& name) const;
  std::optional<uint64_t> u64(const std::string& name) const;
  // A finite decimal number; nullopt when absent or malformed.
  std::optional<double> number(const std::string& name) const;

 private:
  std::map<std::string, std::vector<std::string>> values_;
};

}  // namespace qkmine
