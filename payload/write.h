// Writing the payload's layout (payload/payload.h): the header, a record's
// head and the trailer, each into a buffer of its size, for the builder and
// the tests. Entries go behind the header as a blob length (payload_put32)
// and the blob: the record compressed.
#pragma once

#include <cstdint>

#include "payload/payload.h"
#include "payload/read.h"

// The header of a payload of count entries whose stored question is
// message_len bytes long; the question's bytes follow it.
void payload_put_header(uint8_t out[PAYLOAD_HEADER], uint32_t count, uint32_t message_len);
// A record's head: the action, the name and the destination each in its
// zero-filled field and, for an action with data, the data length. name and dest fit
// their fields (the builder checks that a terminator fits too; a test may
// fill a field whole, as a damaged record would). Returns the
// head's length: RECORD_DATA_HEAD_SIZE for an action with data,
// RECORD_HEAD_SIZE for any other code.
uint32_t payload_put_head(uint8_t out[RECORD_DATA_HEAD_SIZE], uint8_t action, const char *name, uint32_t name_len,
                          const char *dest, uint32_t dest_len, uint32_t data_len);
// A patch entry's data head, which the delta follows.
void payload_put_delta_head(uint8_t out[DELTA_HEAD_SIZE], const payload_delta_head &d);
// The trailer behind a payload whose bytes before it have the CRC-32 crc.
void payload_put_trailer(uint8_t out[PAYLOAD_TRAILER_SIZE], uint32_t crc);
