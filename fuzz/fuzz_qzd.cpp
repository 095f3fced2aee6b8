// Fuzz target: any bytes as an old file and a delta against it. The first
// byte is the old file's length (0 to 255), its bytes follow, and the rest
// is the delta, read through windows of 1 to 64 bytes (the second byte).
// The block decoder must stay inside its buffers and the old file whatever
// the input, and agree with a reader that takes the format bit by bit, the
// old file and the new data whole in memory, on every block's status and
// every byte it makes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "piece_strm.h"
#include "qzd_reference.h"
#include "stream/mstrm.h"
#include "stream/qzd.h"

namespace {

void check(bool ok)
{
    if (!ok)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size - 2 < data[0])
        return 0;
    uint32_t window = data[1] % 64 + 1;
    const std::vector<uint8_t> old(data + 2, data + 2 + data[0]);
    const std::vector<uint8_t> delta(data + 2 + data[0], data + size);

    strm *in = piece_reader(delta, window);
    strm *old_file = mstrm_new_reader(old.data(), static_cast<uint32_t>(old.size()));
    qzd_old *o = qzd_old_new(old_file, static_cast<uint32_t>(old.size()));
    qzd_state *s = qzd_state_new();
    std::vector<uint8_t> got;
    int32_t n, status;
    static uint8_t block[QZT_BLOCK];
    do {
        status = qzd_read_block(in, s, o, block, &n);
        if (status == QZT_OK || status == QZT_CORRUPT)
            got.insert(got.end(), block, block + n);
    } while (status == QZT_OK);
    free(s);
    qzd_old_free(o);
    strm_release(old_file);
    strm_release(in);

    strm *ref_in = piece_reader(delta, window);
    std::vector<uint8_t> want;
    check(status == qzd_ref_rebuild(ref_in, old, &want));
    check(got == want);
    strm_release(ref_in);
    return 0;
}
