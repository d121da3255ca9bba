// A fused search reports one cell per launch. To check a search engine cell
// by cell anyway, make one chosen cell the only one that qualifies: under a
// given key, the target equal to the lowest keyed hash of all the cells is
// met by that cell alone. Drawing new keys moves that cell across the grid,
// so a handful of searches can visit every tile, or every round of a
// persistent grid, that the test names.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "b3sum.h"
#include "quorl_ref/engine_messages.hpp"

namespace quorl::test {

struct SoleCell {
  ref::Cv key;
  ref::Cv target;  // the cell's own hash, the lowest under `key`
  int cell;        // grid index R * cols + C
};

// The sole qualifying cell of the messages under `key`; cell -1 when the
// lowest hash is shared (nothing is unique then).
inline SoleCell sole_cell(const std::vector<ref::Block>& messages, const ref::Cv& key) {
  SoleCell best{key, {}, -1};
  bool tie = false;
  for (size_t i = 0; i < messages.size(); ++i) {
    const ref::Cv h = ref::keyed_hash_block(key, messages[i]);
    if (best.cell < 0 || !ref::meets_target(best.target, h)) {  // h < best
      best.target = h, best.cell = int(i), tie = false;
    } else if (h == best.target) {
      tie = true;
    }
  }
  if (tie) best.cell = -1;
  return best;
}

// One key for each group in [0, groups) that `group_of` maps a sole cell
// to, drawing keys from `seed` on until every group has one or `tries` keys
// are spent. The caller asserts the coverage it needs.
inline std::vector<SoleCell> sole_cells_by_group(const std::vector<ref::Block>& messages,
                                                 int groups,
                                                 const std::function<int(int cell)>& group_of,
                                                 uint64_t seed, int tries) {
  std::vector<SoleCell> chosen;
  std::vector<bool> covered(size_t(groups), false);
  for (int i = 0; i < tries && int(chosen.size()) < groups; ++i) {
    const SoleCell s = sole_cell(messages, random_cv(seed + uint64_t(i)));
    if (s.cell < 0) continue;
    const int g = group_of(s.cell);
    if (g < 0 || g >= groups || covered[size_t(g)]) continue;
    covered[size_t(g)] = true;
    chosen.push_back(s);
  }
  return chosen;
}

}  // namespace quorl::test
