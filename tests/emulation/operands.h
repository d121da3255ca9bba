// Operands of an emulated search and the running dot products the MMAs must
// hold after every slice: P_s[r][c] = sum over j < depth of A[r][j] B[c][j],
// int32 with wrap-around, and zero for rows past m (zero-filled copies).
#pragma once

#include <cstdint>
#include <random>
#include <sstream>
#include <vector>

#include "shared_window.h"

namespace quorl::emu {

struct Operands {
  int m, n, k;
  std::vector<int8_t> a, b;  // m x k and n x k, row-major

  Operands(int m_, int n_, int k_, uint32_t seed)
      : m(m_), n(n_), k(k_), a(size_t(m_) * k_), b(size_t(n_) * k_) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> value(-128, 127);  // the full int8 range
    for (auto& x : a) x = int8_t(value(rng));
    for (auto& x : b) x = int8_t(value(rng));
  }
};

// The running dot products after each of `slices` slices of 128 values of k.
class RunningDots {
 public:
  RunningDots(const Operands& op, int slices)
      : n_(op.n), m_(op.m), dots_(size_t(slices) * op.m * op.n) {
    for (int r = 0; r < op.m; ++r) {
      for (int c = 0; c < op.n; ++c) {
        uint32_t sum = 0;
        for (int s = 0; s < slices; ++s) {
          for (int j = 128 * s; j < 128 * (s + 1) && j < op.k; ++j) {
            sum +=
                uint32_t(int32_t(op.a[size_t(r) * op.k + j]) * int32_t(op.b[size_t(c) * op.k + j]));
          }
          dots_[(size_t(s) * op.m + r) * op.n + c] = int32_t(sum);
        }
      }
    }
  }
  // Through slice s; zero past the last row or column (zero-filled operands).
  int32_t at(int s, int r, int c) const {
    return r < m_ && c < n_ ? dots_[(size_t(s) * m_ + r) * n_ + c] : 0;
  }

 private:
  int n_, m_;
  std::vector<int32_t> dots_;
};

// Compares accumulators with their dot products at fold points; a mismatch
// is a fault of the emulated run.
class FoldCheck {
 public:
  void expect(int32_t got, int32_t want, const char* engine, int tile_row, int tile_col, int thread,
              int slice, int row, int col) {
    ++checked_;
    if (got == want) return;
    std::ostringstream what;
    what << engine << ": tile (" << tile_row << ", " << tile_col << ") thread " << thread
         << " slice " << slice << " element (" << row << ", " << col << ") holds " << got
         << ", the dot product is " << want;
    Faults::log().report(what.str());
  }
  int64_t checked() const { return checked_; }

 private:
  int64_t checked_ = 0;
};

}  // namespace quorl::emu
