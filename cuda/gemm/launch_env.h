// Environment rules of the GEMM launcher, as pure functions of the variables'
// text (null when unset) so the tests can state them.
#pragma once

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace quorl::gemm {

enum class CachePreference { kUnchanged, kShared, kL1, kNone };

// FUNC_CACHE_CONFIG: "shared" or any text whose base-10 value is 1 prefers
// shared memory, "l1" prefers L1, "none" no preference; anything else leaves
// the kernel's preference alone.
inline CachePreference cache_preference(const char* text) {
  if (text == nullptr) return CachePreference::kUnchanged;
  if (std::strtol(text, nullptr, 10) == 1 || std::strcmp(text, "shared") == 0) {
    return CachePreference::kShared;
  }
  if (std::strcmp(text, "l1") == 0) return CachePreference::kL1;
  if (std::strcmp(text, "none") == 0) return CachePreference::kNone;
  return CachePreference::kUnchanged;
}

// Positive base-10 value of `text`, or 0 when unset, zero, negative or not a
// number.
inline long positive_value(const char* text) {
  if (text == nullptr) return 0;
  const long v = std::strtol(text, nullptr, 10);
  return v > 0 ? v : 0;
}

// Persistent grid of sm120a: QUORL_PERSISTENT_CTA_PER_SM CTAs per
// multiprocessor (1 unless positive), unless QUORL_PERSISTENT_CTA_TOTAL gives
// a positive total.
inline int persistent_ctas(int multiprocessors, const char* per_sm_text, const char* total_text) {
  const long per_sm = positive_value(per_sm_text);
  const long total = positive_value(total_text);
  if (total > 0) return int(total);
  return multiprocessors * int(per_sm > 0 ? per_sm : 1);
}

// Ordinals above 63 (and negative ones) share entry 0 of an attribute table.
constexpr int kAttrSlots = 64;
inline int attr_slot(int device) { return device >= 0 && device < kAttrSlots ? device : 0; }

// Which device ordinals a launcher has set its kernel's attributes on. Host
// threads creating contexts at once may launch together, so the flags are
// atomic and a flag is raised only after the attributes are set: a launcher
// that sees it raised can launch at once. Threads racing on a clear flag all
// set the (identical) attributes, which is harmless.
class AttrTable {
 public:
  bool applied(int device) const {
    return done_[attr_slot(device)].load(std::memory_order_acquire);
  }
  void mark_applied(int device) { done_[attr_slot(device)].store(true, std::memory_order_release); }

 private:
  std::atomic<bool> done_[kAttrSlots] = {};
};

}  // namespace quorl::gemm
