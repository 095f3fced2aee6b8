// What the processor offers that the decoders and the CRC may use.
//
// cpu_features() answers once, then from g_cpu_features: CPU_SSE2 (always
// on 64-bit builds) and CPU_PCLMUL (carry-less multiplication, with SSE2).
// On 32-bit Windows the system must also say that it saves SSE2's registers
// across task switches: Windows 95 and NT 4 do not, and the instructions
// would fault there whatever the processor. Every path that uses them has a
// plain one beside it; a test sets g_cpu_features to 0 to take those.
#pragma once

#include <cstdint>

enum : int32_t {
    CPU_SSE2 = 1,
    CPU_PCLMUL = 2,
    CPU_UNKNOWN = -1
};
extern int32_t g_cpu_features;
int32_t cpu_features();
