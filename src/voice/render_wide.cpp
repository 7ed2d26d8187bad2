// The block's render compiled for processors with AVX2: the same source and the same operations in the same
// order as render.cpp's, in the three-operand encoding, which needs fewer register copies (about 7% fewer
// instructions a frame). Only what is defined in the region below uses AVX2; everything it calls out of line
// is compiled for every processor. The render takes this path only where math::detail::usesHardwareFma().
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <type_traits>

#include "voice/engine_state.h"
#include "voice/render_parts.h"

#if defined(__x86_64__) || defined(__i386__)
// Vectors stay 128 bits wide (-mprefer-vector-width=128 for this file): the gain is in the encoding, and
// 32-byte spills would need a stack alignment that the compiler for 64-bit Windows does not keep.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace solvantis::render::wide {
#include "voice/render_block.inc"
} // namespace solvantis::render::wide
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
