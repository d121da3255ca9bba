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
