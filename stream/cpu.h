// What the processor offers that the decoders and the CRC may use.
//
// cpu_features() answers once, then from g_cpu_features: CPU_SSE2 (always
// on 64-bit builds), CPU_PCLMUL (carry-less multiplication, with SSE2) and
// CPU_WIDE_CLMUL (the same on 256-bit registers, with AVX2). The system must
// also save the registers across task switches: for SSE2 on 32-bit Windows,
// as it says (Windows 95 and NT 4 do not, and the instructions would fault
// there whatever the processor); for 256-bit ones, as XGETBV says. Every
// path that uses them has a plain one beside it; a test sets g_cpu_features
// to 0 to take those.
#pragma once

#include <cstdint>

enum : int32_t {
    CPU_SSE2 = 1,
    CPU_PCLMUL = 2,
    CPU_WIDE_CLMUL = 4,
    CPU_UNKNOWN = -1
};
extern int32_t g_cpu_features;
int32_t cpu_features();
