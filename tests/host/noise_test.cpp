// Seeds, noise and selector tables and fusion: the reference against b3sum
// and known values, and the kernel bodies over their launch grids against the
// reference.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <set>

#include "../../cuda/common/env_switch.h"
#include "../../cuda/gen/noise.h"
#include "../support/b3sum.h"
#include "../support/host_grid.h"
#include "quorl_ref/hex.hpp"
#include "quorl_ref/matrix_gen.hpp"
#include "quorl_ref/noise.hpp"

namespace quorl {
namespace {

using ref::Cv;

std::vector<uint8_t> bytes_of(std::initializer_list<Cv> values) {
  std::vector<uint8_t> out;
  for (const Cv& v : values) {
    uint8_t b[32];
    ref::cv_to_bytes(v, b);
    out.insert(out.end(), b, b + 32);
  }
  return out;
}

TEST(NoiseReference, SeedsAndPrfAreStandardBlake3) {
  const Cv key = test::random_cv(1), a_hash = test::random_cv(2), b_hash = test::random_cv(3);
  const ref::NoiseSeeds s = ref::derive_seeds(key, a_hash, b_hash);
  EXPECT_EQ(ref::to_hex(s.b_seed), test::b3sum_hex(bytes_of({key, b_hash})));
  EXPECT_EQ(ref::to_hex(s.a_seed), test::b3sum_hex(bytes_of({s.b_seed, a_hash})));

  const Cv seed = test::random_cv(4);
  Cv words{};
  words[0] = 77;
  words[1] = 5;
  const Cv prf = ref::noise_prf(seed, ref::a_tag(), 77, 5);
  std::vector<uint8_t> block = bytes_of({words, ref::a_tag()});
  EXPECT_EQ(ref::to_hex(prf), test::b3sum_hex(block, &seed));
  EXPECT_EQ(std::string(block.begin() + 32, block.begin() + 40), "A_tensor");
}

TEST(NoiseReference, SeedDependencies) {
  const Cv key = test::random_cv(5), a = test::random_cv(6), b = test::random_cv(7);
  const Cv other = test::random_cv(8);
  const ref::NoiseSeeds base = ref::derive_seeds(key, a, b);
  const ref::NoiseSeeds new_a = ref::derive_seeds(key, other, b);
  const ref::NoiseSeeds new_b = ref::derive_seeds(key, a, other);
  const ref::NoiseSeeds new_key = ref::derive_seeds(other, a, b);
  EXPECT_EQ(new_a.b_seed, base.b_seed) << "b_seed ignores a_hash";
  EXPECT_NE(new_a.a_seed, base.a_seed);
  EXPECT_NE(new_b.b_seed, base.b_seed);
  EXPECT_NE(new_b.a_seed, base.a_seed);
  EXPECT_NE(new_key.b_seed, base.b_seed);
  EXPECT_NE(new_key.a_seed, base.a_seed);
}

TEST(NoiseReference, SelectorEntriesFromKnownWords) {
  struct Case {
    uint32_t word;
    uint16_t entry;
  };
  const Case cases[] = {{0, 0x0100}, {0xFFFFFFFFu, 0x007F}, {0x80000000u, 0x4000}, {300, 0x2D2C}};
  for (const Case& c : cases) {
    EXPECT_EQ(ref::selector_entry(c.word), c.entry) << c.word;
    EXPECT_EQ(noise::selector_pair(c.word, 128), c.entry) << c.word;
  }
}

TEST(NoiseReference, NoiseBytesFromKnownHashBytes) {
  const struct {
    uint8_t hash_byte;
    int8_t value;
  } cases[] = {{0x00, -32}, {0x40, -32}, {0x3F, 31}, {0xFF, 31}, {0x9C, -4}};
  for (const auto& c : cases) {
    EXPECT_EQ(ref::noise_value(c.hash_byte), c.value) << int(c.hash_byte);
    // The kernel reduces four bytes of a word at once; put the byte in each lane.
    for (int lane = 0; lane < 4; ++lane) {
      const uint32_t word = uint32_t(c.hash_byte) << (8 * lane) | (0x40u << (8 * ((lane + 1) % 4)));
      EXPECT_EQ(int8_t(noise::noise_word(word) >> (8 * lane)), c.value) << int(c.hash_byte);
    }
  }
  // And the tables as a whole stay in range with distinct selector halves.
  const Cv seed = test::random_cv(9);
  for (int8_t v : ref::noise_table(seed, ref::a_tag(), 64)) {
    ASSERT_GE(v, -32);
    ASSERT_LE(v, 31);
  }
  for (uint16_t e : ref::selector_table(seed, ref::b_tag(), 4096)) {
    ASSERT_LT(e & 0xFF, 128);
    ASSERT_LT(e >> 8, 128);
    ASSERT_NE(e & 0xFF, e >> 8);
  }
}

TEST(NoiseReference, TablesGrowWithoutChangingExistingEntries) {
  const Cv seed = test::random_cv(10);
  const std::vector<int8_t> small = ref::noise_table(seed, ref::a_tag(), 3);
  const std::vector<int8_t> big = ref::noise_table(seed, ref::a_tag(), 9);
  EXPECT_TRUE(std::equal(small.begin(), small.end(), big.begin()));
  const std::vector<uint16_t> narrow = ref::selector_table(seed, ref::a_tag(), 13);
  const std::vector<uint16_t> wide = ref::selector_table(seed, ref::a_tag(), 2048);
  EXPECT_TRUE(std::equal(narrow.begin(), narrow.end(), wide.begin()));
  EXPECT_NE(ref::noise_table(seed, ref::b_tag(), 3), small) << "tags separate A from B";
}

TEST(NoiseReference, FusionWrapsAroundEightBits) {
  int8_t row[128] = {};
  row[5] = 31;
  row[9] = -32;
  EXPECT_EQ(ref::fuse_element(127, row, uint16_t(9 << 8 | 5)), -66);  // 127 + 63 = 190
  EXPECT_EQ(noise::fuse_value(127, 31, -32), -66);
  row[7] = 31;
  EXPECT_EQ(ref::fuse_element(-12, row, uint16_t(7 << 8 | 5)), -12) << "equal entries cancel";
}

// --- kernel bodies over their launch grids -----------------------------------

struct Operand {
  int32_t rows, k;
};

std::vector<int8_t> run_gen_uniform(const Cv& seed, const Cv& tag, int32_t rows) {
  std::vector<int8_t> out(size_t(rows) * 128 + 64, 0x11);
  test::run_grid(noise::gen_uniform_shape(rows), [&](Thread1D t) {
    noise::gen_uniform_thread(t, out.data(), rows, tag.data(), seed.data());
  });
  return out;
}

std::vector<uint16_t> run_gen_perm(const Cv& seed, const Cv& tag, int32_t k) {
  std::vector<uint16_t> out(size_t(k) + 8, 0xABCD);
  test::run_grid(noise::gen_perm_shape(k), [&](Thread1D t) {
    noise::gen_perm_thread(t, out.data(), k, 128, tag.data(), seed.data());
  });
  return out;
}

TEST(NoiseKernels, TablesMatchReferenceOverTheirGrids) {
  const Cv seed = test::random_cv(11);
  // Row counts that do not fill the last block; k not a multiple of 8.
  for (const Operand op : {Operand{1, 5}, Operand{33, 13}, Operand{128, 2048}, Operand{200, 1027}}) {
    SCOPED_TRACE(::testing::Message() << op.rows << " rows, k " << op.k);
    const std::vector<int8_t> table = run_gen_uniform(seed, ref::a_tag(), op.rows);
    const std::vector<int8_t> expected = ref::noise_table(seed, ref::a_tag(), op.rows);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), table.begin()));
    EXPECT_TRUE(std::all_of(table.begin() + expected.size(), table.end(),
                            [](int8_t v) { return v == 0x11; }));

