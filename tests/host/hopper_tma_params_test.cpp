// What the fused engine asks the TMA encoder for, and the encoder's
// documented requirements it is checked against before anything is encoded:
// every requirement refuses on its own, and every shape qk_init accepts
// passes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "../../cuda/gemm/hopper/engine_config.h"
#include "../../cuda/gemm/hopper/tma_copy.h"
#include "../../cuda/gemm/hopper/tma_params.h"

namespace quorl::hopper {
namespace {

const auto* const kAligned = reinterpret_cast<const int8_t*>(uintptr_t{1} << 12);

TEST(HopperTmaParams, StagesAskForTheirBoxesAndSwizzle) {
  const TmaParams a = stage_tma_params_of<TmaBoundConfig::StageLayoutA>(kAligned, 512, 2048);
  EXPECT_EQ(a.address, kAligned);
  EXPECT_EQ(a.dims[0], 2048u);  // k first
  EXPECT_EQ(a.dims[1], 512u);
  EXPECT_EQ(a.row_stride, 2048u);
  EXPECT_EQ(a.box[0], 128u);
  EXPECT_EQ(a.box[1], 128u);
  EXPECT_EQ(a.element_strides[0], 1u);
  EXPECT_EQ(a.element_strides[1], 1u);
  EXPECT_EQ(a.swizzle_bytes, 128u);
  const TmaParams b = stage_tma_params_of<TmaBoundConfig::StageLayoutB>(kAligned, 256, 1024);
  EXPECT_EQ(b.box[0], 128u);
  EXPECT_EQ(b.box[1], 256u);
  EXPECT_EQ(b.dims[1], 256u);
  EXPECT_EQ(b.swizzle_bytes, 128u);
}

TEST(HopperTmaParams, EachRequirementRefusesOnItsOwn) {
  const TmaParams good = stage_tma_params(kAligned, 256, 2048, 128, 128, 128);
  ASSERT_EQ(tma_params_fault(good), nullptr);
  struct Case {
    const char* what;
    void (*spoil)(TmaParams&);
    const char* fault;
  };
  const Case cases[] = {
      {"address 8 past alignment", [](TmaParams& p) { p.address = kAligned + 8; },
       "global address not 16-byte aligned"},
      {"k of 0", [](TmaParams& p) { p.dims[0] = 0; }, "global dimension outside 1 .. 2^32"},
      {"2^32 + 1 rows", [](TmaParams& p) { p.dims[1] = (uint64_t{1} << 32) + 1; },
       "global dimension outside 1 .. 2^32"},
      {"stride of 2056", [](TmaParams& p) { p.row_stride = 2056; },
       "row stride not a multiple of 16 bytes"},
      {"stride of 2^40", [](TmaParams& p) { p.row_stride = uint64_t{1} << 40; },
       "row stride not below 2^40 bytes"},
      {"stride shorter than a row", [](TmaParams& p) { p.row_stride = 1024; },
       "row stride shorter than a row"},
      {"box of 257 rows", [](TmaParams& p) { p.box[1] = 257; }, "box dimension outside 1 .. 256"},
      {"box of 0 bytes", [](TmaParams& p) { p.box[0] = 0; }, "box dimension outside 1 .. 256"},
      {"box row of 120 bytes", [](TmaParams& p) { p.box[0] = 120; },
       "box row not a multiple of 16 bytes"},
      {"box row wider than a 64-byte swizzle", [](TmaParams& p) { p.swizzle_bytes = 64; },
       "box row wider than the swizzle span"},
      {"element stride of 9", [](TmaParams& p) { p.element_strides[1] = 9; },
       "element stride outside 1 .. 8"},
      {"element stride of 0", [](TmaParams& p) { p.element_strides[0] = 0; },
       "element stride outside 1 .. 8"},
  };
  for (const Case& c : cases) {
    TmaParams p = good;
    c.spoil(p);
    const char* fault = tma_params_fault(p);
    ASSERT_NE(fault, nullptr) << c.what;
    EXPECT_EQ(std::string(fault), c.fault) << c.what;
  }
  // Unswizzled boxes may be as wide as 256 bytes.
  TmaParams wide = good;
  wide.swizzle_bytes = 0;
  wide.box[0] = 256;
  EXPECT_EQ(tma_params_fault(wide), nullptr);
}

TEST(HopperTmaParams, EveryShapeQkInitAcceptsPasses) {
  // m a multiple of 128, k of 64, m k a power-of-two count of chunks: the
  // smallest, the usual and the largest, for both operands' boxes.
  struct Shape {
    int rows, k;
  };
  for (const Shape s : {Shape{128, 64}, Shape{256, 64}, Shape{128, 2048}, Shape{8192, 2048},
                        Shape{65536, 65536}, Shape{1 << 30, 1 << 30}}) {
    EXPECT_EQ(
        tma_params_fault(stage_tma_params_of<TmaBoundConfig::StageLayoutA>(kAligned, s.rows, s.k)),
        nullptr)
        << s.rows << " x " << s.k;
    EXPECT_EQ(
        tma_params_fault(stage_tma_params_of<TmaBoundConfig::StageLayoutB>(kAligned, s.rows, s.k)),
        nullptr)
        << s.rows << " x " << s.k;
  }
}

}  // namespace
}  // namespace quorl::hopper
