#include <cstdlib>
#include <cstring>

#include "diag/diag.h"
#include "stream/qzd.h"

qzd_old *qzd_old_new(strm *file, uint32_t size)
{
    auto *o = static_cast<qzd_old *>(malloc(sizeof(qzd_old)));
    if (!o) {
        fatal_error("out of memory");
        return nullptr;
    }
    o->file = strm_addref(file);
    o->size = size;
    o->at = 0;
    o->len = 0;
    return o;
}

void qzd_old_free(qzd_old *o)
{
    if (!o)
        return;
    strm_release(o->file);
    free(o);
}

qzd_state *qzd_state_new()
{
    auto *s = static_cast<qzd_state *>(calloc(1, sizeof(qzd_state)));
    if (!s)
        fatal_error("out of memory");
    return s;
}

namespace {

// The old file's bytes [pos, pos + len) into out, through its window; false
// when the file gives fewer.
bool qzd_old_copy(qzd_old *o, uint32_t pos, uint8_t *out, uint32_t len)
{
    while (len > 0) {
        if (pos < o->at || pos >= o->at + o->len) {
            uint32_t want = o->size - pos < QZD_OLD_WINDOW ? o->size - pos : QZD_OLD_WINDOW;
            o->at = pos;
            o->len = 0;
            if (strm_seek(o->file, pos) != pos)
                return false;
            int32_t got = strm_read(o->file, o->buf, static_cast<int32_t>(want));
            if (got <= 0)
                return false;
            o->len = static_cast<uint32_t>(got);
        }
        uint32_t k = o->at + o->len - pos;
        k = k < len ? k : len;
        memcpy(out, o->buf + (pos - o->at), k);
        out += k;
        pos += k;
        len -= k;
    }
    return true;
}

uint32_t qzd_unzigzag(uint32_t z)
{
    return (z & 1) ? ~(z >> 1) : z >> 1;
}

// Bits of the block's words, most significant first.
struct qzd_bits {
    strm *in;
    uint32_t acc;  // held bits at the top
    int32_t nbits;

    uint32_t get(int k)  // 1 to 16 bits
    {
        if (nbits < k) {
            acc |= static_cast<uint32_t>(strm_get16(in)) << (16 - nbits);
            nbits += 16;
        }
        uint32_t v = acc >> (32 - k);
        acc <<= k;
        nbits -= k;
        return v;
    }
    // A gamma value; 0 for a code of more than 31 zeros.
    uint32_t gamma()
    {
        int z = 0;
        while (get(1) == 0)
            if (++z > 31)
                return 0;
        uint32_t v = 1;
        for (int rest = z; rest > 0;) {
            int k = rest < 16 ? rest : 16;
            v = v << k | get(k);
            rest -= k;
        }
        return v;
    }
};

// The next change of an old copy of len bytes at copy, *at bytes in: QZT_OK,
// or QZT_CORRUPT for one that reaches past the copy or names no change.
int32_t qzd_apply_change(qzd_bits *b, qzd_state *s, uint8_t *copy, uint32_t len, uint32_t shift, uint32_t *at)
{
    uint32_t gap = b->gamma() - 1;
    if (gap == 0xFFFFFFFFu || gap >= len - *at)
        return QZT_CORRUPT;
    *at += gap;
    qzd_change c;
    if (b->get(1)) {
        uint32_t r = b->gamma() - 1;
        if (r >= QZD_CHANGES)
            return QZT_CORRUPT;
        c = s->change[r];
        memmove(s->change + 1, s->change, r * sizeof s->change[0]);
    } else {
        if (!b->get(1)) {
            c = {QZD_BYTE, b->get(8)};
        } else {
            c.kind = b->get(1) ? QZD_RELATIVE : QZD_WORD;
            uint32_t v = b->gamma();
            if (v == 0)
                return QZT_CORRUPT;
            c.value = qzd_unzigzag(v - 1);
        }
        // A new change takes the last one's place.
        memmove(s->change + 1, s->change, (QZD_CHANGES - 1) * sizeof s->change[0]);
    }
    s->change[0] = c;
    uint8_t *p = copy + *at;
    if (c.kind == QZD_BYTE) {
        p[0] = static_cast<uint8_t>(p[0] + c.value);
        *at += 1;
        return QZT_OK;
    }
    if (len - *at < 4)
        return QZT_CORRUPT;
    uint32_t word = static_cast<uint32_t>(p[0]) | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    // A relative word moves by its target's shift less the copy's own.
    word += c.kind == QZD_RELATIVE ? c.value - shift : c.value;
    for (int k = 0; k < 4; k++)
        p[k] = static_cast<uint8_t>(word >> 8 * k);
    *at += 4;
    return QZT_OK;
}

}  // namespace

// The limits are tested once per token: a literal run never goes past the
// block or its literals, an old copy never past the block or outside the old
// file, a change never past its copy.
int32_t qzd_read_block(strm *in, qzd_state *s, qzd_old *o, uint8_t *dest, int32_t *n)
{
    int32_t head = qzt_block_head(in, QZD_SYNC, n);
    if (head != QZT_OK)
        return head;
    uint32_t nlits = strm_get16(in);
    if (nlits > static_cast<uint32_t>(*n))
        return QZT_BAD_LENGTH;
    const uint8_t *lit = s->lits;
    const uint8_t *const lits_end = s->lits + nlits;
    int32_t got = strm_read(in, s->lits, static_cast<int32_t>(nlits));
    qzd_bits b = {in, 0, 0};
    uint8_t *out = dest;
    uint8_t *const lim = dest + *n;
    int32_t status = got == static_cast<int32_t>(nlits) ? QZT_OK : QZT_CORRUPT;
    while (status == QZT_OK) {
        uint32_t run = b.gamma() - 1;
        if (run > static_cast<uint32_t>(lim - out) || run > static_cast<uint32_t>(lits_end - lit)) {
            status = QZT_CORRUPT;
            break;
        }
        memcpy(out, lit, run);
        out += run;
        lit += run;
        s->old_pos += run;
        if (out == lim)
            break;
        uint32_t z = b.gamma() - 1;
        uint32_t len = b.gamma();
        // Unsigned wrap-around gives the signed offset.
        uint32_t from = s->old_pos + qzd_unzigzag(z);
        uint32_t changes = b.gamma() - 1;
        if (z == 0xFFFFFFFFu || len == 0 || len > static_cast<uint32_t>(lim - out) || from > o->size ||
            len > o->size - from || changes == 0xFFFFFFFFu || !qzd_old_copy(o, from, out, len)) {
            status = QZT_CORRUPT;
            break;
        }
        uint32_t shift = s->made + static_cast<uint32_t>(out - dest) - from;
        for (uint32_t i = 0, at = 0; i < changes && status == QZT_OK; i++)
            status = qzd_apply_change(&b, s, out, len, shift, &at);
        if (status != QZT_OK)
            break;
        s->old_pos = from + len;
        out += len;
        if (out == lim)
            break;
    }
    if (status == QZT_OK && lit != lits_end)
        status = QZT_CORRUPT;
    if (status == QZT_CORRUPT)
        memset(out, 0, static_cast<size_t>(lim - out));
    s->made += static_cast<uint32_t>(*n);
    return status;
}