    const std::vector<uint16_t> sel = run_gen_perm(seed, ref::b_tag(), op.k);
    const std::vector<uint16_t> expected_sel = ref::selector_table(seed, ref::b_tag(), op.k);
    EXPECT_TRUE(std::equal(expected_sel.begin(), expected_sel.end(), sel.begin()));
    EXPECT_TRUE(std::all_of(sel.begin() + op.k, sel.end(), [](uint16_t v) { return v == 0xABCD; }))
        << "entries past k written";
  }
}

TEST(NoiseKernels, SeedDerivationMatchesReference) {
  const Cv key = test::random_cv(12), a_hash = test::random_cv(13), b_hash = test::random_cv(14);
  Cv seed_a{}, seed_b{};
  test::run_grid({1, 1}, [&](Thread1D t) {
    noise::derive_seeds_thread(t, key.data(), a_hash.data(), b_hash.data(), seed_b.data(),
                               seed_a.data());
  });
  const ref::NoiseSeeds expected = ref::derive_seeds(key, a_hash, b_hash);
  EXPECT_EQ(seed_a, expected.a_seed);
  EXPECT_EQ(seed_b, expected.b_seed);
}

// Runs one fusion kernel's body over blocks first .. last of its grid (every
// fusion kernel takes one row per block).
void run_fuse_blocks(noise::FuseKernel kernel, const int8_t* src, int8_t* dst, const int8_t* table,
                     const uint16_t* sel, int32_t rows, int32_t k, uint32_t first, uint32_t last) {
  const LaunchShape shape = noise::fuse_shape(kernel, rows, k);
  for (uint32_t block = first; block <= last && block < shape.grid; ++block) {
    if (kernel == noise::FuseKernel::kSharedEight) {
      // The 128 staged values, then guard bytes no thread may write.
      std::array<int8_t, noise::kNoiseWidth + 16> staged;
      staged.fill(0x33);
      for (uint32_t t = 0; t < shape.block; ++t) {
        noise::fuse_smem_stage(block, t, table, staged.data());
      }
      EXPECT_TRUE(std::all_of(staged.begin() + noise::kNoiseWidth, staged.end(),
                              [](int8_t v) { return v == 0x33; }))
          << "staging past its 128 values, block " << block;
      for (uint32_t t = 0; t < shape.block; ++t) {
        noise::fuse_smem_compute(block, t, src, dst, staged.data(), sel);
      }
      continue;
    }
    for (uint32_t t = 0; t < shape.block; ++t) {
      const Thread1D th{block, shape.block, t};
      if (kernel == noise::FuseKernel::kGeneral) {
        noise::fuse_noise_thread(th, src, dst, table, sel, rows, k);
      } else {
        noise::fuse_noise8_k2048_thread(th, src, dst, table, sel, rows);
      }
    }
  }
}

