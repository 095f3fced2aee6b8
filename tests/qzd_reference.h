// The delta format read bit by bit through bits_get, token by token as it is
// written down, with the old file and the new data whole in memory: the
// reference that the block decoder is checked against in the fuzz target.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "stream/bits.h"
#include "stream/qzd.h"

// A section read bit by bit by the range decoder.
struct qzd_ref_rc {
    std::vector<uint8_t> sec;
    size_t at = 0;
    uint32_t range = 0, code = 0;
    uint32_t own_step = 32;  // the section's own step (16 for tokens)

    uint32_t next_byte() { return at < sec.size() ? sec[at++] : 0; }
    void shift()
    {
        if (range < (1u << 24)) {
            range <<= 8;
            code = code << 8 | next_byte();
        }
    }
    // step: how far a probability moves toward the bit seen, as a divisor
    // (0 the section's own).
    uint32_t bit(uint16_t &p, uint32_t step = 0)
    {
        step = step ? step : own_step;
        uint32_t bound = (range >> 11) * p;
        uint32_t b = code < bound ? 0 : 1;
        if (b == 0) {
            range = bound;
            p = static_cast<uint16_t>(p + (2048 - p) / step);
        } else {
            code -= bound;
            range -= bound;
            p = static_cast<uint16_t>(p - p / step);
        }
        shift();
        return b;
    }
    uint32_t direct()
    {
        range /= 2;
        uint32_t b = code >= range ? 1 : 0;
        if (b)
            code -= range;
        shift();
        return b;
    }
    // 0 for more than 31 zeros.
    uint32_t gamma(std::vector<uint16_t> &zero, std::vector<uint16_t> &tree)
    {
        uint32_t z = 0;
        while (bit(zero[z]) == 0)
            if (++z == 32)
                return 0;
        uint32_t v = 1;
        for (uint32_t j = 0; j < z; j++)
            v = v * 2 + (j < QZD_TREE ? bit(tree[(z << QZD_TREE) + v]) : direct());
        return v;
    }
    void start(std::vector<uint8_t> section)
    {
        sec = std::move(section);
        at = 0;
        range = 0xFFFFFFFFu;
        code = 0;
        for (int k = 0; k < 4; k++)
            code = code << 8 | next_byte();
    }
};

// The coded literals' model, kept as plain arrays, with the literals of all
// blocks whole.
struct qzd_ref_lits : qzd_ref_rc {
    std::vector<uint8_t> stream;
    // By the last three kinds (the last two in blocks without repeat distances).
    std::vector<uint16_t> match = std::vector<uint16_t>(8, 1024), rep = std::vector<uint16_t>(8, 1024);
    std::vector<uint16_t> which = std::vector<uint16_t>(24, 1024);  // by bit, then the last kinds
    std::vector<uint16_t> long_rep = std::vector<uint16_t>(8, 1024);
    std::vector<uint16_t> lit = std::vector<uint16_t>(0x300 << QZD_REP_LIT_CTX, 1024);
    std::vector<uint16_t> flat = std::vector<uint16_t>(256, 1024);
    std::vector<uint16_t> len_zero = std::vector<uint16_t>(32, 1024), dist_zero = len_zero, rep_len_zero = len_zero;
    std::vector<uint16_t> len_tree = std::vector<uint16_t>(32 << QZD_TREE, 1024), dist_tree = len_tree,
                          rep_len_tree = len_tree;
    std::vector<uint32_t> dists = std::vector<uint32_t>(4, 1);  // the last distances, the latest first
    uint32_t kinds = 0;
    // The block's nlits literals from its section into out, literal bytes
    // through the flat tree where flat_lits is set, with four repeat
    // distances and matched literals where reps is set, a one-byte repeat
    // where shorts is; false for a match outside the window or past them.
    bool decode(std::vector<uint8_t> section, uint32_t nlits, bool flat_lits, bool reps, bool shorts,
                std::vector<uint8_t> *out)
    {
        start(std::move(section));
        out->clear();
        while (out->size() < nlits) {
            uint32_t h = reps ? kinds % 8 : kinds % 4;
            if (bit(match[h]) == 0) {
                uint32_t prev = stream.empty() ? 0 : stream.back();
                uint16_t *tree = &lit[(prev >> (8 - (reps ? QZD_REP_LIT_CTX : QZD_LIT_CTX))) * 0x300];
                uint32_t c = 1;
                // After a match: while the bits are the match byte's, by its bit.
                bool following = reps && !flat_lits && h % 2 == 1;
                uint32_t mb = following ? stream[stream.size() - dists[0]] : 0;
                for (int k = 7; c < 256; k--) {
                    uint32_t mbit = mb >> k & 1;
                    uint32_t b = flat_lits ? bit(flat[c], 128) : bit(tree[following ? 0x100 + 0x100 * mbit + c : c]);
                    c = c * 2 + b;
                    following = following && b == mbit;
                }
                stream.push_back(static_cast<uint8_t>(c - 256));
                out->push_back(static_cast<uint8_t>(c - 256));
                kinds = kinds * 2 % 8;
                continue;
            }
            size_t w = 3;
            uint32_t d;
            bool again = bit(rep[h]) == 1;
            if (!again) {
                d = gamma(dist_zero, dist_tree);
            } else {
                w = 0;
                while (reps && w < 3 && bit(which[w * 8 + h]) == 1)
                    w++;
                d = dists[w];
            }
            dists.erase(dists.begin() + static_cast<ptrdiff_t>(w));
            dists.insert(dists.begin(), d);
            bool one = shorts && again && w == 0 && bit(long_rep[h]) == 0;
            uint64_t m = one ? 1
                             : uint64_t{reps && again ? gamma(rep_len_zero, rep_len_tree) : gamma(len_zero, len_tree)} + 1;
            if (d == 0 || d > stream.size() || d > QZD_WINDOW || (m < 2 && !one) || m > nlits - out->size())
                return false;
            for (uint64_t k = 0; k < m; k++) {
                uint8_t c = stream[stream.size() - d];
                stream.push_back(c);
                out->push_back(c);
            }
            kinds = (kinds * 2 + 1) % 8;
        }
        return true;
    }
};

