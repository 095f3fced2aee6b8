// A block's literals as matches back in the literal stream and literal
// bytes: the cheapest parse of the block by the model's prices at its start,
// then coded through the model as it learns.
#include "encode/qzd_lits.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "encode/qzt_enc_fast.h"
#include "stream/qzd.h"

namespace {

// Enough heads that a chain holds about one position of other bytes within
// the window: each such link costs two reads from memory and finds nothing
// (at 20 bits, four of them, half the coding's time on compressed data).
constexpr int HASH_BITS = 22;
constexpr uint32_t DEPTH = 128;  // candidates looked at for each position
// A block stays coded only where that saves at least 1 / GAIN of its
// literals: decoding a coded section is far slower than copying the bytes.
// A flat block, whose bytes are near uniform, stays coded where it saves
// 1 / FLAT_GAIN of them over what the record's compression makes of them
// plain.
constexpr uint32_t GAIN = 16;
constexpr uint32_t FLAT_GAIN = 512;
constexpr uint32_t NICE = 128;      // a match this long ends the search
constexpr uint32_t FIND_AHEAD = 8;  // places ahead whose chains are read in before they are walked
static_assert(NICE <= DEPTH, "the finder's matches at a place, each longer than the one before from 2 bytes to NICE "
                             "or more, fit in DEPTH");
constexpr uint32_t PRICE_ONE = 16;  // a bit's price, in sixteenths of a bit
constexpr uint32_t MASK = QZD_WINDOW - 1;
// A match of 2 or 3 bytes is looked for this far back, where the chains'
// 4 bytes find none: a record's field as the one before it had it, whose
// distance then comes back as a repeat. Farther back, such a match costs
// about what its literals do. Set on tables of records and programs (16
// and 256 differ from it by 1 to 2% on one or the other).
constexpr uint32_t SHORT_BACK = 64;
constexpr int SHORT_HASH_BITS = 18;

// The price of a bit whose probability is p / 2048, by p / 16.
struct qzd_prices {
    uint32_t of[(1 << QZD_PROB_BITS) >> 4];
    qzd_prices()
    {
        for (uint32_t k = 0; k < sizeof of / sizeof of[0]; k++)
            of[k] = static_cast<uint32_t>(std::lround(-std::log2((k * 16.0 + 8) / (1 << QZD_PROB_BITS)) * PRICE_ONE));
    }
};
const qzd_prices prices;

uint32_t qzd_price(uint16_t p, uint32_t bit)
{
    return prices.of[(bit ? (1 << QZD_PROB_BITS) - p : p) >> 4];
}

uint32_t qzd_gamma_price(const qzd_gamma_model *g, uint32_t v)
{
    int z = 31 - __builtin_clz(v);
    uint32_t sum = 0;
    for (int k = 0; k < z; k++)
        sum += qzd_price(g->zero[k], 0);
    sum += qzd_price(g->zero[z], 1);
    for (int j = 0; j < z; j++)
        sum += j < QZD_TREE ? qzd_price(g->tree[z][v >> (z - j)], v >> (z - 1 - j) & 1) : PRICE_ONE;
    return sum;
}

// A match: its length and distance.
struct qzd_lit_match_at {
    uint32_t len;
    uint32_t dist;
};

// The cheapest way found to each place of the block: its price, the token
// that ends there (len 0 a literal), and the last distances and kinds after
// it.
struct qzd_arrival {
    uint32_t price;
    uint32_t len;
    uint32_t dist;
    uint32_t reps[QZD_REPS];
    uint32_t kinds;
};

}  // namespace

struct qzd_lit_coder {
    qzd_model model;
    std::vector<qzd_arrival> arrivals;  // the block's parse
    std::vector<qzd_lit_match_at> tokens;
    // The first parse's matches, all places' in order, for the second: each
    // place's first and count (none at places it did not set out from).
    std::vector<qzd_lit_match_at> found;
    std::vector<std::pair<uint32_t, uint32_t>> found_at;
    std::vector<uint8_t> stream;
    std::vector<uint8_t> other;  // the block coded another way (flat, or parsed again)
    std::unique_ptr<qzt_fast_state> plain;  // the compression's parse of plain ones
    std::vector<uint32_t> head;  // latest position + 1 by hash
    std::vector<uint32_t> head2;  // latest position + 1 by its 2 bytes
    std::vector<uint32_t> head3;  // latest position + 1 by a hash of its 3 bytes
    std::vector<uint32_t> prev;  // the position before it with the same hash, + 1, by position % QZD_WINDOW
    uint32_t hashed = 0;         // positions before it are in the chains
};

