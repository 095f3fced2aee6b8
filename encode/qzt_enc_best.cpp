#include "encode/qzt_enc_best.h"

#include <algorithm>

// The shortest path:
// - cost[q]: fewest bits for bytes [0, q) ending with a whole token (a match
//   ends at q, or q = 0);
// - ready(p): fewest bits for [0, p) ending with the literal run of a token
//   whose match starts at p. A run of L literals from s costs
//   gamma(L + 1) + 8L, so ready(p) = min over run classes k of
//   2k + 1 + 8p + min { cost[s] - 8s : p - s <= qzt_run_reach(k) }, read off
//   a stack of suffix minima of cost[s] - 8s;
// - matches from p: for each distance class only the longest match counts
//   (shorter lengths at that distance are there too, at no more cost), so a
//   length M costs the class of the nearest distance class reaching M, plus
//   gamma(M). That cost is a step function of M; only the longest M of each
//   step is tried. This loses nothing: the cheapest cost of coding the rest
//   of a block never rises as its start moves right (drop a literal, or the
//   first byte of a match), so reaching further for the same bits is never
//   worse.

namespace {

constexpr int32_t INF = 1 << 30;
constexpr int32_t GAMMA_CLASSES = 16;  // values up to 65535

// The stack of suffix minima (its entries in the state). ptr[k]: its first
// entry inside the window of run class k (or an earlier one), kept for the
// classes below `kept` only: the last search stopped there, at the stack's
// bottom, where the wider classes begin.
struct qzt_runs {
    int32_t depth;
    int32_t kept;
    int32_t ptr[GAMMA_CLASSES];
};

}  // namespace

// An arrival at q: cost[q] above, the start of the match ending at q and its
// distance below, so that one comparison keeps the cheapest.
static inline uint64_t qzt_arrival(int32_t cost, int32_t start, int32_t dist)
{
    return static_cast<uint64_t>(cost) << 32 | static_cast<uint32_t>(start) << 16 | static_cast<uint32_t>(dist);
}

static inline int32_t qzt_arrival_cost(uint64_t a)
{
    return static_cast<int32_t>(a >> 32);
}

static inline int32_t qzt_arrival_start(uint64_t a)
{
    return static_cast<int32_t>(a >> 16 & 0xFFFF);
}

static inline int32_t qzt_arrival_dist(uint64_t a)
{
    return static_cast<int32_t>(a & 0xFFFF);
}

// Keeps the cheaper arrival, by a store either way: which one wins is hard to predict.
static inline void qzt_relax(uint64_t *arrival, uint64_t a)
{
    uint64_t old = *arrival;
    *arrival = a < old ? a : old;
}

// Pushes cost[p] - 8p, popping the entries no lower.
static inline void qzt_runs_push(qzt_best_state *w, qzt_runs *r, int32_t p, int32_t v)
{
    while (r->depth > 0 && w->stack_val[r->depth - 1] >= v)
        r->depth--;
    for (int32_t k = 0; k < GAMMA_CLASSES; k++)  // not only those below kept: a fixed loop vectorizes
        r->ptr[k] = std::min(r->ptr[k], r->depth);
    w->stack_pos[r->depth] = static_cast<uint16_t>(p);
    w->stack_val[r->depth] = v;
    r->depth++;
}

// ready(p), noting the start of its literal run in run_start[p].
static inline int32_t qzt_ready(qzt_best_state *w, qzt_runs *r, int32_t p)
{
    int32_t ready = INF;
    for (int32_t k = 0; k < GAMMA_CLASSES; k++) {
        int32_t lo = p - qzt_run_reach(k);
        int32_t i = k < r->kept ? r->ptr[k] : 0;
        while (i < r->depth && w->stack_pos[i] < lo)
            i++;
        r->ptr[k] = i;
        if (i < r->depth && w->stack_val[i] + 2 * k + 1 + 8 * p < ready) {
            ready = w->stack_val[i] + 2 * k + 1 + 8 * p;
            w->run_start[p] = w->stack_pos[i];
        }
        if (i == 0) {
            r->kept = k + 1;
            break;  // wider runs reach no further back, at more cost
        }
    }
    return ready;
}

// One edge per step of the match cost: the longest length of each (distance
// class, length class) pair. Lengths grow along the list, so the steps come
// in one pass, each ending at the top of the length class or at the next
// match's length, whichever is nearer.
static inline void qzt_relax_matches(uint64_t *arrival, int32_t p, int32_t ready, const qzt_matches *m)
{
    for (int32_t e = 0, j = 0; e < m->count;) {  // no branch inside: the number of steps is hard to predict
        int32_t bound = qzt_class_top(j), len = m->len[e];
        int32_t end = std::min(len, bound);
        qzt_relax(&arrival[p + end], qzt_arrival(ready + 2 * m->cls[e] + 2 * j + 2, p, m->dist[e]));
        e += end == len;
        j += end == bound;
    }
}

// Walks back from the end: a final literal run if that is cheaper, then
// token after token.
static void qzt_trace_back(qzt_best_state *w, int32_t n, int32_t ready)
{
    const uint64_t *arrival = w->arrival;
    qzt_token *tok = w->tokens.at;
    int32_t nt = 0;
    int32_t q = n;
    if (ready < qzt_arrival_cost(arrival[n])) {
        int32_t s = w->run_start[n];
        tok[nt++] = {s, n - s, 0, 0};
        q = s;
    }
    while (q > 0) {
        int32_t p = qzt_arrival_start(arrival[q]);
        int32_t s = w->run_start[p];
        tok[nt++] = {s, p - s, qzt_arrival_dist(arrival[q]), q - p};
        q = s;
    }
    std::reverse(tok, tok + nt);
    w->tokens.count = nt;
}

const qzt_tokens *qzt_parse_best(qzt_best_state *w, const uint8_t *t, int32_t n)
{
    qzt_match_start(&w->match, t, n);
    uint64_t *arrival = w->arrival;
    for (int32_t q = 1; q <= n; q++)
        arrival[q] = qzt_arrival(INF, 0, 0);
    arrival[0] = 0;
    qzt_runs runs = {};
    int32_t ready = INF;
    for (int32_t p = 0;; p++) {
        int32_t cost = qzt_arrival_cost(arrival[p]);
        if (cost < INF)
            qzt_runs_push(w, &runs, p, cost - 8 * p);
        ready = qzt_ready(w, &runs, p);
        if (p == n)
            break;
        qzt_matches found;
        qzt_match_find(&w->match, t, n, p, &found);
        qzt_relax_matches(arrival, p, ready, &found);
    }
    qzt_trace_back(w, n, ready);
    return &w->tokens;
}
