// Codes the levels' tokens block by block, on one thread or two.
#include "encode/qzt_encode.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "diag/diag.h"
#include "stream/bits.h"
#include "stream/mstrm.h"
#include "stream/qzt.h"
#include "encode/qzt_enc.h"
#include "encode/qzt_enc_best.h"
#include "encode/qzt_enc_fast.h"

namespace {

// One thread's work area: the state of the level it codes at, the other null.
struct qzt_lane {
    qzt_best_state *best;
    qzt_fast_state *fast;
};

}  // namespace

static void qzt_put_gamma(bits *b, uint32_t v)
{
    int32_t z = qzt_log2(v);
    if (z > 0)
        bits_put(b, z, 0);
    bits_put(b, z + 1, v);
}

// Finds the block's tokens and codes them, after the block header, into a
// new memory writer; null when memory runs out.
static strm *qzt_code_block(const qzt_lane *lane, const uint8_t *t, int32_t n)
{
    const qzt_tokens *tokens = lane->best ? qzt_parse_best(lane->best, t, n) : qzt_parse_fast(lane->fast, t, n);
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
    for (int32_t i = 0; i < tokens->count; i++) {
        const qzt_token &k = tokens->at[i];
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

int32_t g_qzt_threads = 2;

bool qzt_encode(const uint8_t *data, uint32_t len, int level, strm *out, qzt_progress_fn progress, void *ctx)
{
    if (!qzt_encode_head(len, out))
        return false;
    uint32_t blocks = len / QZT_BLOCK + (len % QZT_BLOCK != 0);
    if (blocks == 0)
        return true;

    // Blocks are independent: the best level codes them on its threads, each
    // with its own work area taking the next block nobody has taken. They
    // are written in order once all are coded.
    int32_t lanes = 1;
    if (level >= QZT_LEVEL_BEST)
        lanes =
            std::clamp<int32_t>(std::min<uint32_t>(static_cast<uint32_t>(g_qzt_threads), blocks), 1, QZT_MAX_THREADS);
    auto **coded = static_cast<strm **>(calloc(blocks, sizeof(strm *)));
    qzt_lane lane[QZT_MAX_THREADS] = {};
    bool ok = coded != nullptr;
    for (int32_t i = 0; ok && i < lanes; i++) {
        if (level >= QZT_LEVEL_BEST)
            ok = (lane[i].best = static_cast<qzt_best_state *>(malloc(sizeof(qzt_best_state)))) != nullptr;
        else
            ok = (lane[i].fast = static_cast<qzt_fast_state *>(malloc(sizeof(qzt_fast_state)))) != nullptr;
    }
    if (!ok) {
        fatal_error("out of memory");
    } else {
        std::atomic<uint32_t> next{0}, finished{0};
        auto run = [&](const qzt_lane *work, bool report) {
            for (uint32_t b; (b = next++) < blocks;) {
                uint32_t at = b * static_cast<uint32_t>(QZT_BLOCK);
                auto n = static_cast<int32_t>(std::min<uint32_t>(len - at, QZT_BLOCK));
                coded[b] = qzt_code_block(work, data + at, n);
                uint32_t f = ++finished;
                if (report && progress && f < blocks)
                    progress(ctx, f * static_cast<uint32_t>(QZT_BLOCK), len);
            }
        };
        std::thread others[QZT_MAX_THREADS - 1];
        for (int32_t i = 1; i < lanes; i++)
            others[i - 1] = std::thread(run, &lane[i], false);
        run(&lane[0], true);
        for (int32_t i = 1; i < lanes; i++)
            others[i - 1].join();
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
    for (qzt_lane &l : lane) {
        free(l.best);
        free(l.fast);
    }
    return ok;
}
