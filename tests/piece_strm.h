// A reader for the tests and the fuzz targets: data whose every window is a
// fresh allocation of at most `piece` bytes, so that the sanitizers catch a
// read outside the window, and a decoder that keeps a pointer into an
// earlier window reads freed memory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "stream/strm.h"

struct piece_strm {
    strm head;
    const std::vector<uint8_t> *data;
    uint32_t pos;  // of the window's end
    uint32_t piece;
    uint8_t *buf;
};

inline int32_t piece_fill(strm *s)
{
    auto *p = reinterpret_cast<piece_strm *>(s);
    uint32_t n = std::min<uint32_t>(p->piece, static_cast<uint32_t>(p->data->size()) - p->pos);
    if (n == 0)
        return 0;
    // Taken before the last one is freed, so that it lies elsewhere.
    auto *buf = static_cast<uint8_t *>(malloc(n));
    memcpy(buf, p->data->data() + p->pos, n);
    free(p->buf);
    p->buf = buf;
    p->pos += n;
    s->next = p->buf;
    s->end = p->buf + n;
    return 1;
}

inline bool piece_at_end(strm *s)
{
    auto *p = reinterpret_cast<piece_strm *>(s);
    return p->pos == p->data->size();
}

inline uint32_t piece_tell(strm *s)
{
    return reinterpret_cast<piece_strm *>(s)->pos - static_cast<uint32_t>(s->end - s->next);
}

inline void piece_close(strm *s)
{
    free(reinterpret_cast<piece_strm *>(s)->buf);
}

inline const strm_ops piece_ops = {
    .fill = piece_fill,
    .at_end = piece_at_end,
    .tell = piece_tell,
    .close = piece_close,
};

inline strm *piece_reader(const std::vector<uint8_t> &data, uint32_t piece)
{
    strm *s = strm_alloc(sizeof(piece_strm), &piece_ops);
    auto *p = reinterpret_cast<piece_strm *>(s);
    p->data = &data;
    p->piece = piece;
    return s;
}
