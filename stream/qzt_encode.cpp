#include "stream/qzt_encode.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "diag/diag.h"
#include "stream/bits.h"
#include "stream/mstrm.h"
#include "stream/qzt.h"

// A token is gamma(L + 1), L literal bytes, then (unless the block is full)
// gamma(D) and gamma(M). A gamma code of v takes 2 * floor(log2 v) + 1 bits,
// so costs depend only on the "class" floor(log2 v) of each value.
//
// The best level finds, per block, a token sequence of the fewest bits as a
// shortest path over the block's positions:
// - cost[q]: fewest bits for bytes [0, q) ending with a whole token (a match
//   ends at q, or q = 0);
// - ready(p): fewest bits for [0, p) ending with the literal run of a token
//   whose match starts at p. A run of L literals from s costs
//   gamma(L + 1) + 8L, so ready(p) = min over run classes k of
//   2k + 1 + 8p + min { cost[s] - 8s : p - s <= 2^(k+1) - 2 }, read off a
//   stack of suffix minima of cost[s] - 8s;
// - matches from p: for each distance class only the longest match counts
//   (shorter lengths at that distance are there too, at no more cost), so a
//   length M costs the class of the nearest distance class reaching M, plus
//   gamma(M). That cost is a step function of M; only the longest M of each
//   step is tried. This loses nothing: the cheapest cost of coding the rest
//   of a block never rises as its start moves right (drop a literal, or the
//   first byte of a match), so reaching further for the same bits is never
//   worse.
// The longest match per distance class: for one and two bytes, the last
// position of those bytes; for more, a binary search tree per hash of three
// bytes, of the earlier positions keyed by suffix rank and heaped by
// recency (qzt_tree_search), or, in blocks where its search paths grow long,
// sets of the ranks within each class's reach (qzt_rank_search). Ranks come
// from the block's suffix array and long match lengths from its LCP array,
// so long repeats cost no more than short ones.

namespace {

constexpr int32_t INF = 1 << 30;
constexpr int32_t GAMMA_CLASSES = 16;     // values up to 65535
constexpr int32_t DIST_CLASSES = 15;      // distances below 32768
constexpr int32_t LCP_RUN = 16;           // LCP entries per run of the sparse table
constexpr int32_t LCP_RUNS = QZT_BLOCK / LCP_RUN;
constexpr int32_t SPARSE_LEVELS = 11;     // spans of runs below 2^11
constexpr int32_t SAIS_SCRATCH = 6 * QZT_BLOCK + 1024;  // see qzt_sais
constexpr int32_t LONG_MATCH = 32;   // bytes compared one by one before the LCP table answers
constexpr int32_t TREE_WORK = 32;    // tree nodes per position, on average, before ranks take over
constexpr int32_t AHEAD = 4;        // positions ahead whose table entries are fetched early
constexpr int32_t TREE_BITS = 15;     // hash of three bytes: one tree each
constexpr int32_t HASH_BITS = 15;     // the fast level's hash chains
constexpr int32_t FAST_DEPTH = 32;   // chain entries tried per position
constexpr int32_t FAST_NICE = 128;   // a match this long ends the search
constexpr int32_t FAST_MIN_GAIN = 4; // bits a match must save over literals

static_assert(QZT_BLOCK <= 32768, "block positions fit in int16_t, and their ends in uint16_t");
static_assert(QZT_BLOCK % LCP_RUN == 0 && LCP_RUNS <= (1 << SPARSE_LEVELS),
              "the sparse table covers every span of runs");
static_assert(QZT_BLOCK - 1 < (1 << DIST_CLASSES), "distance classes cover the block");

struct qzt_token {
    int32_t start;  // first literal
    int32_t lits;
    int32_t dist;  // 0: the literals end the block
    int32_t len;
};

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

struct qzt_work {
    qzt_token tokens[QZT_BLOCK + 1];
    int32_t ntokens;
    // Best level: suffix array, LCP array and sparse table, match tree, parse.
    int32_t sa[QZT_BLOCK];
    uint16_t lcp[QZT_BLOCK];
    uint16_t near[QZT_BLOCK][2];  // per position: LCP with the suffixes ranked just above, just below
    uint16_t sparse[SPARSE_LEVELS][LCP_RUNS];  // level k: minimum of 2^k runs of LCP entries
    int32_t scratch[SAIS_SCRATCH];
    int16_t root[1 << TREE_BITS];  // most recent position of each hash of three bytes
    qzt_rank_set reach[DIST_CLASSES];  // ranks of the positions within each distance class's reach
    int16_t last1[256];            // most recent position of each byte
    int16_t last2[1 << 16];        // and of each pair of bytes
    qzt_node node[QZT_BLOCK];
    // Per position q: cost[q] above, the start of the match ending at q and
    // its distance below, so that one comparison keeps the cheapest.
    uint64_t arrival[QZT_BLOCK + 1];
    uint16_t run_start[QZT_BLOCK + 1];  // start of the literal run ready(p) ends
    uint16_t stack_pos[QZT_BLOCK + 1];
    int32_t stack_val[QZT_BLOCK + 1];
    // Fast level: hash chains.
    int16_t head[1 << HASH_BITS];
    int16_t prev[QZT_BLOCK];
};

// The matches found at one position: for each distance class met, the
// longest match up to that class, nearest class first.
struct qzt_matches {
    int32_t count;
    int32_t best;      // the longest length so far
    int32_t last_cls;  // the class of the last entry, -1 before the first
    int32_t len[DIST_CLASSES], dist[DIST_CLASSES], cls[DIST_CLASSES];
};

struct qzt_fast_match {
    int32_t len, dist, gain;  // gain: bits saved over coding the bytes as literals
};

}  // namespace

