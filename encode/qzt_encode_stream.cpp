// The encoder's stream written a piece at a time (qzt_encode.h).
#include "stream/mstrm.h"
#include "stream/qzt.h"
#include "encode/qzt_encode.h"

bool qzt_encode_head(uint32_t total, strm *out)
{
    const uint8_t head[QZT_HEADER] = {QZT_MAGIC >> 8,
                                      QZT_MAGIC & 0xFF,
                                      static_cast<uint8_t>(total >> 24),
                                      static_cast<uint8_t>(total >> 16),
                                      static_cast<uint8_t>(total >> 8),
                                      static_cast<uint8_t>(total)};
    return strm_write(out, head, QZT_HEADER) == QZT_HEADER;
}

bool qzt_encode_blocks(const uint8_t *data, uint32_t len, int level, strm *out)
{
    // Blocks are independent and qzt_encode cuts its data into them from its
    // start, so a piece that starts on a block boundary codes to the blocks
    // the whole data would have there: they follow qzt_encode's header.
    strm *mem = mstrm_new_writer();
    if (!mem)
        return false;
    bool ok = qzt_encode(data, len, level, mem);
    if (ok) {
        uint32_t size;
        const uint8_t *coded = mstrm_data(mem, &size);
        auto n = static_cast<int32_t>(size - QZT_HEADER);
        ok = strm_write(out, coded + QZT_HEADER, n) == n;
    }
    strm_release(mem);
    return ok;
}
