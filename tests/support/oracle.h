// The reference model's verdict on one attempt under the standard grid: the
// bound hash of every cell, the cells a target admits, and targets met by a
// chosen number of cells or attempts.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "quorl_ref/attempt.hpp"
#include "quorl_ref/search.hpp"

namespace quorl::test {

// x < y as 256-bit numbers, word 7 most significant.
inline bool hash_less(const ref::Cv& x, const ref::Cv& y) {
  return std::lexicographical_compare(x.rbegin(), x.rend(), y.rbegin(), y.rend());
}

struct Oracle {
  std::vector<ref::Cv> hashes;  // bound hash of every cell, by grid index

  Oracle(const ref::AttemptOperands& op, ref::Dims d) {
    const ref::Labelling labels = ref::standard_labelling(d.m, d.n);
    const std::vector<uint32_t> messages =
        ref::cell_messages(op.a.data(), op.b.data(), d.m, d.n, d.k, labels);
    for (size_t cell = 0; cell * ref::kMessageWords < messages.size(); ++cell) {
      const uint32_t* message = messages.data() + cell * ref::kMessageWords;
      hashes.push_back(ref::bound_hash(op.seeds.a_seed, message));
    }
  }

  // The target met by exactly the `count` smallest hashes.
  ref::Cv target_for(size_t count) const {
    std::vector<ref::Cv> sorted = hashes;
    std::sort(sorted.begin(), sorted.end(), hash_less);
    return sorted.at(count - 1);
  }

  std::vector<int32_t> qualifying(const ref::Cv& target) const {
    std::vector<int32_t> cells;
    for (size_t i = 0; i < hashes.size(); ++i) {
      if (ref::meets_target(hashes[i], target)) cells.push_back(int32_t(i));
    }
    return cells;
  }

  // -1 exactly when nothing qualifies, else a member of the set.
  ::testing::AssertionResult accepts(int32_t found, const ref::Cv& target) const {
    const std::vector<int32_t> cells = qualifying(target);
    if (cells.empty() ? found == -1
                      : std::find(cells.begin(), cells.end(), found) != cells.end()) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "found " << found << " but " << cells.size() << " cells qualify";
  }
};

// A target that exactly `hits` of the attempts meet (those whose smallest
// hashes are the `hits` smallest), assuming no two attempts share one.
inline ref::Cv target_met_by(const std::vector<Oracle>& attempts, size_t hits) {
  std::vector<ref::Cv> smallest;
  for (const Oracle& o : attempts) smallest.push_back(o.target_for(1));
  std::sort(smallest.begin(), smallest.end(), hash_less);
  return smallest.at(hits - 1);
}

inline const ref::Cv kAllOnes = [] {
  ref::Cv t;
  t.fill(0xFFFFFFFFu);
  return t;
}();

}  // namespace quorl::test