static inline int32_t qzt_log2(uint32_t v)
{
    return 31 - __builtin_clz(v);
}

static inline int32_t qzt_gamma_bits(uint32_t v)
{
    return 2 * qzt_log2(v) + 1;
}

// Suffix array of s[0, n) (values 0 to upper) by induced sorting; a suffix
// sorts before the longer ones it is a prefix of. This level takes at most
// 1.25n + 3 * upper + 8 ints of ws, and the level below works on at most n/2
// values below n/2, so 6n + 1024 ints cover every level for upper = 255.
template <typename T>
static void qzt_sais(const T *s, int32_t n, int32_t upper, int32_t *sa, int32_t *ws)
{
    if (n == 1) {
        sa[0] = 0;
        return;
    }
    if (n == 2) {
        sa[0] = s[0] < s[1] ? 0 : 1;
        sa[1] = 1 - sa[0];
        return;
    }
    auto *ls = reinterpret_cast<uint8_t *>(ws);  // S type: sorts before the suffix after it
    ws += n / 4 + 1;
    int32_t *sum_l = ws;
    ws += upper + 2;
    int32_t *sum_s = ws;
    ws += upper + 2;
    int32_t *buf = ws;
    ws += upper + 2;

    ls[n - 1] = 0;
    for (int32_t i = n - 2; i >= 0; i--)
        ls[i] = s[i] == s[i + 1] ? ls[i + 1] : s[i] < s[i + 1];
    memset(sum_l, 0, sizeof(int32_t) * (upper + 2));
    memset(sum_s, 0, sizeof(int32_t) * (upper + 2));
    for (int32_t i = 0; i < n; i++) {
        if (!ls[i])
            sum_s[s[i]]++;
        else
            sum_l[s[i] + 1]++;
    }
    for (int32_t i = 0; i <= upper; i++) {
        sum_s[i] += sum_l[i];
        if (i < upper)
            sum_l[i + 1] += sum_s[i];
    }

    // The left-to-right pass meets only L types and LMS suffixes, so the
    // suffix before v is L type exactly when its value is no less than v's.
    auto induce = [&](const int32_t *lms, int32_t m) {
        for (int32_t i = 0; i < n; i++)
            sa[i] = -1;
        memcpy(buf, sum_s, sizeof(int32_t) * (upper + 1));
        for (int32_t i = 0; i < m; i++)
            sa[buf[s[lms[i]]]++] = lms[i];
        memcpy(buf, sum_l, sizeof(int32_t) * (upper + 1));
        sa[buf[s[n - 1]]++] = n - 1;
        for (int32_t i = 0; i < n; i++) {
            int32_t v = sa[i];
            if (v >= 1 && s[v - 1] >= s[v])
                sa[buf[s[v - 1]]++] = v - 1;
        }
        memcpy(buf, sum_l, sizeof(int32_t) * (upper + 1));
        for (int32_t i = n - 1; i >= 0; i--) {
            int32_t v = sa[i];
            if (v >= 1 && ls[v - 1])
                sa[--buf[s[v - 1] + 1]] = v - 1;
        }
    };

    // LMS positions: S type right after L type.
    int32_t *lms = ws;
    int32_t m = 0;
    for (int32_t i = 1; i < n; i++)
        if (!ls[i - 1] && ls[i])
            lms[m++] = i;
    ws += m;

    induce(lms, m);
    if (m == 0)
        return;

    // Name the LMS substrings in sorted order, sort their string, then
    // induce the whole array from the LMS suffixes in their true order.
    // LMS positions lie at least two apart and m <= n / 2, so sa[m + x / 2]
    // keeps a value for LMS position x past the m sorted ones: first the
    // length of its substring, then its name.
    int32_t j = 0;
    for (int32_t i = 0; i < n; i++) {
        int32_t v = sa[i];
        if (v > 0 && ls[v] && !ls[v - 1])
            sa[j++] = v;
    }
    for (int32_t i = 0; i < m; i++)
        sa[m + lms[i] / 2] = (i + 1 < m ? lms[i + 1] : n) - lms[i];
    int32_t rec_upper = 0;
    int32_t prev = sa[0], prev_len = sa[m + prev / 2];
    sa[m + prev / 2] = 0;
    for (int32_t i = 1; i < m; i++) {
        int32_t x = sa[i], len = sa[m + x / 2];
        // Substrings run to the next LMS position inclusive; one at the end
        // of s has no like.
        bool same = len == prev_len && x + len < n && prev + len < n;
        for (int32_t k = 0; same && k <= len; k++)
            same = s[x + k] == s[prev + k];
        rec_upper += !same;
        sa[m + x / 2] = rec_upper;
        prev = x;
        prev_len = len;
    }
    int32_t *rec_s = ws;
    ws += m;
    for (int32_t i = 0; i < m; i++)
        rec_s[i] = sa[m + lms[i] / 2];
    if (rec_upper == m - 1) {  // all names differ: they are the ranks
        for (int32_t i = 0; i < m; i++)
            sa[rec_s[i]] = i;
    } else {
        qzt_sais<int32_t>(rec_s, m, rec_upper, sa, ws);
    }
    for (int32_t i = 0; i < m; i++)
        rec_s[i] = lms[sa[i]];
    induce(rec_s, m);
}

