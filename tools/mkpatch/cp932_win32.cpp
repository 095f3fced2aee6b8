// Code page 932 through the Windows conversion functions: no best-fit
// characters and a report of any default character used on the way out, no
// invalid sequences accepted on the way in.
#include <windows.h>

#include "tools/mkpatch/cp932.h"

static constexpr UINT CP932 = 932;

bool cp932_encode_char(char32_t c, std::string *out)
{
    // Code page 932 holds nothing outside the basic plane.
    if (c > 0xFFFF || (c >= 0xD800 && c < 0xE000))
        return false;
    wchar_t w = static_cast<wchar_t>(c);
    char buf[8];
    BOOL used_default = FALSE;
    int n = WideCharToMultiByte(CP932, WC_NO_BEST_FIT_CHARS, &w, 1, buf, sizeof buf, nullptr, &used_default);
    if (n <= 0 || used_default)
        return false;
    out->assign(buf, static_cast<size_t>(n));
    return true;
}

bool cp932_to_utf8(std::string_view in, std::string *out)
{
    out->clear();
    if (in.empty())
        return true;
    int len = static_cast<int>(in.size());
    int wn = MultiByteToWideChar(CP932, MB_ERR_INVALID_CHARS, in.data(), len, nullptr, 0);
    if (wn <= 0)
        return false;
    std::wstring w(static_cast<size_t>(wn), L'\0');
    MultiByteToWideChar(CP932, MB_ERR_INVALID_CHARS, in.data(), len, w.data(), wn);
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), wn, nullptr, 0, nullptr, nullptr);
    out->resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, w.data(), wn, out->data(), n, nullptr, nullptr);
    return true;
}
