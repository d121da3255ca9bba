#include "gpu_builds.h"

#include <cstdlib>

#include "../../cuda/search/search_mode.h"

namespace qkmine {

const char* build_name(int variant) {
  switch (variant) {
    case QK_VARIANT_SM89: return "sm89";
    case QK_VARIANT_SM120A: return "sm120a";
    case QK_VARIANT_H100TMA: return "h100tma";
    case QK_VARIANT_FALLBACK: return "fallback";
  }
  return "?";
}

std::vector<BuildInfo> runnable_builds(int major, int minor) {
  std::vector<BuildInfo> builds;
  if (major < 8) return builds;
  if (major == 8 && minor == 9) builds.push_back({"sm89", QK_VARIANT_SM89});
  if (major == 9) builds.push_back({"h100tma", QK_VARIANT_H100TMA});
  if (major == 12) builds.push_back({"sm120a", QK_VARIANT_SM120A});
  builds.push_back({"fallback", QK_VARIANT_FALLBACK});
  return builds;
}

SearchMode search_mode_from_env() {
  if (quorl::search::skip_bound_value(std::getenv("SKIP_BOUND"))) return SearchMode::kSkip;
  return quorl::search::use_fused_bound_value(std::getenv("SEPARATE_BOUND"), std::getenv("FUSED_BOUND"))
             ? SearchMode::kFused
             : SearchMode::kSeparate;
}

const char* search_mode_name(SearchMode mode) {
  switch (mode) {
    case SearchMode::kFused: return "fused";
    case SearchMode::kSeparate: return "separate";
    case SearchMode::kSkip: return "skip";
  }
  return "?";
}

bool reports_standard_messages(int variant, SearchMode mode, int k) {
  return !(variant == QK_VARIANT_H100TMA && mode == SearchMode::kFused && k < 2048);
}

}  // namespace qkmine