// Ranks and the LCP array (entry r: the suffixes of ranks r - 1 and r), the
// same by position for the tree's sequential reads, and its sparse table.
static void qzt_build_lcp(qzt_work *w, const uint8_t *t, int32_t n)
{
    for (int32_t i = 0; i < n; i++)
        w->node[w->sa[i]].rank = static_cast<uint16_t>(i);
    uint16_t *lcp = w->lcp;
    lcp[0] = 0;
    w->near[w->sa[n - 1]][0] = 0;
    int32_t h = 0;
    for (int32_t i = 0; i < n; i++) {
        int32_t r = w->node[i].rank;
        if (r == 0) {
            w->near[i][1] = 0;
            h = 0;
            continue;
        }
        int32_t j = w->sa[r - 1];
        while (i + h < n && j + h < n && t[i + h] == t[j + h])
            h++;
        lcp[r] = static_cast<uint16_t>(h);
        w->near[i][1] = w->near[j][0] = static_cast<uint16_t>(h);
        if (h > 0)
            h--;
    }
    // Sparse table over whole runs of LCP_RUN entries: a sixteenth of the
    // memory of one over entries, so it stays in cache.
    int32_t runs = n / LCP_RUN;
    for (int32_t j = 0; j < runs; j++)
        w->sparse[0][j] = *std::min_element(lcp + j * LCP_RUN, lcp + (j + 1) * LCP_RUN);
    for (int32_t k = 1; (1 << k) < runs; k++)  // spans of up to runs - 1
        for (int32_t j = 0; j + (1 << k) <= runs; j++)
            w->sparse[k][j] = std::min(w->sparse[k - 1][j], w->sparse[k - 1][j + (1 << (k - 1))]);
}

