// Host-side rules of the Hopper launchers, kept pure so the tests can state
// them: the persistent grid size, the cache preference switch and the
// per-device attribute table.
#pragma once

#include <cstdlib>
#include <cstring>

namespace quorl::hopper {

// CTAs per multiprocessor of the fused engine: the base-10 value of
// QUORL_HOPPER_TMA_PERSISTENT_CTAS_PER_SM when positive, else 1.
inline int persistent_ctas_per_sm(const char* text) {
  if (text == nullptr) return 1;
  const long value = std::strtol(text, nullptr, 10);
  return value > 0 && value < (1L << 16) ? int(value) : 1;
}

// FUNC_CACHE_CONFIG: what to set, or kLeave for anything unrecognised.
enum class CachePreference { kLeave, kShared, kL1, kNone };

inline CachePreference cache_preference(const char* text) {
  if (text == nullptr) return CachePreference::kLeave;
  if (std::strtol(text, nullptr, 10) == 1 || std::strcmp(text, "shared") == 0) {
    return CachePreference::kShared;
  }
  if (std::strcmp(text, "l1") == 0) return CachePreference::kL1;
  if (std::strcmp(text, "none") == 0) return CachePreference::kNone;
  return CachePreference::kLeave;
}

// Kernel attributes are set once per device ordinal; ordinals past the
// 64-entry table share entry 0.
constexpr int kAttrSlots = 64;
inline int attr_slot(int device) { return device >= 0 && device < kAttrSlots ? device : 0; }

}  // namespace quorl::hopper
