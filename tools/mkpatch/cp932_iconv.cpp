// Code page 932 through glibc's iconv. Its "CP932" converter maps a few
// characters many-to-one (the yen sign and the backslash both to 0x5C, the
// wave dash and the fullwidth tilde both to 0x81 0x60); a character whose
// bytes convert back to another one counts as having no form.
#include <iconv.h>

#include <cerrno>
#include <cstdint>

#include "tools/mkpatch/cp932.h"

namespace {

// One converter per direction, opened on first use and kept for the run.
struct cp932_converter {
    iconv_t cd;
    cp932_converter(const char *to, const char *from) : cd(iconv_open(to, from)) {}
    ~cp932_converter()
    {
        if (cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(cd);
    }
};

bool cp932_convert(iconv_t cd, std::string_view in, std::string *out)
{
    out->clear();
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char *src = const_cast<char *>(in.data());
    size_t left = in.size();
    char buf[256];
    while (left > 0) {
        char *dst = buf;
        size_t room = sizeof buf;
        size_t r = iconv(cd, &src, &left, &dst, &room);
        out->append(buf, static_cast<size_t>(dst - buf));
        if (r == static_cast<size_t>(-1) && errno != E2BIG)
            return false;
        // Irreversible conversions count as failures too: nothing may be
        // replaced silently.
        if (r != static_cast<size_t>(-1) && r > 0)
            return false;
    }
    return true;
}

}  // namespace

bool cp932_to_utf8(std::string_view in, std::string *out)
{
    static cp932_converter conv("UTF-8", "CP932");
    return cp932_convert(conv.cd, in, out);
}

bool cp932_encode_char(char32_t c, std::string *out)
{
    static cp932_converter conv("CP932", "UTF-32LE");
    uint8_t le[4] = {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c >> 16),
                     static_cast<uint8_t>(c >> 24)};
    std::string back;
    if (!cp932_convert(conv.cd, std::string_view(reinterpret_cast<char *>(le), 4), out) || out->empty() ||
        !cp932_to_utf8(*out, &back))
        return false;
    size_t pos = 0;
    char32_t again;
    return utf8_next(back, &pos, &again) && pos == back.size() && again == c;
}