// Common prefix length of the suffixes of ranks x and y: the minimum of LCP
// entries x + 1 to y, whole runs of them read off the sparse table.
static int32_t qzt_lcp_of_ranks(const qzt_work *w, int32_t x, int32_t y)
{
    if (x > y)
        std::swap(x, y);
    const uint16_t *lcp = w->lcp;
    int32_t a = x + 1, b = y + 1;  // entries [a, b)
    int32_t ra = (a + LCP_RUN - 1) / LCP_RUN, rb = b / LCP_RUN;  // whole runs [ra, rb)
    uint16_t v = UINT16_MAX;
    if (ra >= rb) {
        for (int32_t i = a; i < b; i++)
            v = std::min(v, lcp[i]);
        return v;
    }
    for (int32_t i = a; i < ra * LCP_RUN; i++)
        v = std::min(v, lcp[i]);
    for (int32_t i = rb * LCP_RUN; i < b; i++)
        v = std::min(v, lcp[i]);
    int32_t k = qzt_log2(static_cast<uint32_t>(rb - ra));
    return std::min({v, w->sparse[k][ra], w->sparse[k][rb - (1 << k)]});
}

// Common prefix length of the suffixes at a and p (a < p), known to be at
// least known: compared byte by byte while short, read off the table when long.
static int32_t qzt_match_len(qzt_work *w, const uint8_t *t, int32_t n, int32_t a, int32_t p, int32_t known)
{
    int32_t limit = n - p;
    int32_t stop = std::min(limit, known + LONG_MATCH);
    int32_t l = known;
    while (l + 8 <= stop) {
        uint64_t x, y;
        memcpy(&x, t + a + l, 8);
        memcpy(&y, t + p + l, 8);
        if (x != y)
            return l + (std::endian::native == std::endian::little ? __builtin_ctzll(x ^ y) : __builtin_clzll(x ^ y)) / 8;
        l += 8;
    }
    while (l < stop && t[a + l] == t[p + l])
        l++;
    if (l < stop || l == limit)
        return l;
    return qzt_lcp_of_ranks(w, w->node[a].rank, w->node[p].rank);
}

static uint32_t qzt_hash3(const uint8_t *t, int32_t bits)
{
    return (static_cast<uint32_t>(t[0] << 16 | t[1] << 8 | t[2]) * 2654435761u) >> (32 - bits);
}

