// Every build of the library is this one source compiled with QK_VARIANT set
// to the build's suffix (sm89, sm120a, h100tma or fallback). QK_NAME gives a
// symbol that build's name; QK_BUILD_NS keeps each build's internal C++ code
// apart, so the four builds link into one library without clashing.
#pragma once

#ifndef QK_VARIANT
#error "QK_VARIANT must name the build (sm89, sm120a, h100tma or fallback)"
#endif

#define QK_CAT_(a, b) a##_##b
#define QK_CAT(a, b) QK_CAT_(a, b)
#define QK_NAME(name) QK_CAT(name, QK_VARIANT)
#define QK_BUILD_NS QK_CAT(quorl_build, QK_VARIANT)

#define QK_STR_(x) #x
#define QK_STR(x) QK_STR_(x)
#define QK_VARIANT_NAME QK_STR(QK_VARIANT)

// The build as a number, usable in #if: QK_BUILD_ID is 0 (sm89), 1 (sm120a),
// 2 (h100tma) or 3 (fallback), the build numbers of the handle.
#define QK_BUILD_ID_sm89 0
#define QK_BUILD_ID_sm120a 1
#define QK_BUILD_ID_h100tma 2
#define QK_BUILD_ID_fallback 3
#define QK_BUILD_ID QK_CAT(QK_BUILD_ID, QK_VARIANT)
#define QK_BUILD_IS_SM120A (QK_BUILD_ID == 1)
#define QK_BUILD_IS_H100TMA (QK_BUILD_ID == 2)
