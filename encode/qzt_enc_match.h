// Compressed format encoder: the longest match of each distance class.
//
// qzt_match_start prepares a block t[0, n); then qzt_match_find, called for
// p = 0 to n - 1 in order, gives the matches from p back into t[0, p): for
// each distance class met, the longest match of that class or a nearer one,
// nearest class first, each longer than the one before. For one and two
// bytes: the last position of those bytes. For more: a binary search tree per
// hash of three bytes, of the earlier positions keyed by suffix rank and
// heaped by recency (qzt_tree_search), or, in blocks where its search paths
// grow long, sets of the ranks within each class's reach (qzt_rank_search).
// Ranks come from the block's suffix array and long match lengths from its
// LCP table, so long repeats cost no more than short ones. The search for a
// position is inline here: it runs in the parse's innermost loop.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "encode/qzt_enc.h"
#include "encode/qzt_enc_sort.h"

constexpr int32_t QZT_DIST_CLASSES = 15;  // distances below 32768
constexpr int32_t QZT_LCP_RUN = 16;       // LCP entries per run of the sparse table
constexpr int32_t QZT_LCP_RUNS = QZT_BLOCK / QZT_LCP_RUN;
constexpr int32_t QZT_SPARSE_LEVELS = 11;  // spans of runs below 2^11
constexpr int32_t QZT_LONG_MATCH = 32;     // bytes compared one by one before the LCP table answers
constexpr int32_t QZT_TREE_WORK = 32;      // tree nodes per position, on average, before ranks take over
constexpr int32_t QZT_TREE_BITS = 15;      // hash of three bytes: one tree each
constexpr int32_t QZT_AHEAD = 4;           // positions ahead whose table entries are fetched early

static_assert(QZT_BLOCK % QZT_LCP_RUN == 0 && QZT_LCP_RUNS <= (1 << QZT_SPARSE_LEVELS),
              "the sparse table covers every span of runs");
static_assert(QZT_BLOCK - 1 < (1 << QZT_DIST_CLASSES), "distance classes cover the block");

// A position in the match tree.
struct qzt_node {
    uint16_t rank;     // of its suffix within the block
    int16_t child[2];  // lower ranks, higher ranks
};
static_assert(sizeof(qzt_node) == 6, "nodes are three halfwords");

// A set of ranks as bits, with a bit per word that has any.
struct qzt_rank_set {
    uint64_t word[QZT_BLOCK / 64];
    uint64_t summary[QZT_BLOCK / 64 / 64];
};

struct qzt_match_state {
    int32_t sa[QZT_BLOCK];
    uint16_t lcp[QZT_BLOCK];      // entry r: the suffixes of ranks r - 1 and r
    uint16_t near[QZT_BLOCK][2];  // per position: LCP with the suffixes ranked just above, just below
    uint16_t sparse[QZT_SPARSE_LEVELS][QZT_LCP_RUNS];  // level k: minimum of 2^k runs of LCP entries
    int32_t scratch[QZT_SORT_SCRATCH];
    int16_t root[1 << QZT_TREE_BITS];      // most recent position of each hash of three bytes
    qzt_rank_set reach[QZT_DIST_CLASSES];  // class c: ranks of the positions up to qzt_class_top(c) back
    int16_t last1[256];                    // most recent position of each byte
    int16_t last2[1 << 16];                // and of each pair of bytes
    qzt_node node[QZT_BLOCK];
    int32_t tree_met;  // tree nodes met so far
    bool by_rank;      // the rank sets have taken over from the trees
};

// The matches found at one position.
struct qzt_matches {
    int32_t count;
    int32_t best;      // the longest length so far
    int32_t last_cls;  // the class of the last entry, -1 before the first
    int32_t len[QZT_DIST_CLASSES], dist[QZT_DIST_CLASSES], cls[QZT_DIST_CLASSES];
};

void qzt_match_start(qzt_match_state *w, const uint8_t *t, int32_t n);
// Common prefix length of the suffixes of ranks x and y.
int32_t qzt_lcp_of_ranks(const qzt_match_state *w, int32_t x, int32_t y);
// Switches to the rank sets from position p on (sets by_rank).
void qzt_rank_start(qzt_match_state *w, int32_t p);
// Notes p's matches from the rank sets, then moves the sets' reaches past p.
void qzt_rank_search(qzt_match_state *w, int32_t p, qzt_matches *m);