// The whole grid.
std::vector<int8_t> run_fuse(noise::FuseKernel kernel, const std::vector<int8_t>& src,
                             const std::vector<int8_t>& table, const std::vector<uint16_t>& sel,
                             int32_t rows, int32_t k) {
  std::vector<int8_t> dst(src.size() + 16, 0x22);
  const LaunchShape shape = noise::fuse_shape(kernel, rows, k);
  EXPECT_GE(shape.grid, uint32_t(rows)) << "a row without a block";
  run_fuse_blocks(kernel, src.data(), dst.data(), table.data(), sel.data(), rows, k, 0, shape.grid - 1);
  return dst;
}

TEST(NoiseKernels, FusionKernelsMatchReference) {
  const Cv seed = test::random_cv(15);
  // Rows of 2048 (all three kernels); rows shorter than a block, exactly one
  // block, one past it, and several blocks with a ragged last pass.
  for (const Operand op : {Operand{3, 2048}, Operand{17, 2048}, Operand{5, 1000}, Operand{9, 64},
                           Operand{4, 256}, Operand{3, 257}}) {
    SCOPED_TRACE(::testing::Message() << op.rows << " rows, k " << op.k);
    // Uniform bytes exercise wrap-around; generated ones never wrap.
    const std::vector<uint8_t> raw = test::random_bytes(size_t(op.rows) * op.k, op.k);
    const std::vector<int8_t> src(raw.begin(), raw.end());
    const std::vector<int8_t> table = ref::noise_table(seed, ref::a_tag(), op.rows);
    const std::vector<uint16_t> sel = ref::selector_table(seed, ref::a_tag(), op.k);
    const std::vector<int8_t> expected =
        ref::noised_operand(src.data(), op.rows, op.k, seed, ref::a_tag());
    std::vector<noise::FuseKernel> kernels = {noise::FuseKernel::kGeneral};
    if (op.k == 2048) {
      kernels.push_back(noise::FuseKernel::kEight);
      kernels.push_back(noise::FuseKernel::kSharedEight);
    }
    for (noise::FuseKernel kernel : kernels) {
      const std::vector<int8_t> dst = run_fuse(kernel, src, table, sel, op.rows, op.k);
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), dst.begin())) << int(kernel);
      EXPECT_TRUE(std::all_of(dst.begin() + expected.size(), dst.end(),
                              [](int8_t v) { return v == 0x22; }))
          << "bytes past the operand written by kernel " << int(kernel);
    }
  }
}

