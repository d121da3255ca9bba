// A small "--name value" / "--flag" option reader for qkmine's subcommands.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace qkmine {

class Options {
 public:
  // Reads args[first..]; `valued` names take a value, `flags` take none.
  // Returns false (with `error` set) on an unknown, repeated or incomplete option.
  bool parse(const std::vector<std::string>& args, size_t first,
             const std::set<std::string>& valued, const std::set<std::string>& flags,
             std::string& error);

  bool has(const std::string& name) const { return values_.count(name) != 0; }
  std::optional<std::string> text(const std::string& name) const;
  // Integers in decimal or 0x-hex; nullopt when absent or malformed.
  std::optional<int64_t> integer(const std::string& name) const;
  std::optional<uint64_t> u64(const std::string& name) const;

 private:
  std::map<std::string, std::string> values_;
};

}  // namespace qkmine
