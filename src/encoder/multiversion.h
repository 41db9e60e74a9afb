// Function multiversioning for the encoder's element-wise loops.
//
// Q4D_MULTIVERSION clones a function for AVX-512 and AVX2 besides the
// baseline instruction set; the loader picks the clone once, at start-up.
// Use it only on loops whose results do not depend on the instruction set:
// the build forbids contraction, so vectorised multiplies, adds and
// conversions round exactly as the scalar ones do.
//
// Q4D_FMA_MULTIVERSION clones a function that calls std::fma for machines with
// fused multiply-add instructions, where each call becomes one instruction
// instead of a library call. std::fma rounds once either way: the clone
// changes the speed, never the bits.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(Q4D_NO_MULTIVERSION)
#define Q4D_MULTIVERSION __attribute__((target_clones("avx512f", "avx2", "default")))
#define Q4D_FMA_MULTIVERSION __attribute__((target_clones("fma", "default")))
#else
#define Q4D_MULTIVERSION
#define Q4D_FMA_MULTIVERSION
#endif
