// Environment switches. Each is read once per build into a function-local
// static that starts at -1 (not read yet); the rules are pure functions so
// the tests can state them. The cache is atomic because contexts may be
// created and driven from several threads at once: the first readers may all
// read the environment, and all store the same value.
#pragma once

#include <atomic>
#include <cstdlib>

namespace quorl {

// Unset is off; set is on when its base-10 value is non-zero, so "0", "" and
// non-numeric text are off.
inline int switch_value(const char* text) {
  if (text == nullptr) return 0;
  return std::strtol(text, nullptr, 10) != 0 ? 1 : 0;
}

// `read()` (0 or 1) the first time; later calls return the cached value.
template <class Read>
int cached_value(std::atomic<int>& cache, Read&& read) {
  int value = cache.load(std::memory_order_relaxed);
  if (value < 0) {
    value = read();
    cache.store(value, std::memory_order_relaxed);
  }
  return value;
}

// Reads `name` into `cache` the first time; later calls return the cache.
inline int cached_switch(std::atomic<int>& cache, const char* name) {
  return cached_value(cache, [name] { return switch_value(std::getenv(name)); });
}

}  // namespace quorl