// The coded tokens' models: a gamma code's for each field (the run, offset,
// length, change count, word value, near value's rank and its difference,
// in that order, then the gap's 24 and the rank's 20), the flags (word,
// relative, back, near), the repeat bit's 3 and
// the byte changes' tree; and the last change that picks among them.
struct qzd_ref_tokens : qzd_ref_rc {
    qzd_ref_tokens() { own_step = 16; }
    std::vector<std::vector<uint16_t>> zero =
        std::vector<std::vector<uint16_t>>(7 + 24 + 20, std::vector<uint16_t>(32, 1024));
    std::vector<std::vector<uint16_t>> tree =
        std::vector<std::vector<uint16_t>>(7 + 24 + 20, std::vector<uint16_t>(32 << QZD_TREE, 1024));
    std::vector<uint16_t> flags = std::vector<uint16_t>(4, 1024), repeat = std::vector<uint16_t>(3, 1024),
                          byte_tree = std::vector<uint16_t>(256, 1024);
    uint32_t last_gap = 0;  // its gap code
    uint32_t last = 0;  // 0 to 3 a repeat of that rank (or more), 4 a new byte, 5 a new word
};

// Rebuilds the new file from old and the delta's blocks, which in reads;
// appends what it makes to made, a corrupt block zero-filled from the fault
// on. The status of the last block read, as qzd_read_block gives it.
inline int32_t qzd_ref_rebuild(strm *in, const std::vector<uint8_t> &old, std::vector<uint8_t> *made)
{
    uint32_t old_pos = 0, last_offset = 0;
    std::vector<qzd_change> last(QZD_CHANGES, qzd_change{QZD_BYTE, 0});
    qzd_ref_lits coder;
    qzd_ref_tokens tokens;
    for (;;) {
        if (in->next >= in->end && in->kind->at_end(in))
            return QZT_END;
        uint32_t sync = strm_get16(in);
        // The sync word's bits: 1 coded literals, 2 coded tokens, 8 flat
        // literals and 0x100 four repeat distances (these two with 1 only),
        // 0x400 short repeats (with 0x100 only), 0x80 runs filtered for x86
        // code, 0x10 literals only (not with 2), 0x8000 the old file's head
        // first (the first block only).
        bool primed = sync >= 0x8000;
        uint32_t added = sync % 0x8000 - QZD_SYNC;
        bool coded_lits = added % 2 == 1, coded_tokens = added / 2 % 2 == 1;
        bool flat_lits = added / 8 % 2 == 1, reps = added / 0x100 % 2 == 1, x86 = added / 0x80 % 2 == 1;
        bool all = added / 0x10 % 2 == 1, shorts = added / 0x400 == 1;
        if (sync % 0x8000 < QZD_SYNC || added > 0x59F || (added & 0x264) != 0 ||
            ((flat_lits || reps) && !coded_lits) || (shorts && !reps) || (all && coded_tokens) ||
            (primed && !made->empty()))
            return QZT_SYNC_LOST;
        uint32_t n = strm_get16(in), nlits = all ? n : strm_get16(in);
        if (n == 0 || n > QZT_BLOCK || nlits > n)
            return QZT_BAD_LENGTH;
        std::vector<uint8_t> lits(nlits);
        bool whole;
        // 0x8000 (the first block only): the old file's first bytes, up to
        // the window, are the literal stream's start.
        if (primed)
            coder.stream.assign(old.begin(), old.begin() + std::min<size_t>(old.size(), QZD_WINDOW));
        if (!coded_lits) {
            whole = strm_read(in, lits.data(), static_cast<int32_t>(nlits)) == static_cast<int32_t>(nlits);
            coder.stream.insert(coder.stream.end(), lits.begin(), lits.end());
        } else {
            std::vector<uint8_t> section(2 * strm_get16(in));
            whole = section.size() <= nlits &&
                    strm_read(in, section.data(), static_cast<int32_t>(section.size())) ==
                        static_cast<int32_t>(section.size()) &&
                    coder.decode(section, nlits, flat_lits, reps, shorts, &lits);
        }
        if (whole && coded_tokens) {
            std::vector<uint8_t> section(2 * strm_get16(in));
            whole = section.size() <= QZT_BLOCK && strm_read(in, section.data(), static_cast<int32_t>(section.size())) ==
                                                       static_cast<int32_t>(section.size());
            tokens.start(section);
        }
        size_t lit = 0, start = made->size(), lim = start + n;
        bits b = {0, 0, in};
        // Model f's gamma value (as qzd_ref_tokens numbers them).
        auto gamma = [&](int f) -> uint32_t {
            if (coded_tokens)
                return tokens.gamma(tokens.zero[f], tokens.tree[f]);
            int z = 0;
            while (!bits_get(&b, 1))
                if (++z > 31)
                    return 0;
            uint32_t v = 1;
            for (int i = 0; i < z; i++)
                v = v << 1 | bits_get(&b, 1);
            return v;
        };
        auto flag = [&](int f) { return coded_tokens ? tokens.bit(tokens.flags[f]) : bits_get(&b, 1); };
        auto byte = [&]() {
            if (!coded_tokens)
                return bits_get(&b, 8);
            uint32_t c = 1;
            while (c < 256)
                c = c * 2 + tokens.bit(tokens.byte_tree[c]);
            return c - 256;
        };
        auto unzigzag = [](uint32_t z) { return (z & 1) ? ~(z >> 1) : z >> 1; };
        auto zeros = [](uint32_t g) {
            uint32_t z = 0;
            while (g >>= 1)
                z++;
            return z;
        };
        // A copy's change at *at: false where it reaches past the copy or
        // names no change. Its gap, repeat bit and rank go by the last change
        // (of coded blocks): the gap's by its gap code g, g itself below 16,
        // else 12 + g's bits after the leading 1 (23 at most); the repeat
        // bit's by its kind; the rank's by it (4 for a new one) and this
        // gap's bits.
        auto change = [&](uint8_t *copy, uint32_t len, uint32_t shift, uint32_t *at) {
            uint32_t gap =
                gamma(7 + std::min(tokens.last_gap < 16 ? tokens.last_gap : 12 + zeros(tokens.last_gap), 23u));
            if (gap == 0 || gap - 1 >= len - *at)
                return false;
            *at += gap - 1;
            qzd_change c;
            size_t r = QZD_CHANGES - 1;
            bool repeat =
                coded_tokens ? tokens.bit(tokens.repeat[tokens.last < 4 ? 0 : tokens.last - 3]) : bits_get(&b, 1);
            uint32_t now = 4;  // this change, as the next one's models take it
            if (repeat) {
                uint32_t rank = gamma(7 + 24 + std::min(tokens.last, 4u) * 4 + std::min(zeros(gap), 3u));
                if (rank == 0 || rank > QZD_CHANGES)
                    return false;
                r = rank - 1;
                c = last[r];
                now = std::min<uint32_t>(rank - 1, 3);
            } else if (!flag(0)) {
                c = {QZD_BYTE, byte()};
            } else {
                c.kind = flag(1) ? QZD_RELATIVE : QZD_WORD;
                // Near: the value of one of the last changes, plus a
                // difference.
                bool near = coded_tokens && flag(3);
                uint32_t base_rank = near ? gamma(5) : 1;
                if (base_rank == 0 || base_rank > QZD_CHANGES)
                    return false;
                uint32_t v = gamma(near ? 6 : 4);
                if (v == 0)
                    return false;
                c.value = (near ? last[base_rank - 1].value : 0) + unzigzag(v - 1);
                now = 5;
            }
            if (coded_tokens) {
                tokens.last_gap = gap;
                tokens.last = now;
            }
            last.erase(last.begin() + static_cast<ptrdiff_t>(r));
            last.insert(last.begin(), c);
            uint8_t *p = copy + *at;
            uint32_t width = c.kind == QZD_BYTE ? 1 : 4;
            if (len - *at < width)
                return false;
            uint32_t add = c.kind == QZD_RELATIVE ? c.value - shift : c.value;
            // Little-endian: the value's bytes added with their carries.
            uint32_t carry = 0;
            for (uint32_t k = 0; k < width; k++) {
                uint32_t sum = p[k] + (add >> 8 * k & 0xFF) + carry;
                p[k] = static_cast<uint8_t>(sum);
                carry = sum >> 8;
            }
            *at += width;
            return true;
        };
        int32_t status = whole ? QZT_OK : QZT_CORRUPT;
        while (status == QZT_OK) {
            uint32_t run = all ? n + 1 : gamma(0);
            if (run == 0 || run - 1 > lim - made->size() || run - 1 > nlits - lit) {
                status = QZT_CORRUPT;
                break;
            }
            size_t run_at = made->size();
            made->insert(made->end(), lits.begin() + static_cast<ptrdiff_t>(lit),
                         lits.begin() + static_cast<ptrdiff_t>(lit + run - 1));
            // The x86 filter taken off: a call's or jump's offset is the
            // target the run holds less the position after it.
            for (size_t i = run_at; x86 && i + 5 <= made->size();) {
                uint8_t *q = made->data() + i;
                if (q[0] != 0xE8 && q[0] != 0xE9) {
                    i++;
                    continue;
                }
                if (q[4] == 0 || q[4] == 0xFF) {
                    uint32_t v = (q[1] | q[2] << 8 | q[3] << 16 | static_cast<uint32_t>(q[4]) << 24) -
                                 static_cast<uint32_t>(i + 5);
                    v = v & 0x1000000 ? v | 0xFE000000 : v & 0x1FFFFFF;
                    for (int k = 0; k < 4; k++)
                        q[1 + k] = static_cast<uint8_t>(v >> 8 * k);
                }
                i += 5;
            }
            lit += run - 1;
            old_pos += run - 1;
            if (made->size() == lim)
                break;
            // A back copy (coded tokens only) negates the last nonzero offset.
            bool back = coded_tokens && flag(2);
            uint32_t z = back ? 1 : gamma(1);
            uint32_t offset = back ? 0 - last_offset : unzigzag(z - 1);
            uint32_t len_code = gamma(2), count = gamma(3);
            uint32_t len = len_code == 1 ? static_cast<uint32_t>(lim - made->size()) : len_code - 1;
            uint32_t from = old_pos + offset;
            if (z == 0 || len_code == 0 || len > lim - made->size() || from > old.size() || len > old.size() - from ||
                count == 0) {
                status = QZT_CORRUPT;
                break;
            }
            size_t copy_at = made->size();
            made->insert(made->end(), old.begin() + from, old.begin() + from + len);
            uint32_t shift = static_cast<uint32_t>(copy_at) - from;
            for (uint32_t i = 1, at = 0; i < count && status == QZT_OK; i++)
                status = change(made->data() + copy_at, len, shift, &at) ? QZT_OK : QZT_CORRUPT;
            if (status != QZT_OK) {
                made->resize(copy_at);
                break;
            }
            old_pos = from + len;
            if (offset != 0)
                last_offset = offset;
            if (made->size() == lim)
                break;
        }
        if (status == QZT_OK && lit != nlits)
            status = QZT_CORRUPT;
        if (status != QZT_OK) {
            made->resize(lim, 0);
            return status;
        }
    }
}
