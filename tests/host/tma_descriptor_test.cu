// The fused engine's descriptor builder as the h100tma build compiles it
// (release: CuTe's own asserts are off). Parameters the encoder would refuse,
// or an encoder the driver cannot provide, print the descriptor and the
// reason and abort before anything is encoded; CuTe hands the encoder
// exactly the parameters that were checked.
//
// This executable calls the encoder directly (CUTLASS_ENABLE_DIRECT_CUDA_DRIVER_CALL)
// and supplies it below: it records CuTe's arguments, then passes them on
// to the driver's encoder where there is one.
#include <gtest/gtest.h>

#include <cuda.h>
#include <cudaTypedefs.h>
#include <cuda_runtime.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "../../cuda/gemm/hopper/engine_config.h"
#include "../../cuda/gemm/hopper/tma_descriptor.cuh"

namespace {

struct EncoderCall {
  int calls = 0;
  CUtensorMapDataType type;
  cuuint32_t rank;
  const void* address;
  cuuint64_t dims[2], stride;
  cuuint32_t box[2], element_strides[2];
  CUtensorMapInterleave interleave;
  CUtensorMapSwizzle swizzle;
  CUtensorMapL2promotion l2;
  CUtensorMapFloatOOBfill oob;
};
EncoderCall last_call;

}  // namespace

extern "C" CUresult CUDAAPI cuTensorMapEncodeTiled(
    CUtensorMap* map, CUtensorMapDataType type, cuuint32_t rank, void* address,
    const cuuint64_t* dims, const cuuint64_t* strides, const cuuint32_t* box,
    const cuuint32_t* element_strides, CUtensorMapInterleave interleave, CUtensorMapSwizzle swizzle,
    CUtensorMapL2promotion l2, CUtensorMapFloatOOBfill oob) {
  EncoderCall& c = last_call;
  ++c.calls;
  c.type = type, c.rank = rank, c.address = address;
  c.dims[0] = dims[0], c.dims[1] = dims[1], c.stride = strides[0];
  c.box[0] = box[0], c.box[1] = box[1];
  c.element_strides[0] = element_strides[0], c.element_strides[1] = element_strides[1];
  c.interleave = interleave, c.swizzle = swizzle, c.l2 = l2, c.oob = oob;
  void* encode = nullptr;
  cudaDriverEntryPointQueryResult status;
  if (cudaGetDriverEntryPointByVersion("cuTensorMapEncodeTiled", &encode, 12000, cudaEnableDefault,
                                       &status) == cudaSuccess &&
      status == cudaDriverEntryPointSuccess) {
    return reinterpret_cast<PFN_cuTensorMapEncodeTiled_v12000>(encode)(
        map, type, rank, address, dims, strides, box, element_strides, interleave, swizzle, l2,
        oob);
  }
  std::memset(map, 0x5A, sizeof *map);  // no driver: any non-empty descriptor
  return CUDA_SUCCESS;
}

namespace {

using Config = quorl::hopper::TmaBoundConfig;
const auto* const kAligned = reinterpret_cast<const int8_t*>(uintptr_t{1} << 12);

const char kDump[] =
    "TMA Desc Addr:.*format.*dim.*gmem_address.*globalDim.*globalStrides.*boxDim.*"
    "elementStrides.*interleave.*swizzle.*l2Promotion.*oobFill.*"
    "Error: Failed to initialize the TMA descriptor ";

TEST(HopperTmaDescriptorDeathTest, RefusedParametersPrintTheDescriptorAndAbort) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* what;
    const int8_t* matrix;
    int rows, k;
    const char* reason;
  };
  const Case cases[] = {
      {"misaligned address", reinterpret_cast<const int8_t*>(uintptr_t{0x1001}), 128, 2048,
       "global address not 16-byte aligned"},
      {"k not a multiple of 16", kAligned, 128, 2040, "row stride not a multiple of 16 bytes"},
      {"k of 0", kAligned, 128, 0, "global dimension outside 1 .. 2\\^32"},
      {"negative k", kAligned, 128, -64, "global dimension outside 1 .. 2\\^32"},
      {"no rows", kAligned, 0, 2048, "global dimension outside 1 .. 2\\^32"},
  };
  for (const Case& c : cases) {
    EXPECT_DEATH(QK_BUILD_NS::make_stage_tma<Config::StageLayoutA>(c.matrix, c.rows, c.k),
                 std::string(kDump) + ".*" + c.reason)
        << c.what;
  }
}

