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

void qzd_next(qzd_state *s, int32_t n)
{
    memmove(s->window, s->window + n, QZD_WINDOW);
    s->made += static_cast<uint32_t>(n);
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

}  // namespace

// The limits are tested once per token: a literal run or a copy never goes
// past the block, a copy of new data never before the new file's start or
// past the window, an old copy never outside the old file.
int32_t qzd_read_block(strm *in, qzd_state *s, qzd_old *o, int32_t *n)
{
    int32_t head = qzt_block_head(in, QZD_SYNC, n);
    if (head != QZT_OK)
        return head;
    qzd_bits b = {in, 0, 0};
    uint8_t *const start = s->window + QZD_WINDOW;
    uint8_t *out = start;
    uint8_t *const lim = start + *n;
    int32_t status = QZT_OK;
    for (;;) {
        uint32_t run = b.gamma();
        if (run == 0 || run - 1 > static_cast<uint32_t>(lim - out)) {
            status = QZT_CORRUPT;
            break;
        }
        for (uint32_t i = 1; i < run; i++)
            *out++ = static_cast<uint8_t>(b.get(8));
        s->old_pos += run - 1;
        if (out == lim)
            break;
        if (b.get(1)) {
            uint32_t z = b.gamma() - 1;
            uint32_t len = b.gamma();
            // Unsigned wrap-around gives the signed offset.
            uint32_t from = s->old_pos + qzd_unzigzag(z);
            if (z == 0xFFFFFFFFu || len == 0 || len > static_cast<uint32_t>(lim - out) || from > o->size ||
                len > o->size - from || !qzd_old_copy(o, from, out, len)) {
                status = QZT_CORRUPT;
                break;
            }
            uint32_t changes = b.gamma() - 1;
            if (changes == 0xFFFFFFFFu) {
                status = QZT_CORRUPT;
                break;
            }
            uint32_t at = 0;
            uint32_t shift = s->made + static_cast<uint32_t>(out - start) - from;
            for (uint32_t i = 0; i < changes; i++) {
                uint32_t gap = b.gamma() - 1;
                if (gap == 0xFFFFFFFFu || gap >= len - at) {
                    status = QZT_CORRUPT;
                    break;
                }
                at += gap;
                qzd_change c;
                if (b.get(1)) {
                    uint32_t r = b.gamma() - 1;
                    if (r >= QZD_CHANGES) {
                        status = QZT_CORRUPT;
                        break;
                    }
                    c = s->change[r];
                    memmove(s->change + 1, s->change, r * sizeof s->change[0]);
                } else {
                    if (!b.get(1)) {
                        c = {QZD_BYTE, b.get(8)};
                    } else {
                        c.kind = b.get(1) ? QZD_RELATIVE : QZD_WORD;
                        uint32_t v = b.gamma();
                        if (v == 0) {
                            status = QZT_CORRUPT;
                            break;
                        }
                        c.value = qzd_unzigzag(v - 1);
                    }
                    // A new change takes the last one's place.
                    memmove(s->change + 1, s->change, (QZD_CHANGES - 1) * sizeof s->change[0]);
                }
                s->change[0] = c;
                if (c.kind == QZD_BYTE) {
                    out[at++] += static_cast<uint8_t>(c.value);
                    continue;
                }
                if (len - at < 4) {
                    status = QZT_CORRUPT;
                    break;
                }
                uint32_t word = static_cast<uint32_t>(out[at]) | out[at + 1] << 8 | out[at + 2] << 16 |
                                static_cast<uint32_t>(out[at + 3]) << 24;
                // A relative word moves by its target's shift less the copy's own.
                word += c.kind == QZD_RELATIVE ? c.value - shift : c.value;
                for (int k = 0; k < 4; k++)
                    out[at++] = static_cast<uint8_t>(word >> 8 * k);
            }
            if (status != QZT_OK)
                break;
            s->old_pos = from + len;
            out += len;
        } else {
            uint32_t dist = s->dist;
            if (!b.get(1))
                dist = b.gamma();
            uint32_t len = b.gamma();
            if (dist == 0 || dist > QZD_WINDOW || dist > s->made + static_cast<uint32_t>(out - start) || len == 0 ||
                len > static_cast<uint32_t>(lim - out)) {
                status = QZT_CORRUPT;
                break;
            }
            s->dist = dist;
            const uint8_t *from = out - dist;
            for (uint32_t i = 0; i < len; i++)
                out[i] = from[i];
            out += len;
        }
        if (out == lim)
            break;
    }
    if (status == QZT_CORRUPT)
        memset(out, 0, static_cast<size_t>(lim - out));
    return status;
}
