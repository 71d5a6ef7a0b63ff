// Asks the processor once, on first use, which vector instructions it has and the system enables.
#include "bytes/cpu.h"

#include <cstdint>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#define KESTROX_CPUID 1
#endif

namespace kestrox {

namespace {

#if KESTROX_CPUID
bool has(unsigned reg, unsigned bit) { return (reg >> bit & 1u) != 0; }

// The register state the system saves on a thread switch (XCR0).
std::uint64_t saved_state() {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return std::uint64_t{high} << 32 | low;
}

CpuLevel ask_processor() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return CpuLevel::kBaseline;
  if (!has(ecx, 9)) return CpuLevel::kBaseline;  // SSSE3
  // Wider registers are of use only if the system saves them: OSXSAVE, then XCR0.
  const bool popcnt = has(ecx, 23);
  if (!has(ecx, 27) || !has(ecx, 28) || !popcnt) return CpuLevel::kSsse3;  // OSXSAVE, AVX
  const std::uint64_t state = saved_state();
  if ((state & 0x6) != 0x6) return CpuLevel::kSsse3;  // XMM and YMM
  unsigned leaf7_ebx = 0, leaf7_ecx = 0;
  if (__get_cpuid_count(7, 0, &eax, &leaf7_ebx, &leaf7_ecx, &edx) == 0) return CpuLevel::kSsse3;
  if (!has(leaf7_ebx, 5) || !has(leaf7_ebx, 3)) return CpuLevel::kSsse3;  // AVX2, BMI1
  const bool avx512 = has(leaf7_ebx, 16) && has(leaf7_ebx, 30) &&  // F, BW
                      has(leaf7_ecx, 1) && has(leaf7_ecx, 6) &&    // VBMI, VBMI2
                      has(leaf7_ebx, 8) &&                         // BMI2
                      (state & 0xE6) == 0xE6;                      // opmask, ZMM 0-31
  return avx512 ? CpuLevel::kAvx512 : CpuLevel::kAvx2;
}
#else
CpuLevel ask_processor() { return CpuLevel::kBaseline; }
#endif

CpuLevel g_limit = CpuLevel::kAvx512;

}  // namespace

CpuLevel processor_level() {
  static const CpuLevel level = ask_processor();
  return level;
}

CpuLevel cpu_level() { return processor_level() < g_limit ? processor_level() : g_limit; }

void limit_cpu_level(CpuLevel highest) { g_limit = highest; }

}  // namespace kestrox
