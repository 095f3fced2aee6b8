#include "tools/mkpatch/cp932.h"

#include <cstdint>
#include <cstdio>

#include "tools/mkpatch/error.h"

bool utf8_next(std::string_view s, size_t *pos, char32_t *c)
{
    size_t p = *pos;
    if (p >= s.size())
        return false;
    auto lead = static_cast<uint8_t>(s[p]);
    int more;
    char32_t v;
    if (lead < 0x80) {
        more = 0;
        v = lead;
    } else if (lead >= 0xC2 && lead < 0xE0) {
        more = 1;
        v = lead & 0x1F;
    } else if (lead >= 0xE0 && lead < 0xF0) {
        more = 2;
        v = lead & 0x0F;
    } else if (lead >= 0xF0 && lead < 0xF5) {
        more = 3;
        v = lead & 0x07;
    } else {
        return false;
    }
    if (s.size() - p - 1 < static_cast<size_t>(more))
        return false;
    for (int i = 1; i <= more; i++) {
        auto b = static_cast<uint8_t>(s[p + i]);
        if ((b & 0xC0) != 0x80)
            return false;
        v = v << 6 | (b & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr char32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (v < least[more] || (v >= 0xD800 && v < 0xE000) || v > 0x10FFFF)
        return false;
    *pos = p + 1 + static_cast<size_t>(more);
    *c = v;
    return true;
}

std::string utf8_fold(std::string_view s)
{
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + ('a' - 'A'));
    return out;
}

std::string cp932_describe(char32_t c)
{
    char code[16];
    snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
    if (c < 0x20 || c == 0x7F)
        return code;
    std::string utf8;
    if (c < 0x80) {
        utf8 += static_cast<char>(c);
    } else if (c < 0x800) {
        utf8 += static_cast<char>(0xC0 | c >> 6);
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        utf8 += static_cast<char>(0xE0 | c >> 12);
        utf8 += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        utf8 += static_cast<char>(0xF0 | c >> 18);
        utf8 += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        utf8 += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
    return "'" + utf8 + "' (" + code + ")";
}

std::string cp932_from_utf8(std::string_view in)
{
    std::string out;
    size_t pos = 0;
    while (pos < in.size()) {
        char32_t c;
        if (!utf8_next(in, &pos, &c)) {
            char hex[8];
            snprintf(hex, sizeof hex, "0x%02X", static_cast<uint8_t>(in[pos]));
            throw mkpatch_error(std::string("invalid UTF-8 at byte ") + hex);
        }
        std::string bytes;
        if (!cp932_encode_char(c, &bytes))
            throw mkpatch_error(cp932_describe(c) + " has no code page 932 form");
        out += bytes;
    }
    return out;
}
