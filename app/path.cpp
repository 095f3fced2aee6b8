#include <cstring>

#include "app/patch.h"
#include "diag/diag.h"

// Drive and directory of a path: everything up to and including the last '\'
// or '/', or the drive alone ("C:"), or nothing. Double-byte characters of
// the ANSI code page are stepped over whole, so a second byte of 0x5C is
// never taken for a separator.
size_t patch_dir_length(const char *path)
{
    size_t len = path[0] && path[1] == ':' ? 2 : 0;
    for (size_t i = 0; path[i];) {
        if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && path[i + 1]) {
            i += 2;
            continue;
        }
        if (path[i] == '\\' || path[i] == '/')
            len = i + 1;
        i++;
    }
    return len;
}

// out = a followed by b, in a MAX_PATH buffer (out may be a itself). A result
// that does not fit is a fatal report rather than a shortened path.
void patch_join_path(char *out, const char *a, const char *b)
{
    size_t la = strlen(a);
    size_t lb = strlen(b);
    if (la + lb >= MAX_PATH) {
        fatal_error("%.259s%.259s: path too long", a, b);
        out[0] = '\0';
        return;
    }
    memmove(out, a, la);
    memcpy(out + la, b, lb + 1);
}

// The length a system call returned for the path it put in a MAX_PATH buffer:
// false, after a fatal report, for a failed call (named with the system's
// code) or for a path that does not fit (named by what).
bool patch_path_call(DWORD len, const char *call, const char *what)
{
    if (len == 0) {
        fatal_error("%s %d", call, static_cast<int>(GetLastError()));
        return false;
    }
    if (len >= MAX_PATH) {
        fatal_error("%s: path too long", what);
        return false;
    }
    return true;
}