// Notes a match longer than all before it, at a distance no nearer.
static void qzt_note_match(qzt_matches *m, int32_t len, int32_t d)
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
static int32_t qzt_tree_search(qzt_work *w, const uint8_t *t, int32_t n, int32_t p, qzt_matches *m)
{
    qzt_node *nodes = w->node;
    int32_t r = nodes[p].rank;
    const int32_t most[2] = {w->near[p][0], w->near[p][1]};
    int32_t len[2] = {0, 0};
    // Where the next node of each side goes: above p (0), below (1).
    int16_t *link[2] = {&nodes[p].child[1], &nodes[p].child[0]};
    int16_t &root = w->root[qzt_hash3(t + p, TREE_BITS)];
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

static void qzt_set_add(qzt_rank_set *s, int32_t r)
{
    s->word[r >> 6] |= 1ull << (r & 63);
    s->summary[r >> 12] |= 1ull << (r >> 6 & 63);
}

static void qzt_set_remove(qzt_rank_set *s, int32_t r)
{
    if (!(s->word[r >> 6] &= ~(1ull << (r & 63))))
        s->summary[r >> 12] &= ~(1ull << (r >> 6 & 63));
}

// The highest member below r, or -1.
static int32_t qzt_set_below(const qzt_rank_set *s, int32_t r)
{
    int32_t wi = r >> 6;
    uint64_t bits = s->word[wi] & ((1ull << (r & 63)) - 1);
    if (bits)
        return wi * 64 + 63 - __builtin_clzll(bits);
    int32_t si = wi >> 6;
    uint64_t words = s->summary[si] & ((1ull << (wi & 63)) - 1);
    while (!words) {
        if (--si < 0)
            return -1;
        words = s->summary[si];
    }
    wi = si * 64 + 63 - __builtin_clzll(words);
    return wi * 64 + 63 - __builtin_clzll(s->word[wi]);
}

// The lowest member above r, or -1.
static int32_t qzt_set_above(const qzt_rank_set *s, int32_t r)
{
    int32_t wi = r >> 6;
    uint64_t bits = (r & 63) == 63 ? 0 : s->word[wi] & ~0ull << ((r & 63) + 1);
    if (bits)
        return wi * 64 + __builtin_ctzll(bits);
    int32_t si = wi >> 6;
    uint64_t words = (wi & 63) == 63 ? 0 : s->summary[si] & ~0ull << ((wi & 63) + 1);
    while (!words) {
        if (++si == QZT_BLOCK / 64 / 64)
            return -1;
        words = s->summary[si];
    }
    wi = si * 64 + __builtin_ctzll(words);
    return wi * 64 + __builtin_ctzll(s->word[wi]);
}

// The same matches as qzt_tree_search, from the sets of ranks within each
// distance class's reach: on either side of p's rank, the nearest rank
// within the widest reach, then within the reach of the classes below that
// one's distance, and so on. Slower on most data, but a few set lookups per
// class however long the tree's search paths grow (as over many long runs
// of one byte).
static void qzt_rank_search(qzt_work *w, int32_t p, qzt_matches *m)
{
    int32_t r = w->node[p].rank;
    int32_t fl[2][DIST_CLASSES], fd[2][DIST_CLASSES], count[2] = {0, 0};
    for (int32_t side = 0; side < 2; side++) {
        for (int32_t c = DIST_CLASSES - 1;;) {
            int32_t x = side ? qzt_set_below(&w->reach[c], r) : qzt_set_above(&w->reach[c], r);
            if (x < 0)
                break;
            int32_t d = p - w->sa[x];
            fl[side][count[side]] = qzt_lcp_of_ranks(w, x, r);
            fd[side][count[side]++] = d;
            c = qzt_log2(static_cast<uint32_t>(d)) - 1;
            if (c < 0)
                break;
        }
    }
    // Both sides found their matches farthest first: merge them nearest first.
    for (int32_t i = count[0], j = count[1]; i > 0 || j > 0;) {
        bool first = j == 0 || (i > 0 && fd[0][i - 1] < fd[1][j - 1]);
        int32_t l = first ? fl[0][--i] : fl[1][--j];
        int32_t d = first ? fd[0][i] : fd[1][j];
        if (l > m->best)
            qzt_note_match(m, l, d);
    }
}

// The reach of class c: distances up to 2^(c+1) - 1.
static constexpr int32_t qzt_reach_of(int32_t c)
{
    return (2 << c) - 1;
}

// Switches to qzt_rank_search from position p on: the sets take the positions
// before p within their reach.
static void qzt_rank_start(qzt_work *w, int32_t p)
{
    memset(w->reach, 0, sizeof w->reach);
    for (int32_t c = 0; c < DIST_CLASSES; c++)
        for (int32_t x = std::max(0, p - qzt_reach_of(c)); x < p; x++)
            qzt_set_add(&w->reach[c], w->node[x].rank);
}

// Moves the reaches on past p.
static void qzt_rank_advance(qzt_work *w, int32_t p)
{
    for (int32_t c = 0; c < DIST_CLASSES; c++) {
        qzt_set_add(&w->reach[c], w->node[p].rank);
        if (p - qzt_reach_of(c) >= 0)
            qzt_set_remove(&w->reach[c], w->node[p - qzt_reach_of(c)].rank);
    }
}

// Keeps the cheaper arrival, by a store either way: which one wins is hard
// to predict.
static inline void qzt_relax(uint64_t *arrival, uint64_t a)
{
    uint64_t old = *arrival;
    *arrival = a < old ? a : old;
}

static void qzt_parse_best(qzt_work *w, const uint8_t *t, int32_t n)
{
    qzt_sais<uint8_t>(t, n, 255, w->sa, w->scratch);
    qzt_build_lcp(w, t, n);
    memset(w->root, 0xFF, sizeof w->root);
    memset(w->last1, 0xFF, sizeof w->last1);
    memset(w->last2, 0xFF, sizeof w->last2);

    uint64_t *arrival = w->arrival;
    for (int32_t q = 1; q <= n; q++)
        arrival[q] = static_cast<uint64_t>(INF) << 32;
    arrival[0] = 0;
    // Stack of suffix minima of cost[s] - 8s; ptr[k]: its first entry inside
    // the window of run class k (or an earlier one), kept for the classes
    // below `kept` only: the last search stopped there, at the stack's
    // bottom, where the wider classes begin. Pops clamp every class's
    // pointer, a fixed loop the compiler vectorizes, though only those below
    // `kept` are read.
    int32_t depth = 0;
    int32_t ptr[GAMMA_CLASSES] = {};
    int32_t kept = 0;
    int32_t ready = INF;
    bool by_rank = false;
    int32_t tree_met = 0;
    for (int32_t p = 0;; p++) {
        auto cost = static_cast<int32_t>(arrival[p] >> 32);
        if (cost < INF) {
            int32_t v = cost - 8 * p;
            while (depth > 0 && w->stack_val[depth - 1] >= v)
                depth--;
            for (int32_t k = 0; k < GAMMA_CLASSES; k++)
                ptr[k] = std::min(ptr[k], depth);
            w->stack_pos[depth] = static_cast<uint16_t>(p);
            w->stack_val[depth] = v;
            depth++;
        }
        ready = INF;
        for (int32_t k = 0; k < GAMMA_CLASSES; k++) {
            int32_t lo = p - ((2 << k) - 2);
            int32_t i = k < kept ? ptr[k] : 0;
            while (i < depth && w->stack_pos[i] < lo)
                i++;
            ptr[k] = i;
            if (i < depth && w->stack_val[i] + 2 * k + 1 + 8 * p < ready) {
                ready = w->stack_val[i] + 2 * k + 1 + 8 * p;
                w->run_start[p] = w->stack_pos[i];
            }
            if (i == 0) {
                kept = k + 1;
                break;  // wider runs reach no further back, at more cost
            }
        }
        if (p == n)
            break;

        // The longest match of each distance class, nearest first: matches
        // of one and two bytes from the last positions of p's first bytes,
        // longer ones from the tree, or from the ranks once the tree's paths
        // have grown long.
        if (p + AHEAD + 3 <= n) {
            __builtin_prefetch(&w->last2[t[p + AHEAD] << 8 | t[p + AHEAD + 1]]);
            __builtin_prefetch(&w->root[qzt_hash3(t + p + AHEAD, TREE_BITS)]);
        }
        qzt_matches found;
        found.count = found.best = 0;
        found.last_cls = -1;
        if (w->last1[t[p]] >= 0)
            qzt_note_match(&found, 1, p - w->last1[t[p]]);
        w->last1[t[p]] = static_cast<int16_t>(p);
        if (p + 2 <= n) {
            int16_t &last = w->last2[t[p] << 8 | t[p + 1]];
            if (last >= 0)
                qzt_note_match(&found, 2, p - last);
            last = static_cast<int16_t>(p);
        }
        if (p + 3 <= n) {
            if (!by_rank && tree_met > TREE_WORK * (p + 128)) {
                qzt_rank_start(w, p);
                by_rank = true;
            }
            if (by_rank) {
                qzt_rank_search(w, p, &found);
                qzt_rank_advance(w, p);
            } else {
                tree_met += qzt_tree_search(w, t, n, p, &found);
            }
        }

        // One edge per step of the match cost: the longest length of each
        // (distance class, length class) pair. Lengths grow along the list,
        // so the steps come in one pass, each ending at the next length
        // class's end or at the next match's length, whichever is nearer;
        // one loop of as many turns as steps, with no branch inside, as
        // their number is hard to predict.
        for (int32_t e = 0, j = 0; e < found.count;) {
            int32_t bound = (2 << j) - 1, len = found.len[e];
            int32_t end = std::min(len, bound);
            qzt_relax(&arrival[p + end], static_cast<uint64_t>(ready + 2 * found.cls[e] + 2 * j + 2) << 32 |
                                             static_cast<uint32_t>(p) << 16 | static_cast<uint32_t>(found.dist[e]));
            e += end == len;
            j += end == bound;
        }
    }

    // Walk back from the end: a final literal run if that is cheaper, then
    // token after token.
    qzt_token *tok = w->tokens;
    int32_t nt = 0;
    int32_t q = n;
    if (ready < static_cast<int32_t>(arrival[n] >> 32)) {
        int32_t s = w->run_start[n];
        tok[nt++] = {s, n - s, 0, 0};
        q = s;
    }
    while (q > 0) {
        auto p = static_cast<int32_t>(arrival[q] >> 16 & 0xFFFF);
        auto d = static_cast<int32_t>(arrival[q] & 0xFFFF);
        int32_t s = w->run_start[p];
        tok[nt++] = {s, p - s, d, q - p};
        q = s;
    }
    std::reverse(tok, tok + nt);
    w->ntokens = nt;
}

static void qzt_fast_insert(qzt_work *w, const uint8_t *t, int32_t n, int32_t p)
{
    if (p + 3 > n)
        return;
    uint32_t h = qzt_hash3(t + p, HASH_BITS);
    w->prev[p] = w->head[h];
    w->head[h] = static_cast<int16_t>(p);
}

static qzt_fast_match qzt_fast_find(const qzt_work *w, const uint8_t *t, int32_t n, int32_t p)
{
    qzt_fast_match best = {0, 0, 0};
    if (p + 3 > n)
        return best;
    int32_t limit = n - p;
    int32_t cand = w->head[qzt_hash3(t + p, HASH_BITS)];
    for (int32_t tries = 0; cand >= 0 && tries < FAST_DEPTH && best.len < limit;
         tries++, cand = w->prev[cand]) {
        // Nearer candidates came first: a farther one must be longer to save more.
        if (t[cand + best.len] != t[p + best.len])
            continue;
        int32_t l = 0;
        while (l < limit && t[cand + l] == t[p + l])
            l++;
        if (l <= best.len)
            continue;
        int32_t gain = 8 * l - qzt_gamma_bits(static_cast<uint32_t>(p - cand)) - qzt_gamma_bits(static_cast<uint32_t>(l));
        if (gain > best.gain)
            best = {l, p - cand, gain};
        if (l >= FAST_NICE)
            break;
    }
    return best;
}

// Greedy hash-chain matching with one step of lazy evaluation.
static void qzt_parse_fast(qzt_work *w, const uint8_t *t, int32_t n)
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
        w->tokens[nt++] = {start, p - start, cur.dist, cur.len};
        for (int32_t i = p + 1; i < p + cur.len; i++)
            qzt_fast_insert(w, t, n, i);
        p += cur.len;
        start = p;
        cur = qzt_fast_find(w, t, n, p);
    }
    if (start < n)
        w->tokens[nt++] = {start, n - start, 0, 0};
    w->ntokens = nt;
}

