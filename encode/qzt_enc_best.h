// Compressed format encoder: the best level's parse.
//
// qzt_parse_best parses a block t[0, n) (1 <= n <= QZT_BLOCK) into a token
// sequence of the fewest bits the code allows, found as a shortest path over
// the block's positions. It returns the tokens, held in w until its next parse.
#pragma once

#include <cstdint>

#include "encode/qzt_enc.h"
#include "encode/qzt_enc_match.h"

struct qzt_best_state {
    qzt_tokens tokens;
    qzt_match_state match;
    uint64_t arrival[QZT_BLOCK + 1];    // per position: the cheapest way there, packed by qzt_arrival
    uint16_t run_start[QZT_BLOCK + 1];  // start of the literal run ready(p) ends
    uint16_t stack_pos[QZT_BLOCK + 1];  // the stack of suffix minima of cost[s] - 8s: positions
    int32_t stack_val[QZT_BLOCK + 1];   // and values
};

const qzt_tokens *qzt_parse_best(qzt_best_state *w, const uint8_t *t, int32_t n);
