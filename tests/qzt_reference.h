// The compressed format read bit by bit through bits_get, token by token as
// it is written down: the reference that the block decoder and the encoder's
// output are checked against, in the tests and the fuzz target.
#pragma once

#include <cstdint>
#include <cstring>

#include "stream/bits.h"
#include "stream/qzt.h"

// Decodes one block of n bytes from b into dest: QZT_OK, or QZT_CORRUPT with
// the rest of the block zeroed. Adds the bits it takes to *used when given.
inline int32_t qzt_ref_decode(bits *b, uint8_t *dest, int32_t n, int64_t *used = nullptr)
{
    auto get = [&](int k) {
        if (used)
            *used += k;
        return bits_get(b, k);
    };
    auto gamma = [&]() -> uint32_t {
        int z = 0;
        while (!get(1))
            if (++z > 15)
                return 0;
        return z ? 1u << z | get(z) : 1u;
    };
    int32_t out = 0;
    while (out < n) {
        uint32_t run = gamma();
        if (run == 0 || run - 1 > static_cast<uint32_t>(n - out))
            break;
        for (uint32_t i = 1; i < run; i++)
            dest[out++] = static_cast<uint8_t>(get(8));
        if (out == n)
            return QZT_OK;
        uint32_t dist = gamma();
        uint32_t len = dist ? gamma() : 0;
        if (len == 0 || dist > static_cast<uint32_t>(out))
            break;
        for (uint32_t i = 0; i < len && out < n; i++, out++)
            dest[out] = dest[out - dist];
        if (out == n)
            return QZT_OK;
    }
    memset(dest + out, 0, static_cast<size_t>(n - out));
    return QZT_CORRUPT;
}