// Address space reserved without memory behind it: pages cost something only
// once touched, so an operand past 4 GiB can be fused a few rows at a time.
class SparseBytes {
 public:
  explicit SparseBytes(uint64_t size) : size_(size) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    data_ = p == MAP_FAILED ? nullptr : static_cast<int8_t*>(p);
  }
  ~SparseBytes() {
    if (data_ != nullptr) ::munmap(data_, size_);
  }
  SparseBytes(const SparseBytes&) = delete;
  SparseBytes& operator=(const SparseBytes&) = delete;
  int8_t* data() const { return data_; }

 private:
  uint64_t size_;
  int8_t* data_;
};

TEST(NoiseKernels, RowsPastFourGiBFuseLikeAnyOther) {
  const struct {
    noise::FuseKernel kernel;
    int32_t k;
  } cases[] = {{noise::FuseKernel::kGeneral, 4160},
               {noise::FuseKernel::kGeneral, 2048},
               {noise::FuseKernel::kEight, 2048},
               {noise::FuseKernel::kSharedEight, 2048}};
  const Cv seed = test::random_cv(18);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "kernel " << int(c.kernel) << ", k " << c.k);
    // The row holding byte 2^32 (cut by it when k = 4160) and its neighbours.
    const int32_t middle = int32_t((uint64_t(1) << 32) / uint64_t(c.k));
    const int32_t rows = middle + 2;
    const uint64_t bytes = uint64_t(rows) * uint64_t(c.k);
    SparseBytes src(bytes), dst(bytes), table(uint64_t(rows) * 128);
    if (src.data() == nullptr || dst.data() == nullptr || table.data() == nullptr) {
      GTEST_SKIP() << "cannot reserve 8 GiB of address space here";
    }
    const std::vector<uint16_t> sel = ref::selector_table(seed, ref::a_tag(), c.k);
    const std::vector<uint8_t> plain = test::random_bytes(3 * size_t(c.k), uint64_t(c.k));
    for (int32_t r = middle - 1; r <= middle + 1; ++r) {
      std::copy_n(plain.begin() + (r - middle + 1) * c.k, c.k, src.data() + uint64_t(r) * c.k);
      ref::noise_row(seed, ref::a_tag(), r, table.data() + uint64_t(r) * 128);
    }
    run_fuse_blocks(c.kernel, src.data(), dst.data(), table.data(), sel.data(), rows, c.k,
                    uint32_t(middle - 1), uint32_t(middle + 1));
    for (int32_t r = middle - 1; r <= middle + 1; ++r) {
      const int8_t* x = src.data() + uint64_t(r) * c.k;
      const int8_t* row_noise = table.data() + uint64_t(r) * 128;
      const int8_t* got = dst.data() + uint64_t(r) * c.k;
      int wrong = 0;
      for (int32_t col = 0; col < c.k; ++col) wrong += got[col] != ref::fuse_element(x[col], row_noise, sel[col]);
      EXPECT_EQ(wrong, 0) << "row " << r << " (bytes from " << uint64_t(r) * c.k << ")";
    }
  }
}

TEST(NoiseKernels, GeneratedOperandsNeverWrap) {
  const Cv seed = test::random_cv(16);
  const std::vector<int8_t> plain = ref::generate(3, 64 * 2048);
  for (int8_t v : ref::noised_operand(plain.data(), 64, 2048, seed, ref::b_tag())) {
    ASSERT_GE(v, -127);
    ASSERT_LE(v, 126);
  }
}

TEST(NoiseKernels, SharedMemorySwitchIsConsultedOnlyForK2048) {
  int reads = 0;
  auto on = [&] { ++reads; return true; };
  auto off = [&] { ++reads; return false; };
  EXPECT_EQ(noise::choose_fuse_kernel(1024, on), noise::FuseKernel::kGeneral);
  EXPECT_EQ(noise::choose_fuse_kernel(4096, on), noise::FuseKernel::kGeneral);
  EXPECT_EQ(reads, 0);
  EXPECT_EQ(noise::choose_fuse_kernel(2048, on), noise::FuseKernel::kSharedEight);
  EXPECT_EQ(noise::choose_fuse_kernel(2048, off), noise::FuseKernel::kEight);
  EXPECT_EQ(reads, 2);
  // SMEM_NOISE values: unset, "0" and non-numbers keep the global-memory kernel.
  for (const auto& [value, on_expected] :
       {std::pair<const char*, int>{nullptr, 0}, {"0", 0}, {"yes", 0}, {"1", 1}, {"2", 1}}) {
    EXPECT_EQ(switch_value(value), on_expected) << (value ? value : "(unset)");
  }
}

}  // namespace
}  // namespace quorl