TEST(HopperTmaDescriptorDeathTest, AnUnreachableEncoderAbortsBeforeEncoding) {
  if (QK_BUILD_NS::tma_encoder_reachable())
    GTEST_SKIP() << "this machine's driver provides the encoder";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(QK_BUILD_NS::make_stage_tma<Config::StageLayoutA>(kAligned, 128, 2048),
               std::string(kDump) + ".*not reachable");
}

TEST(HopperTmaDescriptor, AcceptedShapesEncodeWhereTheDriverCan) {
  if (!QK_BUILD_NS::tma_encoder_reachable())
    GTEST_SKIP() << "no driver provides the TMA encoder here";
  for (const int k : {64, 2048, 65536}) {
    const auto tma = QK_BUILD_NS::make_stage_tma<Config::StageLayoutB>(kAligned, 4096, k);
    const auto* desc = reinterpret_cast<const unsigned char*>(tma.get_tma_descriptor());
    bool encoded = false;
    for (size_t i = 0; i < sizeof(cute::TmaDescriptor); ++i) encoded |= desc[i] != 0;
    EXPECT_TRUE(encoded) << "k " << k;
  }
}

// What CuTe passes the encoder is what the launcher checked.
TEST(HopperTmaDescriptor, CuteEncodesTheCheckedParameters) {
  struct Shape {
    int rows, k;
  };
  for (const Shape s : {Shape{128, 64}, Shape{8192, 2048}, Shape{1 << 30, 1 << 30}}) {
    const quorl::hopper::TmaParams a =
        quorl::hopper::stage_tma_params_of<Config::StageLayoutA>(kAligned, s.rows, s.k);
    const quorl::hopper::TmaParams b =
        quorl::hopper::stage_tma_params_of<Config::StageLayoutB>(kAligned, s.rows, s.k);
    for (const quorl::hopper::TmaParams& p : {a, b}) {
      last_call = {};
      if (p.box[1] == Config::kRows) {
        quorl::hopper::build_stage_tma<Config::StageLayoutA>(kAligned, s.rows, s.k);
      } else {
        quorl::hopper::build_stage_tma<Config::StageLayoutB>(kAligned, s.rows, s.k);
      }
      SCOPED_TRACE(::testing::Message() << s.rows << " x " << s.k << ", box rows " << p.box[1]);
      ASSERT_EQ(last_call.calls, 1);
      EXPECT_EQ(last_call.type, CU_TENSOR_MAP_DATA_TYPE_UINT8);
      EXPECT_EQ(last_call.rank, 2u);
      EXPECT_EQ(last_call.address, p.address);
      EXPECT_EQ(last_call.dims[0], p.dims[0]);
      EXPECT_EQ(last_call.dims[1], p.dims[1]);
      EXPECT_EQ(last_call.stride, p.row_stride);
      EXPECT_EQ(last_call.box[0], p.box[0]);
      EXPECT_EQ(last_call.box[1], p.box[1]);
      EXPECT_EQ(last_call.element_strides[0], p.element_strides[0]);
      EXPECT_EQ(last_call.element_strides[1], p.element_strides[1]);
      EXPECT_EQ(last_call.interleave, CU_TENSOR_MAP_INTERLEAVE_NONE);
      EXPECT_EQ(last_call.swizzle,
                p.swizzle_bytes == 128 ? CU_TENSOR_MAP_SWIZZLE_128B : CU_TENSOR_MAP_SWIZZLE_NONE);
      EXPECT_EQ(last_call.l2, CU_TENSOR_MAP_L2_PROMOTION_L2_128B);
      EXPECT_EQ(last_call.oob, CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE);
    }
  }
}

}  // namespace