namespace {

uint32_t qzd_lit_hash(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return (v * 0x9E3779B1u) >> (32 - HASH_BITS);
}

uint32_t qzd_lit_hash3(const uint8_t *p)
{
    uint32_t v = p[0] | p[1] << 8 | p[2] << 16;
    return (v * 0x9E3779B1u) >> (32 - SHORT_HASH_BITS);
}

// Puts the positions before end (whose 4 bytes the stream holds) in the
// chains.
void qzd_lit_insert(qzd_lit_coder *c, uint32_t end)
{
    auto size = static_cast<uint32_t>(c->stream.size());
    for (; c->hashed < end && c->hashed + 4 <= size; c->hashed++) {
        const uint8_t *p = &c->stream[c->hashed];
        uint32_t h = qzd_lit_hash(p);
        c->prev[c->hashed & MASK] = c->head[h];
        c->head[h] = c->hashed + 1;
        c->head2[p[0] | p[1] << 8] = c->hashed + 1;
        c->head3[qzd_lit_hash3(p)] = c->hashed + 1;
    }
}

// The matches at i of at most most bytes, each longer than the one before
// and the nearest of its length (of 2 or 3 bytes, within SHORT_BACK), into
// found; their count.
uint32_t qzd_lit_find(qzd_lit_coder *c, uint32_t i, uint32_t most, qzd_lit_match_at *found)
{
    qzd_lit_insert(c, i);
    uint32_t best = 1, count = 0;
    if (most < 2 || i + 4 > c->stream.size())
        return 0;
    const uint8_t *s = c->stream.data();
    // The parse looks place after place: the chain's head of one a little
    // ahead is asked for now, and the first link and bytes of one nearer,
    // whose head came before, so that the walk finds them there.
    if (i + 2 * FIND_AHEAD + 4 <= c->stream.size())
        __builtin_prefetch(&c->head[qzd_lit_hash(s + i + 2 * FIND_AHEAD)]);
    if (i + FIND_AHEAD + 4 <= c->stream.size()) {
        if (uint32_t ahead = c->head[qzd_lit_hash(s + i + FIND_AHEAD)]) {
            __builtin_prefetch(&c->prev[(ahead - 1) & MASK]);
            __builtin_prefetch(s + ahead);
        }
    }
    for (uint32_t cand : {c->head2[s[i] | s[i + 1] << 8], c->head3[qzd_lit_hash3(s + i)]}) {
        uint32_t at = cand - 1;
        if (cand == 0 || i - at > SHORT_BACK)
            continue;
        uint32_t n = qzd_match(s + at, s + i, most);
        if (n > best) {
            best = n;
            found[count++] = {n, i - at};
            if (n >= NICE || n == most)
                return count;
        }
    }
    if (most < 4)
        return count;
    uint32_t cand = c->head[qzd_lit_hash(s + i)];
    for (uint32_t k = 0; k < DEPTH && cand != 0; k++) {
        uint32_t at = cand - 1;
        if (i - at > QZD_WINDOW)
            break;
        if (s[at + best] == s[i + best]) {
            uint32_t n = qzd_match(s + at, s + i, most);
            if (n > best) {
                best = n;
                found[count++] = {n, i - at};
                if (n >= NICE || n == most)
                    break;
            }
        }
        uint32_t next = c->prev[at & MASK];
        if (next >= cand)
            break;
        cand = next;
    }
    return count;
}

// The literal byte at i's context, and its bits' nodes in order into node:
// a matched literal's (against the byte at the repeat distance rep) where
// the last token was a match, else the byte tree's.
uint32_t qzd_lit_nodes(const uint8_t *s, uint32_t i, uint32_t kinds, uint32_t rep, uint32_t *node)
{
    uint32_t offs = kinds & 1 ? 0x100 : 0, mb = offs ? s[i - rep] : 0, c = 1;
    for (int k = 7; k >= 0; k--) {
        mb <<= 1;
        uint32_t b = s[i] >> k & 1;
        node[7 - k] = offs + (mb & offs) + c;
        c = c << 1 | b;
        offs &= ~(mb ^ b << 8);
    }
    return (i ? s[i - 1] : 0) >> (8 - QZD_REP_LIT_CTX);
}

// The price of the literal byte at i, the last three kinds being kinds and
// the repeat distance rep.
uint32_t qzd_lit_price(const qzd_model *m, const uint8_t *s, uint32_t i, uint32_t kinds, uint32_t rep)
{
    uint32_t node[8], ctx = qzd_lit_nodes(s, i, kinds, rep, node);
    uint32_t sum = qzd_price(m->match[kinds], 0);
    for (int k = 0; k < 8; k++)
        sum += qzd_price(m->lit[ctx][node[k]], s[i] >> (7 - k) & 1);
    return sum;
}

// The price of naming the w-th of the last distances, its repeat flag's too
// (the first's long bit is not in it).
uint32_t qzd_which_price(const qzd_model *m, uint32_t kinds, uint32_t w)
{
    uint32_t sum = qzd_price(m->rep[kinds], 1);
    for (uint32_t k = 0; k < w; k++)
        sum += qzd_price(m->which[k][kinds], 1);
    return w < QZD_REPS - 1 ? sum + qzd_price(m->which[w][kinds], 0) : sum;
}

// The last distances once d is taken as the w-th (QZD_REPS - 1 for a new one).
void qzd_to_front(uint32_t *reps, uint32_t w, uint32_t d)
{
    for (; w > 0; w--)
        reps[w] = reps[w - 1];
    reps[0] = d;
}

// The way to a place, if it is the cheapest yet: a literal (dist 0, w 0,
// the last distances as they were) or a match of dist taken as the w-th of
// reps.
void qzd_relax(qzd_arrival *to, uint32_t price, uint32_t len, uint32_t dist, const uint32_t *reps, uint32_t w,
               uint32_t kinds)
{
    if (price < to->price) {
        *to = {price, len, dist, {}, kinds};
        memcpy(to->reps, reps, sizeof to->reps);
        qzd_to_front(to->reps, w, dist ? dist : reps[0]);
    }
}

// The block's n literals from start as tokens (len 0 a literal, else a match
// of len bytes dist back, len 1 a short repeat), cheapest first to last by
// the model's prices (its last distances and kinds the block's start): each
// place reached from the cheapest way to an earlier one by a literal, a
// match at one of that way's last distances or a match the finder gives, of
// any length up to the longest (a match of NICE bytes or more is taken at
// once). Parsed again, the block takes the matches the first parse found.
void qzd_lit_parse(qzd_lit_coder *c, uint32_t start, uint32_t n, bool again)
{
    const qzd_model *m = &c->model;
    const uint8_t *s = c->stream.data();
    std::vector<qzd_arrival> &a = c->arrivals;
    a.assign(n + 1, {UINT32_MAX, 0, 0, {}, 0});
    a[0] = {0, 0, 0, {}, m->kinds};
    memcpy(a[0].reps, m->reps, sizeof m->reps);
    uint32_t len_price[NICE + 1], rep_len_price[NICE + 1];
    for (uint32_t k = 2; k <= NICE; k++) {
        len_price[k] = qzd_gamma_price(&m->len, k - 1);
        rep_len_price[k] = qzd_gamma_price(&m->rep_len, k - 1);
    }
    qzd_lit_match_at finding[DEPTH];
    if (!again) {
        c->found.clear();
        c->found_at.assign(n, {0, 0});
    }
    for (uint32_t j = 0; j < n; j++) {
        const qzd_arrival here = a[j];
        uint32_t i = start + j, most = n - j, h = here.kinds, after = (h << 1 | 1) & 7;
        qzd_relax(&a[j + 1], here.price + qzd_lit_price(m, s, i, h, here.reps[0]), 0, 0, here.reps, 0, h << 1 & 7);
        uint32_t matched = here.price + qzd_price(m->match[h], 1), longest = 0, to = 0;
        for (uint32_t w = 0; w < QZD_REPS; w++) {
            uint32_t d = here.reps[w];
            // A distance that stands twice among them is named by its first place.
            if (std::find(here.reps, here.reps + w, d) != here.reps + w)
                continue;
            uint32_t rl = d <= i && d <= QZD_WINDOW ? qzd_match(s + i - d, s + i, most) : 0;
            if (rl == 0)
                continue;
            uint32_t base = matched + qzd_which_price(m, h, w);
            if (w == 0) {
                qzd_relax(&a[j + 1], base + qzd_price(m->long_rep[h], 0), 1, d, here.reps, 0, after);
                base += qzd_price(m->long_rep[h], 1);
            }
            for (uint32_t k = 2; k <= rl && k <= NICE; k++)
                qzd_relax(&a[j + k], base + rep_len_price[k], k, d, here.reps, w, after);
            if (rl > NICE)
                qzd_relax(&a[j + rl], base + qzd_gamma_price(&m->rep_len, rl - 1), rl, d, here.reps, w, after);
            if (rl > longest) {
                longest = rl;
                to = j + rl;
            }
        }
        const qzd_lit_match_at *found = finding;
        uint32_t count, from = 2;
        if (again) {
            found = c->found.data() + c->found_at[j].first;
            count = c->found_at[j].second;
        } else {
            count = qzd_lit_find(c, i, most, finding);
            c->found_at[j] = {static_cast<uint32_t>(c->found.size()), count};
            c->found.insert(c->found.end(), finding, finding + count);
        }
        for (uint32_t f = 0; f < count; f++) {
            uint32_t len = found[f].len, d = found[f].dist;
            if (std::find(here.reps, here.reps + QZD_REPS, d) == here.reps + QZD_REPS) {
                uint32_t base = matched + qzd_price(m->rep[h], 0) + qzd_gamma_price(&m->dist, d);
                for (uint32_t k = from; k <= len && k <= NICE; k++)
                    qzd_relax(&a[j + k], base + len_price[k], k, d, here.reps, QZD_REPS - 1, after);
                if (len > NICE)
                    qzd_relax(&a[j + len], base + qzd_gamma_price(&m->len, len - 1), len, d, here.reps, QZD_REPS - 1,
                              after);
            }
            from = len + 1;
            if (len > longest) {
                longest = len;
                to = j + len;
            }
        }
        // A long match is taken: the places inside it are not set out from.
        if (longest >= NICE && a[to].len == longest)
            j = to - 1;
    }
    c->tokens.clear();
    for (uint32_t j = n; j > 0;) {
        const qzd_arrival &here = a[j];
        c->tokens.push_back({here.len, here.dist});
        j -= here.len ? here.len : 1;
    }
}

}  // namespace

