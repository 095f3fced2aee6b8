#include <cstddef>
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
    for (uint32_t &p : o->page)
        p = QZD_OLD_NONE;
    return o;
}

void qzd_old_free(qzd_old *o)
{
    if (!o)
        return;
    strm_release(o->file);
    free(o);
}

// count probabilities from p on, each at one half. One loop for all the
// models, in the program's small image.
__attribute__((noinline)) static void qzd_probs_init(uint16_t *p, size_t count)
{
    for (size_t k = 0; k < count; k++)
        p[k] = 1 << (QZD_PROB_BITS - 1);
}

void qzd_model_init(qzd_model *m)
{
    qzd_probs_init(reinterpret_cast<uint16_t *>(m), offsetof(qzd_model, reps) / 2);
    for (uint32_t &d : m->reps)
        d = 1;
    m->kinds = 0;
}

void qzd_tok_model_init(qzd_tok_model *m)
{
    qzd_probs_init(reinterpret_cast<uint16_t *>(m), offsetof(qzd_tok_model, last_gap) / 2);
    m->last_gap = 0;
    m->last_change = 0;
}

qzd_state *qzd_state_new()
{
    auto *s = static_cast<qzd_state *>(calloc(1, sizeof(qzd_state)));
    if (!s) {
        fatal_error("out of memory");
    } else {
        qzd_model_init(&s->model);
        qzd_tok_model_init(&s->tok);
    }
    return s;
}

