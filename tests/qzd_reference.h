// The delta format read bit by bit through bits_get, token by token as it is
// written down, with the old file and the new data whole in memory: the
// reference that the block decoder is checked against in the fuzz target.
#pragma once

#include <cstdint>
#include <vector>

#include "stream/bits.h"
#include "stream/qzd.h"

// Rebuilds the new file from old and the delta's blocks, which in reads;
// appends what it makes to made, a corrupt block zero-filled from the fault
// on. The status of the last block read, as qzd_read_block gives it.
inline int32_t qzd_ref_rebuild(strm *in, const std::vector<uint8_t> &old, std::vector<uint8_t> *made)
{
    uint32_t old_pos = 0, dist = 0;
    std::vector<qzd_change> last(QZD_CHANGES, qzd_change{QZD_BYTE, 0});
    auto name = [&](uint32_t r, qzd_change c) {
        last.erase(last.begin() + r);
        last.insert(last.begin(), c);
    };
    for (;;) {
        if (in->next >= in->end && in->kind->at_end(in))
            return QZT_END;
        if (strm_get16(in) != QZD_SYNC)
            return QZT_SYNC_LOST;
        uint32_t n = strm_get16(in);
        if (n == 0 || n > QZT_BLOCK)
            return QZT_BAD_LENGTH;
        bits b = {0, 0, in};
        auto gamma = [&]() -> uint32_t {
            int z = 0;
            while (!bits_get(&b, 1))
                if (++z > 31)
                    return 0;
            uint32_t v = 1;
            for (int i = 0; i < z; i++)
                v = v << 1 | bits_get(&b, 1);
            return v;
        };
        size_t start = made->size(), lim = start + n;
        auto corrupt = [&]() {
            made->resize(lim, 0);
            return QZT_CORRUPT;
        };
        for (;;) {
            uint32_t run = gamma();
            if (run == 0 || run - 1 > lim - made->size())
                return corrupt();
            for (uint32_t i = 1; i < run; i++)
                made->push_back(static_cast<uint8_t>(bits_get(&b, 8)));
            old_pos += run - 1;
            if (made->size() == lim)
                break;
            if (bits_get(&b, 1)) {
                uint32_t z = gamma(), len = gamma(), count = 0;
                if (z == 0 || len == 0 || len > lim - made->size())
                    return corrupt();
                z--;
                uint32_t from = old_pos + ((z & 1) ? ~(z >> 1) : z >> 1);
                if (from > old.size() || len > old.size() - from || (count = gamma()) == 0)
                    return corrupt();
                size_t copy_at = made->size();
                made->insert(made->end(), old.begin() + from, old.begin() + from + len);
                uint32_t shift = static_cast<uint32_t>(copy_at) - from;
                for (uint32_t i = 1, at = 0; i < count; i++) {
                    uint32_t gap = gamma();
                    if (gap == 0 || gap - 1 >= len - at) {
                        made->resize(copy_at);
                        return corrupt();
                    }
                    at += gap - 1;
                    qzd_change c;
                    if (bits_get(&b, 1)) {
                        uint32_t r = gamma();
                        if (r == 0 || r > QZD_CHANGES) {
                            made->resize(copy_at);
                            return corrupt();
                        }
                        c = last[r - 1];
                        name(r - 1, c);
                    } else {
                        if (!bits_get(&b, 1)) {
                            c = {QZD_BYTE, bits_get(&b, 8)};
                        } else {
                            c.kind = bits_get(&b, 1) ? QZD_RELATIVE : QZD_WORD;
                            uint32_t v = gamma();
                            if (v == 0) {
                                made->resize(copy_at);
                                return corrupt();
                            }
                            c.value = ((v - 1) & 1) ? ~((v - 1) >> 1) : (v - 1) >> 1;
                        }
                        name(QZD_CHANGES - 1, c);
                    }
                    uint8_t *p = made->data() + copy_at + at;
                    if (c.kind == QZD_BYTE) {
                        p[0] = static_cast<uint8_t>(p[0] + c.value);
                        at++;
                        continue;
                    }
                    if (len - at < 4) {
                        made->resize(copy_at);
                        return corrupt();
                    }
                    uint32_t w = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
                    w += c.kind == QZD_RELATIVE ? c.value - shift : c.value;
                    for (int k = 0; k < 4; k++)
                        p[k] = static_cast<uint8_t>(w >> 8 * k);
                    at += 4;
                }
                old_pos = from + len;
            } else {
                uint32_t d = bits_get(&b, 1) ? dist : gamma();
                uint32_t len = gamma();
                if (d == 0 || d > QZD_WINDOW || d > made->size() || len == 0 || len > lim - made->size())
                    return corrupt();
                dist = d;
                for (uint32_t i = 0; i < len; i++)
                    made->push_back((*made)[made->size() - d]);
            }
            if (made->size() == lim)
                break;
        }
    }
}
