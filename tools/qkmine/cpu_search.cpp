#include "cpu_search.h"

#include <algorithm>
#include <cstddef>

#include "quorl_ref/engine_messages.hpp"

namespace qkmine {

CpuHit cpu_search(const quorl::ref::AttemptOperands& op, quorl::ref::Dims d,
                  const quorl::ref::Cv& target) {
  const std::vector<quorl::ref::Block> messages =
      quorl::ref::standard_cell_messages(op.a.data(), op.b.data(), d.m, d.n, d.k);
  const std::vector<int> cells = quorl::ref::qualifying_cells(messages, op.seeds.a_seed, target);
  CpuHit hit;
  if (cells.empty()) return hit;
  hit.found = cells.front();
  const quorl::ref::Block& message = messages[size_t(hit.found)];
  std::copy(message.begin(), message.end(), hit.message.begin());
  hit.hash = quorl::ref::keyed_hash_block(op.seeds.a_seed, message);
  return hit;
}

}  // namespace qkmine