static void qzt_put_gamma(bits *b, uint32_t v)
{
    int32_t z = qzt_log2(v);
    if (z > 0)
        bits_put(b, z, 0);
    bits_put(b, z + 1, v);
}

// Finds the block's tokens and codes them, after the block header, into a
// new memory writer; null when memory runs out.
strm *qzt_code_block(qzt_work *w, const uint8_t *t, int32_t n, int level)
{
    if (level >= QZT_LEVEL_BEST)
        qzt_parse_best(w, t, n);
    else
        qzt_parse_fast(w, t, n);
    strm *mem = mstrm_new_writer();
    if (!mem)
        return nullptr;
    const uint8_t head[QZT_BLOCK_HEADER] = {QZT_SYNC >> 8, QZT_SYNC & 0xFF, static_cast<uint8_t>(n >> 8),
                                            static_cast<uint8_t>(n)};
    strm_write(mem, head, QZT_BLOCK_HEADER);
    bits *b = bits_new(mem);
    if (!b) {
        strm_release(mem);
        return nullptr;
    }
    for (int32_t i = 0; i < w->ntokens; i++) {
        const qzt_token &k = w->tokens[i];
        qzt_put_gamma(b, static_cast<uint32_t>(k.lits) + 1);
        for (int32_t j = 0; j < k.lits; j++)
            bits_put(b, 8, t[k.start + j]);
        if (k.dist) {
            qzt_put_gamma(b, static_cast<uint32_t>(k.dist));
            qzt_put_gamma(b, static_cast<uint32_t>(k.len));
        }
    }
    bits_free(b);
    return mem;
}

