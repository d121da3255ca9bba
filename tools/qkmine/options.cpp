#include "options.h"

#include <cerrno>
#include <cstdlib>

namespace qkmine {

bool Options::parse(const std::vector<std::string>& args, size_t first,
                    const std::set<std::string>& valued, const std::set<std::string>& flags,
                    std::string& error) {
  for (size_t i = first; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0) {
      error = "unexpected argument '" + arg + "'";
      return false;
    }
    std::string name = arg.substr(2), value;
    const size_t eq = name.find('=');
    const bool inline_value = eq != std::string::npos;
    if (inline_value) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    if (values_.count(name)) {
      error = "--" + name + " given twice";
      return false;
    }
    if (flags.count(name) && !inline_value) {
      values_[name] = "";
    } else if (valued.count(name)) {
      if (!inline_value) {
        if (i + 1 >= args.size()) {
          error = "--" + name + " needs a value";
          return false;
        }
        value = args[++i];
      }
      values_[name] = value;
    } else {
      error = "unknown option --" + name;
      return false;
    }
  }
  return true;
}

std::optional<std::string> Options::text(const std::string& name) const {
  const auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

std::optional<int64_t> Options::integer(const std::string& name) const {
  const std::optional<std::string> t = text(name);
  if (!t || t->empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(t->c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return v;
}

std::optional<uint64_t> Options::u64(const std::string& name) const {
  const std::optional<std::string> t = text(name);
  if (!t || t->empty() || (*t)[0] == '-') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(t->c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return v;
}

}  // namespace qkmine
