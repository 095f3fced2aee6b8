#include "payload/write.h"

#include <cstring>

void payload_put_header(uint8_t out[PAYLOAD_HEADER], uint32_t count, uint32_t message_len)
{
    payload_put32(out + PAYLOAD_COUNT_AT, count);
    payload_put32(out + PAYLOAD_MESSAGE_LEN_AT, message_len);
}

uint32_t payload_put_head(uint8_t out[RECORD_DATA_HEAD_SIZE], uint8_t action, const char *name, uint32_t name_len,
                          const char *dest, uint32_t dest_len, uint32_t data_len)
{
    memset(out, 0, RECORD_HEAD_SIZE);
    out[RECORD_ACTION_AT] = action;
    memcpy(out + RECORD_NAME_AT, name, name_len);
    memcpy(out + RECORD_DEST_AT, dest, dest_len);
    if (!payload_action_has_data(action))
        return RECORD_HEAD_SIZE;
    payload_put32(out + RECORD_DATA_LEN_AT, data_len);
    return RECORD_DATA_HEAD_SIZE;
}

void payload_put_delta_head(uint8_t out[DELTA_HEAD_SIZE], const payload_delta_head &d)
{
    payload_put32(out + DELTA_OLD_LEN_AT, d.old_len);
    payload_put32(out + DELTA_OLD_CRC_AT, d.old_crc);
    payload_put32(out + DELTA_NEW_LEN_AT, d.new_len);
    payload_put32(out + DELTA_NEW_CRC_AT, d.new_crc);
}

void payload_put_trailer(uint8_t out[PAYLOAD_TRAILER_SIZE], uint32_t crc)
{
    payload_put32(out + PAYLOAD_TRAILER_MAGIC_AT, PAYLOAD_TRAILER_MAGIC);
    payload_put32(out + PAYLOAD_TRAILER_CRC_AT, crc);
}
