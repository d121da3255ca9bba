// Host rules of the library frame: the choice of build, the shapes a context
// accepts, environment switches and the L2 window.
#include <gtest/gtest.h>

#include <atomic>

#include "../../cuda/common/env_switch.h"
#include "../../cuda/frame/l2_window.h"
#include "../../cuda/frame/shape_check.h"
#include "../../dispatch/variant_choice.h"
#include "quorl_kernel.h"

namespace quorl {
namespace {

TEST(VariantChoice, EnvironmentNamesWinExactly) {
  struct Case {
    const char* value;
    int expected;  // on a device of compute capability 8.6
  };
  const Case cases[] = {
      {"sm89", QK_VARIANT_SM89},       {"sm_89", QK_VARIANT_SM89},
      {"sm120a", QK_VARIANT_SM120A},   {"sm_120a", QK_VARIANT_SM120A},
      {"h100tma", QK_VARIANT_H100TMA}, {"h100", QK_VARIANT_H100TMA},
      {"sm90a", QK_VARIANT_H100TMA},   {"sm_90a", QK_VARIANT_H100TMA},
      {"fallback", QK_VARIANT_FALLBACK},
      // Not exact names: ignored, the device decides.
      {"SM89", QK_VARIANT_FALLBACK},   {"", QK_VARIANT_FALLBACK},
      {"sm89 ", QK_VARIANT_FALLBACK},  {"auto", QK_VARIANT_FALLBACK},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(choose_variant(c.value, true, 8, 6), c.expected) << '"' << c.value << '"';
  }
  EXPECT_EQ(choose_variant("SM89", true, 8, 9), QK_VARIANT_SM89);
  EXPECT_EQ(forced_variant(nullptr), -1);
  EXPECT_EQ(forced_variant("sm_90a"), QK_VARIANT_H100TMA);
}

TEST(VariantChoice, ComputeCapabilityDecidesWhenUnset) {
  struct Case {
    int major, minor, expected;
  };
  const Case cases[] = {
      {8, 0, QK_VARIANT_FALLBACK},  {8, 6, QK_VARIANT_FALLBACK}, {8, 7, QK_VARIANT_FALLBACK},
      {8, 9, QK_VARIANT_SM89},      {9, 0, QK_VARIANT_H100TMA},  {9, 1, QK_VARIANT_H100TMA},
      {10, 0, QK_VARIANT_FALLBACK}, {12, 0, QK_VARIANT_SM120A},  {12, 1, QK_VARIANT_SM120A},
      {7, 5, QK_VARIANT_FALLBACK},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(choose_variant(nullptr, true, c.major, c.minor), c.expected)
        << c.major << "." << c.minor;
  }
  EXPECT_EQ(choose_variant(nullptr, false, 9, 0), QK_VARIANT_FALLBACK) << "failed query";
}

TEST(ShapeCheck, AcceptsWhatTheKernelsHandleAndNothingElse) {
  const int32_t labels[1] = {0};
  struct Case {
    int m, n, k;
    ShapeFault expected;
  };
  const Case cases[] = {
      {128, 256, 64, ShapeFault::kNone},      {128, 256, 128, ShapeFault::kNone},
      {8192, 8192, 2048, ShapeFault::kNone},  {256, 512, 2048, ShapeFault::kNone},
      {0, 256, 128, ShapeFault::kRows},       {-128, 256, 128, ShapeFault::kRows},
      {192, 256, 128, ShapeFault::kRows},     {128, 128, 128, ShapeFault::kCols},
      {128, 0, 128, ShapeFault::kCols},       {128, 256, 32, ShapeFault::kDepth},
      {128, 256, 0, ShapeFault::kDepth},      {128, 256, 96, ShapeFault::kDepth},
      {384, 256, 128, ShapeFault::kChunksA},  {128, 768, 128, ShapeFault::kChunksB},
      {128, 256, 192, ShapeFault::kChunksA},
      // 65535 tile columns fill a grid's y extent; one more cannot launch.
      {128, 65535 * 256, 64, ShapeFault::kChunksB},  {128, 1 << 24, 64, ShapeFault::kCols},
      {128, 1 << 23, 64, ShapeFault::kNone},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(check_shape(c.m, c.n, c.k, labels, labels), c.expected)
        << c.m << "x" << c.n << "x" << c.k;
  }
  EXPECT_EQ(check_shape(128, 256, 128, nullptr, labels), ShapeFault::kNullLabels);
  EXPECT_EQ(check_shape(128, 256, 128, labels, nullptr), ShapeFault::kNullLabels);
}

TEST(EnvSwitch, OnlyNonZeroNumbersTurnASwitchOn) {
  struct Case {
    const char* value;
    int expected;
  };
  const Case cases[] = {{nullptr, 0}, {"", 0},  {"0", 0},  {"abc", 0}, {"1", 1},
                        {"2", 1},     {"-1", 1}, {"7x", 1}, {" 3", 1},  {"0x1", 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(switch_value(c.value), c.expected) << (c.value ? c.value : "(unset)");
  }
}

TEST(EnvSwitch, IsReadOnceAndCached) {
  std::atomic<int> cache{-1};
  ::setenv("QK_TEST_SWITCH", "1", 1);
  EXPECT_EQ(cached_switch(cache, "QK_TEST_SWITCH"), 1);
  ::setenv("QK_TEST_SWITCH", "0", 1);
  EXPECT_EQ(cached_switch(cache, "QK_TEST_SWITCH"), 1) << "a later change has no effect";
  ::unsetenv("QK_TEST_SWITCH");
}

TEST(PersistWindow, CoversAUnlessTheDeviceCapsIt) {
  EXPECT_EQ(persist_window_bytes(1 << 20, 0), 1 << 20);
  EXPECT_EQ(persist_window_bytes(1 << 20, 1 << 27), 1 << 20);
  EXPECT_EQ(persist_window_bytes(1 << 28, 1 << 27), 1 << 27);
}

}  // namespace
}  // namespace quorl
