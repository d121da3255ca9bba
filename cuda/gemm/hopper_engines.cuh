// The h100tma build's GEMM engines, as its search pass calls them:
//   launch_gemm_gmma_impl<false, false>  compute-only, 192 x 256 tiles
//   launch_gemm_gmma_impl<false, true>   store-digests into `xored`
//   launch_gemm_hopper_tma_bound         persistent TMA engine with the fused bound
// Other builds see nothing here.
#pragma once

#include "../common/build_name.h"

#define QK_HOPPER_ENGINES_h100tma 1
#if QK_CAT(QK_HOPPER_ENGINES, QK_VARIANT)
#include "hopper/launchers.cuh"
#endif
