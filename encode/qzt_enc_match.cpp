#include "encode/qzt_enc_match.h"

// Ranks and the LCP table, the same by position for the tree's sequential
// reads, and its sparse table.
static void qzt_build_lcp(qzt_match_state *w, const uint8_t *t, int32_t n)
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
    // Over whole runs of entries: a sixteenth of the memory, so it stays in cache.
    int32_t runs = n / QZT_LCP_RUN;
    for (int32_t j = 0; j < runs; j++)
        w->sparse[0][j] = *std::min_element(lcp + j * QZT_LCP_RUN, lcp + (j + 1) * QZT_LCP_RUN);
    for (int32_t k = 1; (1 << k) < runs; k++)  // spans of up to runs - 1
        for (int32_t j = 0; j + (1 << k) <= runs; j++)
            w->sparse[k][j] = std::min(w->sparse[k - 1][j], w->sparse[k - 1][j + (1 << (k - 1))]);
}

void qzt_match_start(qzt_match_state *w, const uint8_t *t, int32_t n)
{
    qzt_suffix_sort(t, n, w->sa, w->scratch);
    qzt_build_lcp(w, t, n);
    memset(w->root, 0xFF, sizeof w->root);
    memset(w->last1, 0xFF, sizeof w->last1);
    memset(w->last2, 0xFF, sizeof w->last2);
    w->tree_met = 0;
    w->by_rank = false;
}

// The minimum of LCP entries x + 1 to y, whole runs of them read off the
// sparse table.
int32_t qzt_lcp_of_ranks(const qzt_match_state *w, int32_t x, int32_t y)
{
    if (x > y)
        std::swap(x, y);
    const uint16_t *lcp = w->lcp;
    int32_t a = x + 1, b = y + 1;                                            // entries [a, b)
    int32_t ra = (a + QZT_LCP_RUN - 1) / QZT_LCP_RUN, rb = b / QZT_LCP_RUN;  // whole runs [ra, rb)
    uint16_t v = UINT16_MAX;
    if (ra >= rb) {
        for (int32_t i = a; i < b; i++)
            v = std::min(v, lcp[i]);
        return v;
    }
    for (int32_t i = a; i < ra * QZT_LCP_RUN; i++)
        v = std::min(v, lcp[i]);
    for (int32_t i = rb * QZT_LCP_RUN; i < b; i++)
        v = std::min(v, lcp[i]);
    int32_t k = qzt_log2(static_cast<uint32_t>(rb - ra));
    return std::min({v, w->sparse[k][ra], w->sparse[k][rb - (1 << k)]});
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

// The sets take the positions before p within their reach.
void qzt_rank_start(qzt_match_state *w, int32_t p)
{
    memset(w->reach, 0, sizeof w->reach);
    for (int32_t c = 0; c < QZT_DIST_CLASSES; c++)
        for (int32_t x = std::max(0, p - qzt_class_top(c)); x < p; x++)
            qzt_set_add(&w->reach[c], w->node[x].rank);
    w->by_rank = true;
}

// The same matches as qzt_tree_search: on either side of p's rank, the
// nearest rank within the widest reach, then within the reach of the classes
// below that one's distance, and so on. Slower on most data, but a few set
// lookups per class however long the tree's search paths grow (as over many
// long runs of one byte).
void qzt_rank_search(qzt_match_state *w, int32_t p, qzt_matches *m)
{
    int32_t r = w->node[p].rank;
    int32_t fl[2][QZT_DIST_CLASSES], fd[2][QZT_DIST_CLASSES], count[2] = {0, 0};
    for (int32_t side = 0; side < 2; side++) {
        for (int32_t c = QZT_DIST_CLASSES - 1;;) {
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
    // Moves the reaches on past p.
    for (int32_t c = 0; c < QZT_DIST_CLASSES; c++) {
        qzt_set_add(&w->reach[c], w->node[p].rank);
        if (p - qzt_class_top(c) >= 0)
            qzt_set_remove(&w->reach[c], w->node[p - qzt_class_top(c)].rank);
    }
}
