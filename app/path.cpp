#include "app/path.h"

#include <cstring>

#include "diag/diag.h"
#include "payload/dest.h"

static_assert(DEST_PATH_SIZE == MAX_PATH, "the shared path pieces fill the program's buffers");

bool patch_lead_byte(uint8_t c)
{
    return IsDBCSLeadByte(c) != 0;
}

size_t patch_dir_length(const char *path)
{
    return dest_dir_length(path, patch_lead_byte);
}

void patch_path_too_long(char *out, const char *a, const char *b)
{
    fatal_error("%.259s%.259s: path too long", a, b);
    out[0] = '\0';
}

void patch_join_path(char *out, const char *a, const char *b)
{
    if (!dest_join(out, a, b))
        patch_path_too_long(out, a, b);
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
