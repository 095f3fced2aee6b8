// Fuzz target: any bytes as a compressed stream. The decoder must stay inside
// its block buffer whatever the input; format faults are reported (and, with
// the exit flag set, return) rather than crash.
//
// The same bytes are also one block, decoded both by the block decoder and by
// a reader that takes the format bit by bit: the first byte sets the size of
// the input's windows (1 to 256 bytes), the next two the block's length, and
// the rest are its coded words. The two must agree on the status and every
// byte, and on a good block also on the bits left and the words after it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "diag/diag.h"
#include "piece_strm.h"
#include "qzt_reference.h"
#include "stream/mstrm.h"
#include "stream/qzt.h"

namespace {

void check(bool ok)
{
    if (!ok)
        abort();
}

void one_block(const uint8_t *data, size_t size)
{
    if (size < 3)
        return;
    uint32_t window = data[0] + 1u;
    int32_t n = (data[1] << 8 | data[2]) % QZT_BLOCK + 1;
    static uint8_t got[QZT_BLOCK], want[QZT_BLOCK];
    const std::vector<uint8_t> words(data + 3, data + size);
    strm *fast = piece_reader(words, window);
    strm *slow = piece_reader(words, window);
    bits b = {0, 0, fast};
    bits r = {0, 0, slow};
    int32_t status = qzt_decode_block(&b, got, n);
    check(status == qzt_ref_decode(&r, want, n));
    check(memcmp(got, want, static_cast<size_t>(n)) == 0);
    if (status == QZT_OK) {
        check(b.nbits == r.nbits && b.acc == r.acc);
        uint8_t rest_got[64], rest_want[64];
        int32_t k = strm_read(fast, rest_got, sizeof rest_got);
        check(k == strm_read(slow, rest_want, sizeof rest_want) && memcmp(rest_got, rest_want, k) == 0);
    }
    strm_release(fast);
    strm_release(slow);
}

}  // namespace

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
    one_block(data, size);
    return 0;
}
