// The fused engine's descriptor builder on the host: a tensor the driver's
// encoder cannot take (here an address that is not 16-byte aligned; on a
// machine without a driver the encoder cannot even be reached) prints the
// descriptor and the error, then aborts the process.
#include <gtest/gtest.h>

#include <cstdint>

#include "../../cuda/gemm/hopper/engine_config.h"
#include "../../cuda/gemm/hopper/tma_descriptor.cuh"

namespace {

using Config = quorl::hopper::TmaBoundConfig;

TEST(HopperTmaDescriptorDeathTest, FailedEncodingPrintsTheDescriptorAndAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto* misaligned = reinterpret_cast<const int8_t*>(std::uintptr_t{0x1001});
  EXPECT_DEATH(QK_BUILD_NS::make_stage_tma<Config::StageLayoutA>(misaligned, 128, 2048),
               "TMA Desc Addr:.*format.*dim.*gmem_address.*globalDim.*globalStrides.*boxDim.*"
               "elementStrides.*interleave.*swizzle.*l2Promotion.*oobFill.*"
               "Error: Failed to initialize the TMA descriptor");
}

}  // namespace
