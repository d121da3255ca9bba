#include "option_values.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace qkmine {

std::optional<std::string> OptionValues::text(const std::string& name) const {
  const auto it = values_.find(name);
  if (it == values_.end() || it->second.empty()) return std::nullopt;
  return it->second.front();
}

std::vector<std::string> OptionValues::texts(const std::string& name) const {
  const auto it = values_.find(name);
  return it == values_.end() ? std::vector<std::string>{} : it->second;
}

std::optional<int64_t> OptionValues::integer(const std::string& name) const {
  const std::optional<std::string> t = text(name);
  if (!t || t->empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(t->c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return v;
}

std::optional<uint64_t> OptionValues::u64(const std::string& name) const {
  const std::optional<std::string> t = text(name);
  // strtoull would wrap "-1" (and " -1", after skipping the space) to 2^64 - 1.
  if (!t || t->empty() || (*t)[0] == '-' || std::isspace(static_cast<unsigned char>((*t)[0]))) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(t->c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return v;
}

std::optional<double> OptionValues::number(const std::string& name) const {
  const std::optional<std::string> t = text(name);
  if (!t || t->empty()) return std::nullopt;
  char* end = nullptr;
  const double v = std::strtod(t->c_str(), &end);
  if (*end != '\0' || !std::isfinite(v)) return std::nullopt;
  return v;
}

}  // namespace qkmine
