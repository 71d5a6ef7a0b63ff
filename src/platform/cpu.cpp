// Which vector instructions the processor has and the system enables, asked once on first use.
#include "platform/cpu.h"

#include <cstdint>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#if defined(__has_include)
#if __has_include(<sys/platform/x86.h>)
// glibc 2.33 to 2.36 write C's _Bool in this header, which clang's C++ does not know.
#define _Bool bool
#include <sys/platform/x86.h>
#undef _Bool
#define KESTROX_GLIBC_CPU_FEATURES 1
#endif
#endif
#if !KESTROX_GLIBC_CPU_FEATURES
#include <cpuid.h>
#endif
#define KESTROX_X86 1
#endif

namespace kestrox {

namespace {

#if KESTROX_GLIBC_CPU_FEATURES
// The C library has asked the processor already, for its own string functions: a CPUID
// instruction costs microseconds in a virtual machine, where it traps to the hypervisor.
CpuLevel ask_processor() {
  if (!CPU_FEATURE_ACTIVE(SSSE3)) return CpuLevel::kBaseline;
  if (!CPU_FEATURE_ACTIVE(AVX2) || !CPU_FEATURE_ACTIVE(POPCNT) || !CPU_FEATURE_ACTIVE(BMI1)) {
    return CpuLevel::kSsse3;
  }
  const bool avx512 = CPU_FEATURE_ACTIVE(AVX512F) && CPU_FEATURE_ACTIVE(AVX512BW) &&
                      CPU_FEATURE_ACTIVE(AVX512_VBMI) && CPU_FEATURE_ACTIVE(AVX512_VBMI2) &&
                      CPU_FEATURE_ACTIVE(BMI2);
  return avx512 ? CpuLevel::kAvx512 : CpuLevel::kAvx2;
}
#elif KESTROX_X86
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
  if (!has(ecx, 27) || !has(ecx, 28) || !has(ecx, 23)) return CpuLevel::kSsse3;  // AVX, POPCNT
  const std::uint64_t state = saved_state();
  if ((state & 0x6) != 0x6) return CpuLevel::kSsse3;  // XMM and YMM
  unsigned leaf7_ebx = 0, leaf7_ecx = 0;
  if (__get_cpuid_count(7, 0, &eax, &leaf7_ebx, &leaf7_ecx, &edx) == 0) return CpuLevel::kSsse3;
  if (!has(leaf7_ebx, 5) || !has(leaf7_ebx, 3)) return CpuLevel::kSsse3;  // AVX2, BMI1
  const bool avx512 = has(leaf7_ebx, 16) && has(leaf7_ebx, 30) &&         // F, BW
                      has(leaf7_ecx, 1) && has(leaf7_ecx, 6) &&           // VBMI, VBMI2
                      has(leaf7_ebx, 8) &&                                // BMI2
                      (state & 0xE6) == 0xE6;                             // opmask, ZMM 0-31
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