namespace {

// The old file's bytes [pos, pos + len) read into out; false when the file
// gives fewer.
bool qzd_old_read(qzd_old *o, uint32_t pos, uint8_t *out, uint32_t len)
{
    if (strm_seek(o->file, pos) != pos)
        return false;
    while (len > 0) {
        int32_t got = strm_read(o->file, out, static_cast<int32_t>(len));
        if (got <= 0)
            return false;
        out += got;
        len -= static_cast<uint32_t>(got);
    }
    return true;
}

// Reads pages first to first + count - 1 of the old file into their slots,
// as many as lie before the end of the slots, in one read; false when the
// file gives fewer bytes than its size holds there.
bool qzd_old_fill(qzd_old *o, uint32_t first, uint32_t count)
{
    uint32_t slot = first % QZD_OLD_PAGES;
    count = count < QZD_OLD_PAGES - slot ? count : QZD_OLD_PAGES - slot;
    uint32_t at = first * QZD_OLD_PAGE;
    uint32_t want = o->size - at < count * QZD_OLD_PAGE ? o->size - at : count * QZD_OLD_PAGE;
    for (uint32_t k = 0; k < count; k++)
        o->page[slot + k] = QZD_OLD_NONE;
    if (!qzd_old_read(o, at, o->buf + slot * QZD_OLD_PAGE, want))
        return false;
    for (uint32_t k = 0; k < count; k++)
        o->page[slot + k] = first + k;
    return true;
}

// The old file's bytes [pos, pos + len), which lie inside its size, into
// out: from the pages held, the pages the bytes lie in read when they are
// not, or straight from the file into out for the rest of a long copy.
// False when the file gives fewer bytes than its size.
bool qzd_old_copy(qzd_old *o, uint32_t pos, uint8_t *out, uint32_t len)
{
    while (len > 0) {
        uint32_t p = pos / QZD_OLD_PAGE;
        uint32_t slot = p % QZD_OLD_PAGES;
        if (o->page[slot] != p) {
            if (len >= QZD_OLD_DIRECT)
                return qzd_old_read(o, pos, out, len);
            if (!qzd_old_fill(o, p, (pos + len - 1) / QZD_OLD_PAGE - p + 1))
                return false;
        }
        uint32_t off = pos % QZD_OLD_PAGE;
        uint32_t k = QZD_OLD_PAGE - off < len ? QZD_OLD_PAGE - off : len;
        memcpy(out, o->buf + slot * QZD_OLD_PAGE + off, k);
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

// Bits of the block's words, most significant first, in a machine word: 64
// bits on 64-bit builds, 32 on the 32-bit program. Whole words are taken
// ahead from the stream's window while it holds them, and those not used
// go back to it at the block's end (done); a word the window does not hold
// is taken only when a bit of it is needed, which may refill the window.
// So the stream ends the block where a reader that takes each word only when
// it needs it would, and the next block's header follows.
using qzd_acc = uintptr_t;
constexpr int QZD_ACC_BITS = 8 * sizeof(qzd_acc);

struct qzd_bits {
    strm *in;
    qzd_acc acc;  // held bits at the top, zeros below them
    int32_t nbits;

    // As many whole words as fit below the held bits, never more than the
    // window holds: one on the 32-bit build, up to three on 64-bit ones.
    __attribute__((always_inline)) void top_up()
    {
        for (int k = 0; k < QZD_ACC_BITS / 16 - 1; k++) {
            if (nbits >= QZD_ACC_BITS - 16 || in->end - in->next < 2)
                break;
            acc |= static_cast<qzd_acc>(in->next[0] << 8 | in->next[1]) << (QZD_ACC_BITS - 16 - nbits);
            in->next += 2;
            nbits += 16;
        }
    }
    // With fewer than 16 bits held: one more word, which the window may
    // have to be refilled for.
    void fetch()
    {
        top_up();
        if (nbits < 16) {
            acc |= static_cast<qzd_acc>(strm_get16(in)) << (QZD_ACC_BITS - 16 - nbits);
            nbits += 16;
        }
    }
    __attribute__((always_inline)) void skip(int k)  // held bits, so fewer than QZD_ACC_BITS
    {
        acc <<= k;
        nbits -= k;
    }
    __attribute__((always_inline)) uint32_t get(int k)  // 1 to 16 bits
    {
        if (nbits < k)
            fetch();
        auto v = static_cast<uint32_t>(acc >> (QZD_ACC_BITS - k));
        skip(k);
        return v;
    }
    // The words taken ahead and not used go back to the window.
    void done() { in->next -= 2 * (nbits >> 4); }
    static int clz(qzd_acc v)  // v not 0
    {
        if constexpr (sizeof v == 8)
            return __builtin_clzll(v);
        else
            return __builtin_clz(static_cast<uint32_t>(v));
    }
    // A gamma value; 0 for a code of more than 31 zeros, of which 32 are
    // read. A code that the held bits hold whole is taken at once.
    __attribute__((noinline)) uint32_t gamma()
    {
        top_up();
        if (acc != 0) {
            int z = clz(acc);
            if (2 * z + 1 <= nbits) {
                auto v = static_cast<uint32_t>(acc >> (QZD_ACC_BITS - 1 - 2 * z));
                skip(2 * z + 1);
                return v;
            }
        }
        return gamma_rest();
    }
    // The zeros counted a held run at a time, then the value's bits.
    uint32_t gamma_rest()
    {
        int z = 0;
        while (acc == 0) {
            if (z + nbits > 31) {
                nbits -= 32 - z;
                return 0;
            }
            z += nbits;
            nbits = 0;
            fetch();
        }
        int c = clz(acc);  // below nbits: the bits under them are zero
        if (z + c > 31) {
            skip(32 - z);
            return 0;
        }
        skip(c + 1);
        z += c;
        uint32_t v = 1;
        if (z > 16) {
            v = v << 16 | get(16);
            z -= 16;
        }
        return z > 0 ? v << z | get(z) : v;
    }
};

// The range decoder over a coded block's section.
struct qzd_rc {
    const uint8_t *next, *end;
    uint32_t range, code;
    uint32_t move;  // the section's step: QZD_PROB_MOVE, or QZD_TOK_MOVE for tokens

    uint32_t byte() { return next < end ? *next++ : 0; }
    void norm()
    {
        if (range < (1u << 24)) {
            range <<= 8;
            code = code << 8 | byte();
        }
    }
    // The gamma codes' bits, most of a program's delta, are decoded inline;
    // the others by one call, which keeps the code small.
    __attribute__((noinline)) uint32_t bit(uint16_t *p) { return bit_inline(p); }
    __attribute__((always_inline)) uint32_t bit_inline(uint16_t *p)
    {
        uint32_t bound = (range >> QZD_PROB_BITS) * *p, b = code >= bound;
        if (b) {
            code -= bound;
            range -= bound;
            *p = static_cast<uint16_t>(*p - (*p >> move));
        } else {
            range = bound;
            *p = static_cast<uint16_t>(*p + (((1 << QZD_PROB_BITS) - *p) >> move));
        }
        norm();
        return b;
    }
    // A byte as an 8-bit tree, its top bit first: node 1, then node * 2 +
    // bit. Coded against the match byte mb where offs is 0x100: its nodes by
    // mb's bits too while they are the same as its own (offs 0x100 + mb's
    // bit * 0x100), then as any byte's (offs 0, where mb plays no part). A
    // literal's bits are hard to foretell, so they are taken without a
    // branch on them, in a copy of the coder's state that stays in registers.
    __attribute__((noinline)) uint32_t byte8(uint16_t *p, uint32_t mb = 0, uint32_t offs = 0)
    {
        qzd_rc r = *this;
        uint32_t c = 1;
        while (c < 256) {
            mb <<= 1;
            uint32_t b = r.even_bit(&p[offs + (mb & offs) + c]);
            c = c << 1 | b;
            offs &= ~(mb ^ b << 8);
        }
        *this = r;
        return c & 0xFF;
    }
    // bit_inline's bit without a branch on it, for bits that a branch would
    // often guess wrong (near even odds, a literal's); q is *p, which the
    // caller may have read ahead. MOVE 0 is the section's own step.
    template <uint32_t MOVE = 0>
    __attribute__((always_inline)) uint32_t even_bit(uint16_t *p, uint32_t q)
    {
        uint32_t bound = (range >> QZD_PROB_BITS) * q, b = code >= bound, ones = 0u - b;
        uint32_t step = MOVE ? MOVE : move;
        uint32_t up = ((1 << QZD_PROB_BITS) - q) >> step, down = q >> step;
        code -= bound & ones;
        range = bound + ((range - 2 * bound) & ones);
        *p = static_cast<uint16_t>(q + up - ((up + down) & ones));
        norm();
        return b;
    }
    template <uint32_t MOVE = 0>
    __attribute__((always_inline)) uint32_t even_bit(uint16_t *p)
    {
        return even_bit<MOVE>(p, *p);
    }
    // The same through the flat literals' slower step: a flat block is
    // mostly such bytes.
    uint32_t flat8(uint16_t *p)
    {
        uint32_t c = 1, q = p[1];
        while (c < 256) {
            // Both children's probabilities are read while this bit is
            // decoded, off the way from one bit to the next (after the last
            // bit, two of the tree's first nodes, unused).
            uint32_t child = 2 * c & 0xFF, q0 = p[child], q1 = p[child + 1];
            c = c << 1 | even_bit<QZD_FLAT_MOVE>(&p[c], q);
            q = c & 1 ? q1 : q0;
        }
        return c & 0xFF;
    }
    // A gamma value; 0 for a code of more than 31 zeros. The coder's state
    // is worked on in a copy of its own, which stays in registers.
    __attribute__((noinline)) uint32_t gamma(qzd_gamma_model *g)
    {
        qzd_rc r = *this;
        uint32_t v = r.gamma_inline(g);
        *this = r;
        return v;
    }
    __attribute__((always_inline)) uint32_t gamma_inline(qzd_gamma_model *g)
    {
        int z = 0;
        while (!bit_inline(&g->zero[z]))
            if (++z == 32)
                return 0;
        uint32_t v = 1;
        for (int j = 0; j < z; j++) {
            uint32_t b;
            if (j < QZD_TREE) {
                b = even_bit(&g->tree[z][v]);
            } else {
                range >>= 1;
                b = code >= range;
                code -= b ? range : 0;
                norm();
            }
            v = v << 1 | b;
        }
        return v;
    }
};

qzd_rc qzd_rc_start(const uint8_t *sec, uint32_t bytes, uint32_t move)
{
    qzd_rc rc = {sec, sec + bytes, 0xFFFFFFFFu, 0, move};
    for (int k = 0; k < 4; k++)
        rc.code = rc.code << 8 | rc.byte();
    return rc;
}

// The nlits literals of a coded block from its section at sec (bytes long)
// into s->lits and the stream's window, as the sync word's bits say (four
// repeat distances, flat literal bytes): QZT_OK, or QZT_CORRUPT for a match
// outside the window or past the block's literals.
int32_t qzd_decode_lits(qzd_state *s, const uint8_t *sec, uint32_t bytes, uint32_t nlits, uint32_t sync)
{
    bool flat = sync & QZD_FLAT_LITS, reps = sync & QZD_REP_LITS, shorts = sync & QZD_SHORT_REP;
    uint32_t known = reps ? 7 : 3, ctx_shift = 8 - (reps ? QZD_REP_LIT_CTX : QZD_LIT_CTX);
    qzd_rc rc = qzd_rc_start(sec, bytes, QZD_PROB_MOVE);
    qzd_model *m = &s->model;
    constexpr uint32_t mask = QZD_WINDOW - 1;
    uint32_t pos = s->lit_pos, prev = s->ring[(pos - 1) & mask];
    for (uint32_t done = 0; done < nlits;) {
        uint32_t h = m->kinds & known;
        if (!rc.bit(&m->match[h])) {
            uint16_t *p = m->lit[prev >> ctx_shift];
            if (flat)
                prev = rc.flat8(m->flat);
            else if (reps && (h & 1))
                prev = rc.byte8(p, s->ring[(pos - m->reps[0]) & mask], 0x100);
            else
                prev = rc.byte8(p);
            s->ring[pos++ & mask] = static_cast<uint8_t>(prev);
            s->lits[done++] = static_cast<uint8_t>(prev);
            m->kinds = m->kinds << 1 & 7;
            continue;
        }
        // The distance taken moves to the front; a new one comes in there.
        uint32_t w = QZD_REPS - 1, d, len = 0;
        qzd_gamma_model *lens = &m->len;
        if (!rc.bit(&m->rep[h])) {
            d = rc.gamma(&m->dist);
        } else {
            w = 0;
            while (reps && w < QZD_REPS - 1 && rc.bit(&m->which[w][h]))
                w++;
            d = m->reps[w];
            lens = reps ? &m->rep_len : lens;
            len = shorts && w == 0 && !rc.bit(&m->long_rep[h]);
        }
        for (; w > 0; w--)
            m->reps[w] = m->reps[w - 1];
        m->reps[0] = d;
        // A gamma code of too many zeros gives a length of 1, as no length
        // code may.
        if (len == 0 && (len = rc.gamma(lens) + 1) < 2)
            return QZT_CORRUPT;
        if (d == 0 || d > pos || d > QZD_WINDOW || len > nlits - done)
            return QZT_CORRUPT;
        for (uint32_t k = 0; k < len; k++) {
            prev = s->ring[(pos - d) & mask];
            s->ring[pos++ & mask] = static_cast<uint8_t>(prev);
            s->lits[done++] = static_cast<uint8_t>(prev);
        }
        m->kinds = (m->kinds << 1 | 1) & 7;
    }
    s->lit_pos = pos;
    return QZT_OK;
}

// A block's tokens, from its plain words or, where m is set, from its coded
// section through the model: a token's fields and a new change's by a call
// (they come once a token or a new value, and inline they would make the
// program longer), a change's gap, repeat bit and rank inline.
struct qzd_tok_src {
    qzd_bits b;
    qzd_rc rc;
    qzd_tok_model *m;

    __attribute__((noinline)) uint32_t gamma(uint32_t f) { return m ? rc.gamma(&m->field[f]) : b.gamma(); }
    // A change's gap code, its repeat bit and a repeat's rank code (after
    // the gap code g), through the models that the last change picks.
    uint32_t gap() { return m ? rc.gamma(&m->gap[qzd_gap_ctx(m->last_gap)]) : b.gamma(); }
    uint32_t repeat() { return m ? rc.bit(&m->repeat[qzd_repeat_ctx(m->last_change)]) : b.get(1); }
    uint32_t rank(uint32_t g) { return m ? rc.gamma(&m->rank[qzd_rank_ctx(m->last_change, g)]) : b.gamma(); }
    // The change just made, of gap code g, as the next one's models take it.
    void changed(uint32_t g, uint32_t last)
    {
        if (m) {
            m->last_gap = g;
            m->last_change = last;
        }
    }
    __attribute__((noinline)) uint32_t flag(uint32_t k) { return m ? rc.bit(&m->flag[k]) : b.get(1); }
    bool back() { return m && rc.bit(&m->flag[QZD_FLAG_BACK]); }
    bool near() { return m && rc.bit(&m->flag[QZD_FLAG_NEAR]); }
    uint32_t byte() { return m ? rc.byte8(m->byte) : b.get(8); }
};

// The next change of an old copy of len bytes at copy, *at bytes in: QZT_OK,
// or QZT_CORRUPT for one that reaches past the copy or names no change.
__attribute__((always_inline)) inline int32_t qzd_apply_change(qzd_tok_src *t, qzd_state *s, uint8_t *copy, uint32_t len,
                                                               uint32_t shift, uint32_t *at)
{
    uint32_t g = t->gap(), gap = g - 1;
    if (gap == 0xFFFFFFFFu || gap >= len - *at)
        return QZT_CORRUPT;
    *at += gap;
    constexpr uint32_t mask = QZD_CHANGES - 1;
    qzd_change *ring = s->change;
    qzd_change c;
    uint32_t last = QZD_LAST_NEW_BYTE;
    if (t->repeat()) {
        uint32_t r = t->rank(g) - 1;
        if (r >= QZD_CHANGES)
            return QZT_CORRUPT;
        last = r;
        // The changes before it move one place back, into its own.
        c = ring[(s->first + r) & mask];
        for (uint32_t k = r; k > 0; k--)
            ring[(s->first + k) & mask] = ring[(s->first + k - 1) & mask];
    } else {
        if (!t->flag(QZD_FLAG_WORD)) {
            c = {QZD_BYTE, t->byte()};
        } else {
            last = QZD_LAST_NEW_WORD;
            c.kind = t->flag(QZD_FLAG_RELATIVE) ? QZD_RELATIVE : QZD_WORD;
            // A value near one of the last changes' (coded tokens only) is
            // that one's plus a difference.
            uint32_t base = 0, field = QZD_VALUE;
            if (t->near()) {
                uint32_t r = t->gamma(QZD_NEAR_RANK) - 1;
                if (r >= QZD_CHANGES)
                    return QZT_CORRUPT;
                base = ring[(s->first + r) & mask].value;
                field = QZD_NEAR_DIFF;
            }
            uint32_t v = t->gamma(field);
            if (v == 0)
                return QZT_CORRUPT;
            c.value = base + qzd_unzigzag(v - 1);
        }
        // A new change takes the last one's place, which becomes the first.
        s->first = (s->first + mask) & mask;
    }
    t->changed(g, last);
    ring[s->first] = c;
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

// The block's tokens from t (or its one run, where all is set), making its
// bytes from *out to lim from the literals from *lit to lits_end (their runs
// filtered where x86 is set) and the old file: QZT_OK, or QZT_CORRUPT for a
// token past them; *out and *lit where it stopped. The limits are tested
// once per token: a literal run never goes past the block or its literals,
// an old copy never past the block or outside the old file, a change never
// past its copy.
int32_t qzd_tokens(qzd_tok_src *t, qzd_state *s, qzd_old *o, uint8_t *dest, uint8_t **at_out, const uint8_t **at_lit,
                   const uint8_t *lits_end, uint8_t *lim, bool x86, bool all)
{
    uint8_t *out = *at_out;
    const uint8_t *lit = *at_lit;
    int32_t status = QZT_OK;
    for (;;) {
        uint32_t run = all ? static_cast<uint32_t>(lim - out) : t->gamma(QZD_RUN) - 1;
        if (run > static_cast<uint32_t>(lim - out) || run > static_cast<uint32_t>(lits_end - lit)) {
            status = QZT_CORRUPT;
            break;
        }
        memcpy(out, lit, run);
        if (x86)
            qzd_x86(out, run, s->made + static_cast<uint32_t>(out - dest), false);
        out += run;
        lit += run;
        s->old_pos += run;
        if (out == lim)
            break;
        // A back copy undoes the last nonzero offset; else its code follows.
        uint32_t z = 1, offset = 0u - s->last_offset;
        if (!t->back()) {
            z = t->gamma(QZD_OFFSET);
            offset = qzd_unzigzag(z - 1);
        }
        // A length code of 1 is a copy to the block's end.
        uint32_t len = t->gamma(QZD_LEN) - 1;
        if (len == 0)
            len = static_cast<uint32_t>(lim - out);
        // Unsigned wrap-around gives the signed offset.
        uint32_t from = s->old_pos + offset;
        uint32_t changes = t->gamma(QZD_COUNT) - 1;
        if (z == 0 || len > static_cast<uint32_t>(lim - out) || from > o->size ||
            len > o->size - from || changes == 0xFFFFFFFFu || !qzd_old_copy(o, from, out, len)) {
            status = QZT_CORRUPT;
            break;
        }
        uint32_t shift = s->made + static_cast<uint32_t>(out - dest) - from;
        for (uint32_t i = 0, at = 0; i < changes && status == QZT_OK; i++)
            status = qzd_apply_change(t, s, out, len, shift, &at);
        if (status != QZT_OK)
            break;
        if (offset != 0)
            s->last_offset = offset;
        s->old_pos = from + len;
        out += len;
        if (out == lim)
            break;
    }
    *at_out = out;
    *at_lit = lit;
    return status;
}

}  // namespace

uint32_t qzd_x86(uint8_t *b, uint32_t n, uint32_t pos, bool encode)
{
    uint32_t moved = 0;
    for (uint32_t i = 0; n >= 5 && i <= n - 5;) {
        if ((b[i] & 0xFE) != 0xE8) {
            i++;
            continue;
        }
        uint8_t *p = b + i + 1;
        if (p[3] == 0 || p[3] == 0xFF) {
            uint32_t v = static_cast<uint32_t>(p[0]) | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
            uint32_t after = pos + i + 5;
            v = encode ? v + after : v - after;
            v = (v & 0x1FFFFFF) | (0u - (v >> 24 & 1)) << 25;
            for (int k = 0; k < 4; k++)
                p[k] = static_cast<uint8_t>(v >> 8 * k);
            moved++;
        }
        i += 5;
    }
    return moved;
}

// The old file's head on the literal stream, before the first literal;
// false where the file gives fewer bytes than its size.
bool qzd_prime(qzd_state *s, qzd_old *o)
{
    uint32_t head = o->size < QZD_WINDOW ? o->size : QZD_WINDOW;
    s->lit_pos = head;
    s->primed = true;
    return qzd_old_copy(o, 0, s->ring, head);
}

// Literals plain or coded, then tokens in words or coded: the sync word's
// low bits.
int32_t qzd_read_block(strm *in, qzd_state *s, qzd_old *o, uint8_t *dest, int32_t *n)
{
    *n = 0;
    if (in->next >= in->end && in->kind->at_end(in))
        return QZT_END;
    uint32_t sync = strm_get16(in);
    // Flat literals and four repeat distances go with coded literals only,
    // short repeats with four repeat distances; a block of literals only has
    // no tokens to code; the old file's head comes before the first block's
    // literals only.
    bool all = sync & QZD_ALL_LITS;
    if ((sync & ~uint32_t{QZD_CODED_LITS | QZD_CODED_TOKENS | QZD_REP_LITS | QZD_FLAT_LITS | QZD_X86 |
                          QZD_ALL_LITS | QZD_SHORT_REP | QZD_PRIMED}) != QZD_SYNC ||
        ((sync & (QZD_REP_LITS | QZD_FLAT_LITS)) && !(sync & QZD_CODED_LITS)) ||
        ((sync & QZD_SHORT_REP) && !(sync & QZD_REP_LITS)) || (all && (sync & QZD_CODED_TOKENS)) ||
        ((sync & QZD_PRIMED) && s->made != 0))
        return QZT_SYNC_LOST;
    *n = strm_get16(in);
    uint32_t nlits = all ? static_cast<uint32_t>(*n) : strm_get16(in);
    if (*n == 0 || *n > QZT_BLOCK || nlits > static_cast<uint32_t>(*n))
        return QZT_BAD_LENGTH;
    const uint8_t *lit = s->lits;
    const uint8_t *const lits_end = s->lits + nlits;
    int32_t status = QZT_CORRUPT;
    bool readable = !(sync & QZD_PRIMED) || qzd_prime(s, o);
    if (readable && !(sync & QZD_CODED_LITS)) {
        if (strm_read(in, s->lits, static_cast<int32_t>(nlits)) == static_cast<int32_t>(nlits)) {
            // Onto the window in at most two runs, the second where it wraps.
            uint32_t at = s->lit_pos & (QZD_WINDOW - 1);
            uint32_t first = QZD_WINDOW - at < nlits ? QZD_WINDOW - at : nlits;
            memcpy(s->ring + at, s->lits, first);
            memcpy(s->ring, s->lits + first, nlits - first);
            s->lit_pos += nlits;
            status = QZT_OK;
        }
    } else if (readable) {
        uint32_t bytes = 2 * strm_get16(in);
        if (bytes <= nlits && strm_read(in, s->coded, static_cast<int32_t>(bytes)) == static_cast<int32_t>(bytes)) {
            status = QZT_OK;
            if (!(s->blind && s->primed)) {
                status = qzd_decode_lits(s, s->coded, bytes, nlits, sync);
            } else {
                memset(s->lits, 0, nlits);
                s->lit_pos += nlits;
            }
        }
    }
    uint8_t *out = dest;
    uint8_t *const lim = dest + *n;
    qzd_tok_src t = {{in, 0, 0}, {}, nullptr};
    if (status == QZT_OK && (sync & QZD_CODED_TOKENS)) {
        uint32_t bytes = 2 * strm_get16(in);
        status = QZT_CORRUPT;
        if (bytes <= QZT_BLOCK && strm_read(in, s->coded, static_cast<int32_t>(bytes)) == static_cast<int32_t>(bytes)) {
            t.rc = qzd_rc_start(s->coded, bytes, QZD_TOK_MOVE);
            t.m = &s->tok;
            status = QZT_OK;
        }
    }
    if (status == QZT_OK)
        status = qzd_tokens(&t, s, o, dest, &out, &lit, lits_end, lim, sync & QZD_X86, all);
    t.b.done();
    if (status == QZT_OK && lit != lits_end)
        status = QZT_CORRUPT;
    if (status == QZT_CORRUPT)
        memset(out, 0, static_cast<size_t>(lim - out));
    s->made += static_cast<uint32_t>(*n);
    return status;
}
