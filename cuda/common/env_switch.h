// Environment switches. Each is read once per build into a function-local
// static that starts at -1 (not read yet); the rules are pure functions so
// the tests can state them.
#pragma once

#include <cstdlib>

namespace quorl {

// Unset is off; set is on when its base-10 value is non-zero, so "0", "" and
// non-numeric text are off.
inline int switch_value(const char* text) {
  if (text == nullptr) return 0;
  return std::strtol(text, nullptr, 10) != 0 ? 1 : 0;
}

// Reads `name` into `cache` the first time; later calls return the cache.
inline int cached_switch(int& cache, const char* name) {
  if (cache < 0) cache = switch_value(std::getenv(name));
  return cache;
}

}  // namespace quorl
