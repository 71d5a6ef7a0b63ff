// What the x86 vector paths of the decoders share: the instruction sets each level compiles for.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#define KESTROX_X86_VECTORS 1
// The levels of cpu_level(), as instruction sets for the functions that use them.
#define KESTROX_TARGET_SSSE3 __attribute__((target("ssse3")))
#define KESTROX_TARGET_AVX2 __attribute__((target("avx2,popcnt,bmi")))
#define KESTROX_TARGET_AVX512 \
  __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,popcnt,bmi,bmi2")))

namespace kestrox {

// Lane i of the result is lane index[i] (its low six bits) of `bytes`. The plain intrinsic starts
// from a register that GCC 12 warns of as uninitialised.
KESTROX_TARGET_AVX512 inline __m512i permute_bytes(__m512i index, __m512i bytes) {
  return _mm512_maskz_permutexvar_epi8(~__mmask64{0}, index, bytes);
}

}  // namespace kestrox
#endif
