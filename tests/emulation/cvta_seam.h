// Included first in every source of the emulation tests. On the GPU CuTe
// takes the shared address of a pointer (for wgmma descriptors) with the
// cvta intrinsic; on the host CuTe has no such path, so here the same call
// is answered by the emulated CTA's shared window (shared_window.cpp). The
// whole executable is compiled with it, so every use of CuTe agrees.
#pragma once

#include <cstddef>

#define CUTE_CVTA_GENERIC_TO_SHARED_ACTIVATED 1
std::size_t __cvta_generic_to_shared(const void* ptr);
