// Fuzz target: any bytes as a compressed stream. The decoder must stay inside
// its block buffer whatever the input; format faults are reported (and, with
// the exit flag set, return) rather than crash.
#include <cstddef>
#include <cstdint>

#include "diag/diag.h"
#include "stream/mstrm.h"
#include "stream/qzt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    g_fatal_exiting = 1;
    strm *in = mstrm_new_reader(data, static_cast<uint32_t>(size));
    strm *q = qzt_open(in);
    if (q) {
        static uint8_t buf[4096];
        while (strm_read(q, buf, sizeof buf) > 0) {
        }
        strm_release(q);
    }
    strm_release(in);
    return 0;
}
