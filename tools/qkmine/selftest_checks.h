// qkmine selftest's checks: exported calls of one build on one small shape,
// each against the reference model. Needs a GPU.
#pragma once

#include <string>
#include <vector>

#include "gpu_builds.h"

namespace qkmine {

struct CheckResult {
  std::string call;    // "qk_mine_full", ...
  bool pass = false;
  std::string detail;  // why it failed ("" when it passed)
};

struct SelftestShape {
  int m, n, k;
  std::string text() const;  // "128x256x2048"
};

// The shapes `qkmine selftest` and the device tier check: small enough for
// the reference model; k = 1024 also exercises the h100tma fused engine's
// own message form.
inline const SelftestShape kSelftestShapes[] = {{128, 256, 2048}, {256, 256, 1024}};

// Every check of `build` on `shape` on GPU `device`, in a fixed order; a
// build that cannot create a context gives one failed "qk_init" entry.
std::vector<CheckResult> run_checks(int device, const BuildInfo& build, const SelftestShape& shape,
                                    SearchMode mode);

}  // namespace qkmine
