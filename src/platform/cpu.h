// What the processor offers for the vector paths of the searches and decoders.
#pragma once

namespace kestrox {

// Each level includes the ones before it.
enum class CpuLevel {
  kBaseline,  // what the build requires: x86-64 (SSE2), or any other processor
  kSsse3,     // SSSE3 byte shuffles
  kAvx2,      // AVX2, with POPCNT and BMI1
  kAvx512,    // AVX-512 F, BW, VBMI and VBMI2, with POPCNT and BMI2
};

// The level the vector paths are chosen by: the highest this processor and system support, or
// the limit below. The processor is asked on the first call only, so that a run that never
// searches or decodes never asks.
CpuLevel cpu_level();

// What the processor itself supports, whatever the limit.
CpuLevel processor_level();

// Makes cpu_level() answer at most `highest` from now on, so that the tests and fuzz targets can
// check every path this processor can run against the same reference. The program never calls it.
void limit_cpu_level(CpuLevel highest);

}  // namespace kestrox