// Common prefix length of the suffixes at a and p (a < p), known to be at
// least known: compared byte by byte while short, read off the table when long.
static inline int32_t qzt_match_len(const qzt_match_state *w, const uint8_t *t, int32_t n, int32_t a, int32_t p,
                                    int32_t known)
{
    int32_t limit = n - p;
    int32_t stop = std::min(limit, known + QZT_LONG_MATCH);
    int32_t l = known;
    while (l + 8 <= stop) {
        uint64_t x, y;
        memcpy(&x, t + a + l, 8);
        memcpy(&y, t + p + l, 8);
        if (x != y)
            return l +
                   (std::endian::native == std::endian::little ? __builtin_ctzll(x ^ y) : __builtin_clzll(x ^ y)) / 8;
        l += 8;
    }
    while (l < stop && t[a + l] == t[p + l])
        l++;
    if (l < stop || l == limit)
        return l;
    return qzt_lcp_of_ranks(w, w->node[a].rank, w->node[p].rank);
}

// Notes a match longer than all before it, at a distance no nearer.
static inline void qzt_note_match(qzt_matches *m, int32_t len, int32_t d)
{
    int32_t c = qzt_log2(static_cast<uint32_t>(d));
    m->count += c != m->last_cls;  // no branch: the class is hard to predict
    m->last_cls = c;
    m->len[m->count - 1] = len;
    m->dist[m->count - 1] = d;
    m->cls[m->count - 1] = c;
    m->best = len;
}

// Searches p in the tree of its first three bytes' hash and inserts it as
// the root, splitting the old tree into the ranks below p's (its left) and
// above (its right). The search path holds, for every distance bound, the
// nodes nearest p in rank among those that close, so the matches it notes
// are the longest within every bound. A node met lies between the last ones
// placed on either side, so it shares at least the shorter of their
// prefixes with p; none below p shares more than the suffix ranked just
// below p's, nor above more than the one just above. Returns the nodes met.
static inline int32_t qzt_tree_search(qzt_match_state *w, const uint8_t *t, int32_t n, int32_t p, qzt_matches *m)
{
    qzt_node *nodes = w->node;
    int32_t r = nodes[p].rank;
    const int32_t most[2] = {w->near[p][0], w->near[p][1]};
    int32_t len[2] = {0, 0};
    // Where the next node of each side goes: above p (0), below (1).
    int16_t *link[2] = {&nodes[p].child[1], &nodes[p].child[0]};
    int16_t &root = w->root[qzt_hash3(t + p, QZT_TREE_BITS)];
    int32_t cur = root;
    root = static_cast<int16_t>(p);
    int32_t met = 0;
    for (; cur >= 0; met++) {
        qzt_node *c = &nodes[cur];
        int32_t below = c->rank < r;
        // One branch on both tests, the byte read kept within the block.
        int32_t at = std::min(m->best, n - p - 1);
        if ((m->best < most[below]) & (t[cur + at] == t[p + at])) {
            int32_t l = qzt_match_len(w, t, n, cur, p, std::min(len[0], len[1]));
            len[below] = l;
            if (l > m->best)
                qzt_note_match(m, l, p - cur);  // the path goes to ever older positions
        }
        *link[below] = static_cast<int16_t>(cur);
        link[below] = &c->child[below];
        cur = c->child[below];
    }
    *link[0] = -1;
    *link[1] = -1;
    return met;
}

// Fills *m with the matches from p and enters p for the positions after it.
static inline void qzt_match_find(qzt_match_state *w, const uint8_t *t, int32_t n, int32_t p, qzt_matches *m)
{
    if (p + QZT_AHEAD + 3 <= n) {  // fetched early: these reads would miss the cache
        __builtin_prefetch(&w->last2[t[p + QZT_AHEAD] << 8 | t[p + QZT_AHEAD + 1]]);
        __builtin_prefetch(&w->root[qzt_hash3(t + p + QZT_AHEAD, QZT_TREE_BITS)]);
    }
    m->count = m->best = 0;
    m->last_cls = -1;
    if (w->last1[t[p]] >= 0)
        qzt_note_match(m, 1, p - w->last1[t[p]]);
    w->last1[t[p]] = static_cast<int16_t>(p);
    if (p + 2 <= n) {
        int16_t &last = w->last2[t[p] << 8 | t[p + 1]];
        if (last >= 0)
            qzt_note_match(m, 2, p - last);
        last = static_cast<int16_t>(p);
    }
    if (p + 3 > n)
        return;
    if (!w->by_rank && w->tree_met > QZT_TREE_WORK * (p + 128))
        qzt_rank_start(w, p);
    if (w->by_rank)
        qzt_rank_search(w, p, m);
    else
        w->tree_met += qzt_tree_search(w, t, n, p, m);
}
