// A block's literals as matches back in the literal stream and literal
// bytes, parsed greedily with one step of lazy matching, each choice priced
// from the model's probabilities as they stand.
#include "encode/qzd_lits.h"

#include <cmath>
#include <cstring>

#include "stream/qzd.h"

namespace {

constexpr int HASH_BITS = 20;
constexpr uint32_t DEPTH = 256;   // candidates looked at for each position
constexpr uint32_t NICE = 256;    // a match this long ends the search
constexpr uint32_t PRICE_ONE = 16;  // a bit's price, in sixteenths of a bit
constexpr uint32_t MASK = QZD_WINDOW - 1;

// The price of a bit whose probability is p / 2048, by p / 16.
struct qzd_prices {
    uint32_t of[(1 << QZD_PROB_BITS) >> 4];
    qzd_prices()
    {
        for (uint32_t k = 0; k < sizeof of / sizeof of[0]; k++)
            of[k] = static_cast<uint32_t>(
                std::lround(-std::log2((k * 16.0 + 8) / (1 << QZD_PROB_BITS)) * PRICE_ONE));
    }
};
const qzd_prices prices;

uint32_t qzd_price(uint16_t p, uint32_t bit)
{
    return prices.of[(bit ? (1 << QZD_PROB_BITS) - p : p) >> 4];
}

// The range coder's writer: the first byte it makes is always 0 and is left
// out, as the decoder's code starts with the next four.
struct qzd_rc_enc {
    uint64_t low = 0;
    uint32_t range = 0xFFFFFFFFu;
    uint8_t cache = 0;
    uint64_t pending = 1;
    std::vector<uint8_t> *out;

    void shift_low()
    {
        if (static_cast<uint32_t>(low) < 0xFF000000u || (low >> 32) != 0) {
            auto carry = static_cast<uint8_t>(low >> 32);
            uint8_t t = cache;
            do {
                out->push_back(static_cast<uint8_t>(t + carry));
                t = 0xFF;
            } while (--pending);
            cache = static_cast<uint8_t>(low >> 24);
        }
        pending++;
        low = (low & 0x00FFFFFFu) << 8;
    }
    void norm()
    {
        if (range < (1u << 24)) {
            range <<= 8;
            shift_low();
        }
    }
    void bit(uint16_t *p, uint32_t b)
    {
        uint32_t bound = (range >> QZD_PROB_BITS) * *p;
        if (b) {
            low += bound;
            range -= bound;
            *p = static_cast<uint16_t>(*p - (*p >> QZD_PROB_MOVE));
        } else {
            range = bound;
            *p = static_cast<uint16_t>(*p + (((1 << QZD_PROB_BITS) - *p) >> QZD_PROB_MOVE));
        }
        norm();
    }
    void direct(uint32_t b)
    {
        range >>= 1;
        if (b)
            low += range;
        norm();
    }
    void gamma(qzd_gamma_model *g, uint32_t v)
    {
        int z = 31 - __builtin_clz(v);
        for (int k = 0; k < z; k++)
            bit(&g->zero[k], 0);
        bit(&g->zero[z], 1);
        for (int j = 0; j < z; j++) {
            uint32_t b = v >> (z - 1 - j) & 1;
            if (j < QZD_TREE)
                bit(&g->tree[z][v >> (z - j)], b);
            else
                direct(b);
        }
    }
    // The bytes left in low; trailing zeros go, as the decoder reads zeros
    // past the section's end.
    void finish()
    {
        for (int k = 0; k < 5; k++)
            shift_low();
        out->erase(out->begin());
        while (!out->empty() && out->back() == 0)
            out->pop_back();
        if (out->size() % 2)
            out->push_back(0);
    }
};

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

}  // namespace

