// Fuzz target: any bytes as a payload at offset 0, checked with and without
// decoding every blob. The check must stay inside its buffers and agree with
// itself: decoding only ever finds more faults, never fewer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "diag/diag.h"
#include "payload/check.h"
#include "stream/mstrm.h"
#include "stream/qzt.h"

namespace {

// Counts what the sink is handed per entry: each piece is one block, and a
// record that passed is at least a delete record's length.
struct fuzz_record {
    uint32_t len;
    uint32_t records;
};

void fuzz_sink(payload_check *c, const uint8_t *data, int32_t n)
{
    auto *r = static_cast<fuzz_record *>(c->ctx);
    if (!data) {
        if (n != 0 || r->len < RECORD_HEAD_SIZE)
            abort();
        r->len = 0;
        r->records++;
        return;
    }
    if (n < 1 || n > QZT_BLOCK)
        abort();
    r->len += static_cast<uint32_t>(n);
}

bool fuzz_check(const uint8_t *data, size_t size, bool decode, payload_check *c, fuzz_record *r)
{
    strm *in = mstrm_new_reader(data, static_cast<uint32_t>(size));
    *c = {};
    c->decode_always = decode;
    c->sink = fuzz_sink;
    c->ctx = r;
    bool ok = payload_check_file(in, 0, c);
    strm_release(in);
    if (ok != (c->fault == PAYLOAD_OK) || !payload_fault_text(c->fault))
        abort();
    if (ok && (c->end > size || c->entry != 0))
        abort();
    if (!ok && c->entry > c->count)
        abort();
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    g_fatal_exiting = 1;
    payload_check walked, decoded;
    fuzz_record r1 = {}, r2 = {};
    bool ok = fuzz_check(data, size, false, &walked, &r1);
    bool ok_decoded = fuzz_check(data, size, true, &decoded, &r2);
    // A sound decode means a sound walk; without a trailer both decode.
    if (ok_decoded && !ok)
        abort();
    if (!walked.trailer && (ok != ok_decoded || walked.fault != decoded.fault))
        abort();
    if (ok_decoded && r2.records != decoded.count)
        abort();
    return 0;
}
