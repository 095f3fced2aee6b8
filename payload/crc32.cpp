#include "payload/crc32.h"

static uint32_t g_crc_table[8][256];
static bool g_crc_ready;

static void crc32_init()
{
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        g_crc_table[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; i++)
        for (int t = 1; t < 8; t++)
            g_crc_table[t][i] = g_crc_table[t - 1][i] >> 8 ^ g_crc_table[0][g_crc_table[t - 1][i] & 0xFF];
    g_crc_ready = true;
}

uint32_t crc32_update(uint32_t crc, const uint8_t *data, size_t len)
{
    if (!g_crc_ready)
        crc32_init();
    const uint32_t(*t)[256] = g_crc_table;
    crc = ~crc;
    for (; len >= 8; data += 8, len -= 8) {
        uint32_t lo = crc ^ (static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                             static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24);
        uint32_t hi = static_cast<uint32_t>(data[4]) | static_cast<uint32_t>(data[5]) << 8 |
                      static_cast<uint32_t>(data[6]) << 16 | static_cast<uint32_t>(data[7]) << 24;
        crc = t[7][lo & 0xFF] ^ t[6][lo >> 8 & 0xFF] ^ t[5][lo >> 16 & 0xFF] ^ t[4][lo >> 24] ^ t[3][hi & 0xFF] ^
              t[2][hi >> 8 & 0xFF] ^ t[1][hi >> 16 & 0xFF] ^ t[0][hi >> 24];
    }
    while (len--)
        crc = t[0][(crc ^ *data++) & 0xFF] ^ crc >> 8;
    return ~crc;
}