bool qzt_encode(const uint8_t *data, uint32_t len, int level, strm *out, qzt_progress_fn progress, void *ctx)
{
    const uint8_t head[QZT_HEADER] = {QZT_MAGIC >> 8,
                                      QZT_MAGIC & 0xFF,
                                      static_cast<uint8_t>(len >> 24),
                                      static_cast<uint8_t>(len >> 16),
                                      static_cast<uint8_t>(len >> 8),
                                      static_cast<uint8_t>(len)};
    if (strm_write(out, head, QZT_HEADER) != QZT_HEADER)
        return false;
    uint32_t blocks = len / QZT_BLOCK + (len % QZT_BLOCK != 0);
    if (blocks == 0)
        return true;

    // Blocks are independent: the best level codes them on two threads, each
    // with its own work area taking the next block nobody has taken. They
    // are written in order once all are coded.
    int32_t lanes = level >= QZT_LEVEL_BEST && blocks > 1 ? 2 : 1;
    auto **coded = static_cast<strm **>(calloc(blocks, sizeof(strm *)));
    qzt_work *w[2] = {};
    bool ok = coded != nullptr;
    for (int32_t i = 0; ok && i < lanes; i++)
        ok = (w[i] = static_cast<qzt_work *>(malloc(sizeof(qzt_work)))) != nullptr;
    if (!ok) {
        fatal_error("out of memory");
    } else {
        std::atomic<uint32_t> next{0}, finished{0};
        auto lane = [&](qzt_work *work, bool report) {
            for (uint32_t b; (b = next++) < blocks;) {
                uint32_t at = b * static_cast<uint32_t>(QZT_BLOCK);
                auto n = static_cast<int32_t>(std::min<uint32_t>(len - at, QZT_BLOCK));
                coded[b] = qzt_code_block(work, data + at, n, level);
                uint32_t f = ++finished;
                if (report && progress && f < blocks)
                    progress(ctx, f * static_cast<uint32_t>(QZT_BLOCK), len);
            }
        };
        std::thread second;
        if (lanes == 2)
            second = std::thread(lane, w[1], false);
        lane(w[0], true);
        if (second.joinable())
            second.join();
        if (progress)
            progress(ctx, len, len);
        for (uint32_t b = 0; b < blocks; b++) {
            uint32_t size = 0;
            const uint8_t *bytes = coded[b] ? mstrm_data(coded[b], &size) : nullptr;
            ok = ok && bytes && strm_write(out, bytes, static_cast<int32_t>(size)) == static_cast<int32_t>(size);
            if (coded[b])
                strm_release(coded[b]);
        }
    }
    free(coded);
    free(w[0]);
    free(w[1]);
    return ok;
}