struct qzd_lit_coder {
    qzd_model model;
    std::vector<uint8_t> stream;
    std::vector<uint32_t> head;  // latest position + 1 by hash
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

// Puts the positions before end (whose 4 bytes the stream holds) in the
// chains.
void qzd_lit_insert(qzd_lit_coder *c, uint32_t end)
{
    auto size = static_cast<uint32_t>(c->stream.size());
    for (; c->hashed < end && c->hashed + 4 <= size; c->hashed++) {
        uint32_t h = qzd_lit_hash(&c->stream[c->hashed]);
        c->prev[c->hashed & MASK] = c->head[h];
        c->head[h] = c->hashed + 1;
    }
}

uint32_t qzd_lit_match(const uint8_t *a, const uint8_t *b, uint32_t most)
{
    uint32_t n = 0;
    while (n < most && a[n] == b[n])
        n++;
    return n;
}

// The longest match at i of at most most bytes, the nearest of equal ones:
// its length (0 for none) and distance.
uint32_t qzd_lit_find(qzd_lit_coder *c, uint32_t i, uint32_t most, uint32_t *dist)
{
    qzd_lit_insert(c, i);
    uint32_t best = 0;
    if (most < 4 || i + 4 > c->stream.size())
        return 0;
    const uint8_t *s = c->stream.data();
    uint32_t cand = c->head[qzd_lit_hash(s + i)];
    for (uint32_t k = 0; k < DEPTH && cand != 0; k++) {
        uint32_t at = cand - 1;
        if (i - at > QZD_WINDOW)
            break;
        if (s[at + best] == s[i + best]) {
            uint32_t n = qzd_lit_match(s + at, s + i, most);
            if (n > best) {
                best = n;
                *dist = i - at;
                if (n >= NICE || n == most)
                    break;
            }
        }
        uint32_t next = c->prev[at & MASK];
        if (next >= cand)
            break;
        cand = next;
    }
    return best;
}

uint32_t qzd_lit_price(const qzd_model *m, const uint8_t *s, uint32_t i)
{
    const uint16_t *p = m->lit[(i ? s[i - 1] : 0) >> (8 - QZD_LIT_CTX)];
    uint32_t sum = qzd_price(m->match[m->kinds], 0);
    for (uint32_t c = s[i] | 0x100; c > 1; c >>= 1)
        sum += qzd_price(p[c >> 1], c & 1);
    return sum;
}

// What a match of len bytes at i saves over its bytes as literals (the
// model's next kinds reckoned as they stand), or a negative number.
int64_t qzd_lit_gain(const qzd_lit_coder *c, uint32_t i, uint32_t len, uint32_t dist)
{
    const qzd_model *m = &c->model;
    uint32_t h = m->kinds;
    uint32_t cost = qzd_price(m->match[h], 1) + qzd_gamma_price(&m->len, len - 1);
    if (dist == m->rep_dist)
        cost += qzd_price(m->rep[h], 1);
    else
        cost += qzd_price(m->rep[h], 0) + qzd_gamma_price(&m->dist, dist);
    uint32_t lits = 0, k = 0;
    for (; k < len && k < 32; k++)
        lits += qzd_lit_price(m, c->stream.data(), i + k);
    lits = lits / k * len;
    return static_cast<int64_t>(lits) - cost;
}

// The best token at i, whose block ends at end: its length (0 for a
// literal), distance and gain.
uint32_t qzd_lit_best(qzd_lit_coder *c, uint32_t i, uint32_t end, uint32_t *dist, int64_t *gain)
{
    *gain = 0;
    uint32_t len = 0, most = end - i, d = 0;
    const uint8_t *s = c->stream.data();
    uint32_t rep = c->model.rep_dist;
    if (rep <= i && rep <= QZD_WINDOW) {
        uint32_t n = qzd_lit_match(s + i - rep, s + i, most);
        if (n >= 2) {
            int64_t g = qzd_lit_gain(c, i, n, rep);
            if (g > *gain) {
                *gain = g;
                len = n;
                *dist = rep;
            }
        }
    }
    uint32_t n = qzd_lit_find(c, i, most, &d);
    if (n >= 2 && d != rep) {
        int64_t g = qzd_lit_gain(c, i, n, d);
        if (g > *gain) {
            *gain = g;
            len = n;
            *dist = d;
        }
    }
    return len;
}

}  // namespace

qzd_lit_coder *qzd_lit_coder_new()
{
    auto *c = new qzd_lit_coder;
    qzd_model_init(&c->model);
    c->head.assign(size_t{1} << HASH_BITS, 0);
    c->prev.assign(QZD_WINDOW, 0);
    return c;
}

void qzd_lit_coder_free(qzd_lit_coder *c)
{
    delete c;
}

bool qzd_lit_code(qzd_lit_coder *c, const uint8_t *lits, uint32_t n, std::vector<uint8_t> *out)
{
    auto start = static_cast<uint32_t>(c->stream.size());
    c->stream.insert(c->stream.end(), lits, lits + n);
    uint32_t end = start + n;
    const qzd_model before = c->model;
    out->clear();
    qzd_rc_enc rc;
    rc.out = out;
    qzd_model *m = &c->model;
    const uint8_t *s = c->stream.data();
    uint32_t dist = 0, next_dist = 0;
    int64_t gain, next_gain;
    uint32_t len = n > 0 ? qzd_lit_best(c, start, end, &dist, &gain) : 0;
    for (uint32_t i = start; i < end;) {
        uint32_t h = m->kinds;
        // One step of lazy matching: a literal here where the token after
        // it gains more.
        uint32_t next = len > 0 && i + 1 < end ? qzd_lit_best(c, i + 1, end, &next_dist, &next_gain) : 0;
        if (len == 0 || (next > 0 && next_gain > gain)) {
            rc.bit(&m->match[h], 0);
            uint16_t *p = m->lit[(i ? s[i - 1] : 0) >> (8 - QZD_LIT_CTX)];
            for (uint32_t k = 8, node = 1; k-- > 0;) {
                uint32_t b = s[i] >> k & 1;
                rc.bit(&p[node], b);
                node = node << 1 | b;
            }
            m->kinds = h << 1 & 3;
            i++;
            if (len > 0) {
                len = next;
                dist = next_dist;
                gain = next_gain;
            } else {
                len = i < end ? qzd_lit_best(c, i, end, &dist, &gain) : 0;
            }
            continue;
        }
        rc.bit(&m->match[h], 1);
        if (dist == m->rep_dist) {
            rc.bit(&m->rep[h], 1);
        } else {
            rc.bit(&m->rep[h], 0);
            rc.gamma(&m->dist, dist);
            m->rep_dist = dist;
        }
        rc.gamma(&m->len, len - 1);
        m->kinds = (h << 1 | 1) & 3;
        i += len;
        len = i < end ? qzd_lit_best(c, i, end, &dist, &gain) : 0;
    }
    qzd_lit_insert(c, end);
    rc.finish();
    if (out->size() + 2 < n)
        return true;
    c->model = before;
    return false;
}
