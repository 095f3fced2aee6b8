#include "stream/cpu.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif
#if defined(_WIN32) && !defined(__SSE2__)
#include <windows.h>
#endif

int32_t g_cpu_features = CPU_UNKNOWN;

namespace {

#if defined(_WIN32) && !defined(__SSE2__)
// Asked through GetProcAddress, as Windows 95's kernel32 lacks the function;
// a system without it, or one that cannot say so, takes the plain paths.
bool cpu_system_saves_sse2()
{
    using feature_fn = BOOL(WINAPI *)(DWORD);
    auto present = reinterpret_cast<feature_fn>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsProcessorFeaturePresent")));
    return present && present(PF_XMMI64_INSTRUCTIONS_AVAILABLE);
}
#else
bool cpu_system_saves_sse2()
{
    return true;
}
#endif

int32_t cpu_ask()
{
#if defined(__i386__) || defined(__x86_64__)
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(d & bit_SSE2) || !cpu_system_saves_sse2())
        return 0;
    if (!(c & bit_PCLMUL))
        return CPU_SSE2;
    // The system keeps the 256-bit registers where it has turned on their
    // state (bits 1 and 2 of XCR0).
    unsigned lo = 0, hi;
    if ((c & bit_OSXSAVE) && (c & bit_AVX))
        __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    bool wide = (lo & 6) == 6 && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2) && (c & bit_VPCLMULQDQ);
    return CPU_SSE2 | CPU_PCLMUL | (wide ? CPU_WIDE_CLMUL : 0);
#else
    return 0;
#endif
}

}  // namespace

int32_t cpu_features()
{
    if (g_cpu_features == CPU_UNKNOWN)
        g_cpu_features = cpu_ask();
    return g_cpu_features;
}
