#include "variant_choice.h"

#include <cstring>

#include "../include/quorl_kernel.h"

namespace quorl {
namespace {

struct VariantName {
  const char* name;
  int variant;
};

constexpr VariantName kVariantNames[] = {
    {"sm89", QK_VARIANT_SM89},       {"sm_89", QK_VARIANT_SM89},
    {"sm120a", QK_VARIANT_SM120A},   {"sm_120a", QK_VARIANT_SM120A},
    {"h100tma", QK_VARIANT_H100TMA}, {"h100", QK_VARIANT_H100TMA},
    {"sm90a", QK_VARIANT_H100TMA},   {"sm_90a", QK_VARIANT_H100TMA},
    {"fallback", QK_VARIANT_FALLBACK},
};

}  // namespace

int forced_variant(const char* forced) {
  if (forced == nullptr) return -1;
  for (const VariantName& v : kVariantNames) {
    if (std::strcmp(forced, v.name) == 0) return v.variant;
  }
  return -1;
}

int choose_variant(const char* forced, bool query_ok, int major, int minor) {
  const int named = forced_variant(forced);
  if (named >= 0) return named;
  if (!query_ok) return QK_VARIANT_FALLBACK;
  if (major == 8 && minor == 9) return QK_VARIANT_SM89;
  if (major == 9) return QK_VARIANT_H100TMA;
  if (major == 12) return QK_VARIANT_SM120A;
  return QK_VARIANT_FALLBACK;
}

const char* variant_name(int variant) {
  for (const VariantName& v : kVariantNames) {
    if (v.variant == variant) return v.name;
  }
  return "?";
}

std::vector<int> runnable_variants(int major, int minor) {
  if (major < 8) return {};
  const int own = choose_variant(nullptr, true, major, minor);
  if (own == QK_VARIANT_FALLBACK) return {QK_VARIANT_FALLBACK};
  return {own, QK_VARIANT_FALLBACK};
}

}  // namespace quorl