qzd_lit_coder *qzd_lit_coder_new()
{
    auto *c = new qzd_lit_coder;
    c->plain.reset(new qzt_fast_state);
    qzd_model_init(&c->model);
    c->head.assign(size_t{1} << HASH_BITS, 0);
    c->prev.assign(QZD_WINDOW, 0);
    c->head2.assign(size_t{1} << 16, 0);
    c->head3.assign(size_t{1} << SHORT_HASH_BITS, 0);
    return c;
}

void qzd_lit_coder_free(qzd_lit_coder *c)
{
    delete c;
}

void qzd_lit_prime(qzd_lit_coder *c, const uint8_t *old, uint32_t n)
{
    c->stream.insert(c->stream.end(), old, old + n);
}

namespace {

// About the bytes that the record's compression makes of n plain literals:
// its fast parse's bits.
uint32_t qzd_plain_bytes(qzd_lit_coder *c, const uint8_t *lits, uint32_t n)
{
    if (n == 0)
        return 0;
    const qzt_tokens *t = qzt_parse_fast(c->plain.get(), lits, static_cast<int32_t>(n));
    uint64_t bits = 0;
    for (int32_t k = 0; k < t->count; k++) {
        const qzt_token &x = t->at[k];
        bits += qzt_gamma_bits(static_cast<uint32_t>(x.lits) + 1) + 8 * static_cast<uint64_t>(x.lits);
        if (x.dist)
            bits += qzt_gamma_bits(static_cast<uint32_t>(x.dist)) + qzt_gamma_bits(static_cast<uint32_t>(x.len));
    }
    return static_cast<uint32_t>((bits + 7) / 8);
}

// The block's tokens, its literals from start on, coded through m into out,
// each literal byte through the flat probabilities where flat is set.
void qzd_lit_emit(const qzd_lit_coder *c, qzd_model *m, uint32_t start, bool flat, std::vector<uint8_t> *out)
{
    out->clear();
    qzd_rc_enc rc;
    rc.out = out;
    const uint8_t *s = c->stream.data();
    uint32_t i = start;
    for (size_t t = c->tokens.size(); t-- > 0;) {
        const qzd_lit_match_at &k = c->tokens[t];
        uint32_t h = m->kinds;
        if (k.len == 0) {
            rc.bit(&m->match[h], 0);
            if (flat) {
                rc.tree8(m->flat, s[i], QZD_FLAT_MOVE);
            } else {
                uint32_t node[8], ctx = qzd_lit_nodes(s, i, h, m->reps[0], node);
                for (int k = 0; k < 8; k++)
                    rc.bit(&m->lit[ctx][node[k]], s[i] >> (7 - k) & 1);
            }
            m->kinds = h << 1 & 7;
            i++;
            continue;
        }
        rc.bit(&m->match[h], 1);
        auto w = static_cast<uint32_t>(std::find(m->reps, m->reps + QZD_REPS, k.dist) - m->reps);
        rc.bit(&m->rep[h], w < QZD_REPS);
        qzd_gamma_model *lens = &m->rep_len;
        if (w < QZD_REPS) {
            for (uint32_t b = 0; b < QZD_REPS - 1 && b <= w; b++)
                rc.bit(&m->which[b][h], b < w);
            if (w == 0)
                rc.bit(&m->long_rep[h], k.len > 1);
        } else {
            rc.gamma(&m->dist, k.dist);
            w = QZD_REPS - 1;
            lens = &m->len;
        }
        qzd_to_front(m->reps, w, k.dist);
        if (k.len > 1)
            rc.gamma(lens, k.len - 1);
        m->kinds = (h << 1 | 1) & 7;
        i += k.len;
    }
    rc.finish();
}

}  // namespace

