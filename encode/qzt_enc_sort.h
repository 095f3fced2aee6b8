// Compressed format encoder: suffix sorting.
//
// qzt_suffix_sort fills sa[0, n) with the starts of the suffixes of t[0, n)
// (1 <= n <= QZT_BLOCK) in sorted order, by induced sorting; a suffix sorts
// before the longer ones it is a prefix of. scratch holds QZT_SORT_SCRATCH
// ints, which cover every level of its recursion.
#pragma once

#include <cstdint>

#include "stream/qzt.h"

constexpr int32_t QZT_SORT_SCRATCH = 6 * QZT_BLOCK + 1024;

void qzt_suffix_sort(const uint8_t *t, int32_t n, int32_t *sa, int32_t *scratch);
