// Function multiversioning for the encoder's element-wise loops.
//
// Q4D_MULTIVERSION clones a function for AVX-512 and AVX2 besides the
// baseline instruction set; the loader picks the clone once, at start-up.
// Use it only on loops whose results do not depend on the instruction set:
// the build forbids contraction, so vectorised multiplies, adds and
// conversions round exactly as the scalar ones do.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(Q4D_NO_MULTIVERSION)
#define Q4D_MULTIVERSION __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define Q4D_MULTIVERSION
#endif
