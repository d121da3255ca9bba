#include "attempt.h"

#include <algorithm>

#include "../../cuda/frame/shape_check.h"
#include "fast_commit.h"
#include "quorl_ref/bonly.hpp"
#include "quorl_ref/grid.hpp"

namespace quorl::verify {
namespace {

constexpr int64_t kSlice = 128;    // values of k per message word
constexpr int kMessageWords = 16;  // slices that enter a message

const char* shape_problem(ShapeFault fault) {
  switch (fault) {
    case ShapeFault::kNone: return "";
    case ShapeFault::kRows: return "m must be a positive multiple of 128";
    case ShapeFault::kCols: return "n must be a positive multiple of 256";
    case ShapeFault::kDepth: return "k must be a positive multiple of 64";
    case ShapeFault::kChunksA: return "m*k must be 1024 * 2^L bytes";
    case ShapeFault::kChunksB: return "n*k must be 1024 * 2^L bytes";
    case ShapeFault::kNullLabels: return "no grid labels";
  }
  return "unsupported shape";
}

// Row r of `plain` (rows of k) with its noise added.
std::vector<int8_t> noised_row(const PlainMatrix& plain, int64_t k, int64_t r, const Cv& seed,
                               const Cv& tag, const std::vector<uint16_t>& selectors) {
  int8_t noise[ref::kNoiseWidth];
  ref::noise_row(seed, tag, r, noise);
  std::vector<int8_t> row(static_cast<size_t>(k));
  plain.read(r * k, k, row.data());
  for (int64_t j = 0; j < k; ++j) row[j] = ref::fuse_element(row[j], noise, selectors[j]);
  return row;
}

}  // namespace

Cv to_cv(const uint32_t words[8]) {
  Cv cv;
  std::copy(words, words + 8, cv.begin());
  return cv;
}

std::string record_problem(const QvRecord& r) {
  if (r.mode != QV_MODE_FULL && r.mode != QV_MODE_BONLY) return "unknown mode";
  const int32_t label = 0;
  const char* shape = shape_problem(check_shape(r.m, r.n, r.k, &label, &label));
  if (*shape) return shape;
  if (int64_t(r.m) * r.k > kMaxMatrixBytes || int64_t(r.n) * r.k > kMaxMatrixBytes) {
    return "matrices above 4 GiB each are not verified";
  }
  if (r.mode == QV_MODE_BONLY && r.nonce < r.first_nonce) return "nonce is below first_nonce";
  const int64_t cells = int64_t(ref::standard_grid_rows(r.m)) * ref::standard_grid_cols(r.n);
  if (r.found < -1 || r.found >= cells) {
    return "found is not -1 or a cell of the " + std::to_string(ref::standard_grid_rows(r.m)) +
           " x " + std::to_string(ref::standard_grid_cols(r.n)) + " grid";
  }
  if (r.has_hash && r.found < 0) return "a hash is given but no cell is claimed";
  return "";
}

Matrices attempt_matrices(const QvRecord& r, int /*threads*/) {
  const int64_t a_bytes = int64_t(r.m) * r.k, b_bytes = int64_t(r.n) * r.k;
  if (r.mode == QV_MODE_FULL) return {PlainMatrix(r.seed_a, a_bytes), PlainMatrix(r.seed_b, b_bytes)};
  PlainMatrix b(r.prepare_seed ^ ref::kPrepareBSeedXor, b_bytes);
  b.with_nonces(r.first_nonce, r.nonce);
  return {PlainMatrix(r.prepare_seed, a_bytes), b};
}

Roots attempt_roots(const QvRecord& r, const Matrices& plain, int threads) {
  const Cv key = to_cv(r.key);
  Roots roots;
  roots.a_hash = fast_commit(key, plain.a, threads);
  roots.b_hash = fast_commit(key, plain.b, threads);
  roots.seeds = ref::derive_seeds(key, roots.a_hash, roots.b_hash);
  return roots;
}

Cell attempt_cell(const QvRecord& r, const Matrices& plain, const ref::NoiseSeeds& seeds,
                  int32_t index) {
  const int64_t k = r.k;
  const int32_t grid_cols = ref::standard_grid_cols(r.n);
  const int64_t R = index / grid_cols, C = index % grid_cols;
  // Members: rows r0 and r0 + 8; columns 256 (C/4) + 8u + 2 (C%4) + {0, 1}.
  const int64_t r0 = 16 * (R / 8) + R % 8;
  const std::vector<uint16_t> a_sel = ref::selector_table(seeds.a_seed, ref::a_tag(), k);
  const std::vector<uint16_t> b_sel = ref::selector_table(seeds.b_seed, ref::b_tag(), k);
  std::vector<std::vector<int8_t>> rows, cols;
  for (const int64_t row : {r0, r0 + 8}) {
    rows.push_back(noised_row(plain.a, k, row, seeds.a_seed, ref::a_tag(), a_sel));
  }
  for (int64_t u = 0; u < 32; ++u) {
    for (int64_t half = 0; half < 2; ++half) {
      const int64_t col = 256 * (C / 4) + 8 * u + 2 * (C % 4) + half;
      cols.push_back(noised_row(plain.b, k, col, seeds.b_seed, ref::b_tag(), b_sel));
    }
  }
  Cell cell{};
  const int64_t slices = std::min<int64_t>(k / kSlice, kMessageWords);
  for (const auto& a : rows) {
    for (const auto& b : cols) {
      uint32_t sum = 0;  // int32 accumulation with wrap-around, as the tensor cores do
      for (int64_t s = 0; s < slices; ++s) {
        for (int64_t j = s * kSlice; j < (s + 1) * kSlice; ++j) sum += uint32_t(int32_t(a[j]) * b[j]);
        cell.message[s] ^= sum;
      }
    }
  }
  ref::Block block;
  std::copy(cell.message.begin(), cell.message.end(), block.begin());
  cell.hash = ref::keyed_hash_block(seeds.a_seed, block);
  return cell;
}

}  // namespace quorl::verify
