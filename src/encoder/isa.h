// The instruction sets the encoder's hot loops are built for.
//
// A loop exists in up to three builds: portable (the baseline of the target
// machine), AVX2 with fused multiply-add, and AVX-512. The best build the
// processor runs is chosen once per process, the same for every stage. All
// builds give the same bits: contraction is off everywhere, std::fma rounds
// once whether it becomes an instruction or a library call, and vector code
// keeps every element's own order of operations. The tests encode with each
// build the processor runs and compare the bits.
#pragma once

#include <span>

namespace q4d {

enum Isa {
  ISA_PORTABLE = 0,
  ISA_AVX2 = 1,    // AVX2, FMA, POPCNT
  ISA_AVX512 = 2,  // the above and AVX-512 F, BW, VL, DQ
};

// The best build this processor runs; the portable one where the toolchain
// cannot build the others (Q4D_ISA_DISPATCH undefined).
Isa machine_isa();

// Every build this processor runs, portable first.
std::span<const Isa> runnable_isas();

const char* isa_name(Isa isa);

#if defined(Q4D_ISA_DISPATCH)
#define Q4D_TARGET_AVX2 __attribute__((target("avx2,fma,popcnt")))
#define Q4D_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,avx2,fma,popcnt")))

// Body(args...) compiled for one instruction set: Body, a plain function, is
// inlined whole into each copy, so its loops are vectorised (and its std::fma
// calls become instructions) for that set.
template <auto Body, class... Args>
Q4D_TARGET_AVX2 __attribute__((flatten)) void run_avx2(Args... args) {
  Body(args...);
}
template <auto Body, class... Args>
Q4D_TARGET_AVX512 __attribute__((flatten)) void run_avx512(Args... args) {
  Body(args...);
}
#endif

// Runs Body(args...) in the build for `isa`.
template <auto Body, class... Args>
inline void run_for_isa(Isa isa, Args... args) {
#if defined(Q4D_ISA_DISPATCH)
  if (isa == ISA_AVX512) return run_avx512<Body>(args...);
  if (isa == ISA_AVX2) return run_avx2<Body>(args...);
#endif
  (void)isa;
  Body(args...);
}

}  // namespace q4d
