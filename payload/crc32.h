// CRC-32 (the reflected 0xEDB88320 polynomial, as in zip and PNG), by
// slicing eight bytes at a time. The tables are made on first use, so they
// take no room in the program's file.
#pragma once

#include <cstddef>
#include <cstdint>

// Continues crc (0 to start) over len bytes.
uint32_t crc32_update(uint32_t crc, const uint8_t *data, size_t len);
