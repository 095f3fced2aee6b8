#include "encode/qzt_enc_fast.h"

#include <cstring>

namespace {

constexpr int32_t FAST_DEPTH = 32;    // chain entries tried per position
constexpr int32_t FAST_NICE = 128;    // a match this long ends the search
constexpr int32_t FAST_MIN_GAIN = 4;  // bits a match must save over literals

struct qzt_fast_match {
    int32_t len, dist, gain;  // gain: bits saved over coding the bytes as literals
};

}  // namespace

static void qzt_fast_insert(qzt_fast_state *w, const uint8_t *t, int32_t n, int32_t p)
{
    if (p + 3 > n)
        return;
    uint32_t h = qzt_hash3(t + p, QZT_HASH_BITS);
    w->prev[p] = w->head[h];
    w->head[h] = static_cast<int16_t>(p);
}

static qzt_fast_match qzt_fast_find(const qzt_fast_state *w, const uint8_t *t, int32_t n, int32_t p)
{
    qzt_fast_match best = {0, 0, 0};
    if (p + 3 > n)
        return best;
    int32_t limit = n - p;
    int32_t cand = w->head[qzt_hash3(t + p, QZT_HASH_BITS)];
    for (int32_t tries = 0; cand >= 0 && tries < FAST_DEPTH && best.len < limit; tries++, cand = w->prev[cand]) {
        // Nearer candidates came first: a farther one must be longer to save more.
        if (t[cand + best.len] != t[p + best.len])
            continue;
        int32_t l = 0;
        while (l < limit && t[cand + l] == t[p + l])
            l++;
        if (l <= best.len)
            continue;
        int32_t gain =
            8 * l - qzt_gamma_bits(static_cast<uint32_t>(p - cand)) - qzt_gamma_bits(static_cast<uint32_t>(l));
        if (gain > best.gain)
            best = {l, p - cand, gain};
        if (l >= FAST_NICE)
            break;
    }
    return best;
}

const qzt_tokens *qzt_parse_fast(qzt_fast_state *w, const uint8_t *t, int32_t n)
{
    memset(w->head, 0xFF, sizeof w->head);
    int32_t nt = 0, start = 0, p = 0;
    qzt_fast_match cur = qzt_fast_find(w, t, n, 0);
    while (p < n) {
        qzt_fast_insert(w, t, n, p);
        if (cur.gain < FAST_MIN_GAIN) {
            p++;
            cur = qzt_fast_find(w, t, n, p);
            continue;
        }
        if (cur.len < FAST_NICE) {
            qzt_fast_match next = qzt_fast_find(w, t, n, p + 1);
            if (next.gain > cur.gain + 8) {
                p++;
                cur = next;
                continue;
            }
        }
        w->tokens.at[nt++] = {start, p - start, cur.dist, cur.len};
        for (int32_t i = p + 1; i < p + cur.len; i++)
            qzt_fast_insert(w, t, n, i);
        p += cur.len;
        start = p;
        cur = qzt_fast_find(w, t, n, p);
    }
    if (start < n)
        w->tokens.at[nt++] = {start, n - start, 0, 0};
    w->tokens.count = nt;
    return &w->tokens;
}
