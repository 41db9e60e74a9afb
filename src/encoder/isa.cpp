#include "encoder/isa.h"

#include <array>

namespace q4d {
namespace {

struct IsaList {
  std::array<Isa, 3> isas;
  int count;
};

IsaList detect() {
  IsaList list{{ISA_PORTABLE}, 1};
#if defined(Q4D_ISA_DISPATCH)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("popcnt")) {
    list.isas[list.count++] = ISA_AVX2;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq")) {
      list.isas[list.count++] = ISA_AVX512;
    }
  }
#endif
  return list;
}

const IsaList& isa_list() {
  static const IsaList list = detect();
  return list;
}

}  // namespace

std::span<const Isa> runnable_isas() {
  const IsaList& list = isa_list();
  return {list.isas.data(), static_cast<std::size_t>(list.count)};
}

Isa machine_isa() {
  static const Isa best = runnable_isas().back();
  return best;
}

const char* isa_name(Isa isa) {
  switch (isa) {
    case ISA_AVX2: return "avx2+fma";
    case ISA_AVX512: return "avx512f";
    default: return "portable";
  }
}

}  // namespace q4d