uint16_t qzd_lit_code(qzd_lit_coder *c, const uint8_t *lits, uint32_t n, std::vector<uint8_t> *out)
{
    auto start = static_cast<uint32_t>(c->stream.size());
    c->stream.insert(c->stream.end(), lits, lits + n);
    const qzd_model before = c->model;
    qzd_lit_parse(c, start, n, false);
    qzd_lit_insert(c, start + n);
    // Both ways: flat where the context model does not pay or does worse,
    // and flat saves enough over the bytes plain. The plain bytes are what
    // the record's compression is reckoned to make of them, which may be
    // more than n; a section longer than its n literals is a corrupt block,
    // so the flat one must also fit in them.
    qzd_model flat = before;
    qzd_lit_emit(c, &c->model, start, false, out);
    qzd_lit_emit(c, &flat, start, true, &c->other);
    size_t context_size = out->size(), flat_size = c->other.size();
    bool context_pays = context_size + 2 + n / GAIN < n;
    if ((!context_pays || flat_size < context_size) && flat_size <= n &&
        flat_size + 2 + n / FLAT_GAIN < qzd_plain_bytes(c, lits, n)) {
        out->swap(c->other);
        c->model = flat;
        return QZD_CODED_LITS | QZD_REP_LITS | QZD_SHORT_REP | QZD_FLAT_LITS;
    }
    if (!context_pays) {
        c->model = before;
        return 0;
    }
    // Parsed again by the prices that the block's coding ended with, which
    // know its literals, where those at its start know only the blocks
    // before (most of all the first block's, which start even); the shorter
    // section is kept.
    const qzd_model learned = c->model;
    memcpy(c->model.reps, before.reps, sizeof before.reps);
    c->model.kinds = before.kinds;
    qzd_lit_parse(c, start, n, true);
    c->model = before;
    qzd_lit_emit(c, &c->model, start, false, &c->other);
    if (c->other.size() < out->size())
        out->swap(c->other);
    else
        c->model = learned;
    return QZD_CODED_LITS | QZD_REP_LITS | QZD_SHORT_REP;
}
