#include "encode/qzt_enc_sort.h"

#include <cstring>

// Suffix array of s[0, n) (values 0 to upper). This level takes at most
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

void qzt_suffix_sort(const uint8_t *t, int32_t n, int32_t *sa, int32_t *scratch)
{
    qzt_sais<uint8_t>(t, n, 255, sa, scratch);
}
