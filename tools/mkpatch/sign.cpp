// What every build of mkpatch reads of a signature: where it lies in the PE
// file. Signing and checking are per system: sign_posix.cpp, sign_win32.cpp.
#include "tools/mkpatch/sign.h"

#include <cstring>

namespace {

uint32_t sign_le16(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

uint32_t sign_le32(const uint8_t *p)
{
    return sign_le16(p) | sign_le16(p + 2) << 16;
}

}  // namespace

bool sign_wanted(const sign_options &o)
{
    return !o.cert.empty() || !o.pkcs12.empty();
}

bool sign_directory(const uint8_t *file, uint64_t len, uint32_t *at, uint32_t *size)
{
    constexpr uint32_t SECURITY = 4;  // the data directory of the signature
    if (len < 0x40 || file[0] != 'M' || file[1] != 'Z')
        return false;
    uint64_t pe = sign_le32(file + 0x3C);
    if (pe + 24 > len || memcmp(file + pe, "PE\0\0", 4) != 0)
        return false;
    uint32_t optional_size = sign_le16(file + pe + 20);
    uint64_t optional = pe + 24;
    if (optional_size < 2 || optional + optional_size > len)
        return false;
    uint32_t magic = sign_le16(file + optional);
    // Where the directories start in a PE32 and a PE32+ optional header,
    // each directory a 32-bit address and size, after their count.
    uint32_t dirs = magic == 0x10B ? 96 : magic == 0x20B ? 112 : 0;
    if (!dirs || dirs + (SECURITY + 1) * 8 > optional_size || sign_le32(file + optional + dirs - 4) <= SECURITY)
        return false;
    const uint8_t *entry = file + optional + dirs + SECURITY * 8;
    *at = sign_le32(entry);
    *size = sign_le32(entry + 4);
    return *size != 0;
}
