#include <cstring>

#include "app/patch.h"
#include "app/strings.h"
#include "diag/diag.h"

// Compares ASCII letters without regard to case, as keywords and the ".dat"
// test do; stops at the end of text.
static bool patch_starts_with(const char *text, const char *word)
{
    for (; *word; text++, word++) {
        char a = *text >= 'A' && *text <= 'Z' ? static_cast<char>(*text + 32) : *text;
        char b = *word >= 'A' && *word <= 'Z' ? static_cast<char>(*word + 32) : *word;
        if (a != b)
            return false;
    }
    return true;
}

bool patch_expand_dest(const char *spec, char *out)
{
    const char *rest = spec;
    out[0] = '\0';
    if (spec[0] == '%') {
        if (patch_starts_with(spec + 1, "WINDIR%")) {
            UINT len = GetWindowsDirectoryA(out, MAX_PATH);
            if (len == 0 || len >= MAX_PATH) {
                out[0] = '\0';
                fatal_error("%s: path too long", spec);
            }
            rest = spec + 8;
        } else if (patch_starts_with(spec + 1, "HKCR\\")) {
            rest = patch_reg_lookup(1, spec + 6, out);
        } else if (patch_starts_with(spec + 1, "HKLM\\")) {
            rest = patch_reg_lookup(2, spec + 6, out);
        } else {
            rest = nullptr;
        }
        // A spec that names no directory must not send the entry to some
        // other one (the current directory, say): the entry is left alone.
        if (!rest) {
            MessageBoxA(nullptr, TXT_INTERNAL_ERROR, TXT_FAILURE, MB_OK);
            out[0] = '\0';
            return false;
        }
        // A value naming an application's data file stands for its folder.
        size_t len = strlen(out);
        if (len >= 4 && patch_starts_with(out + len - 4, ".dat"))
            out[patch_dir_length(out)] = '\0';
    }
    patch_join_path(out, out, rest);
    size_t len = strlen(out);
    if (len > 0 && out[len - 1] != '\\')
        patch_join_path(out, out, "\\");
    return true;
}

// Reads SUBKEY%VALUE% from text, looks the value up and leaves it (or a lone
// backslash when it is absent) in out; returns where the rest begins, or null
// for a spec that lacks a '%' (no key is opened then).
const char *patch_reg_lookup(int root, const char *text, char *out)
{
    char subkey[RECORD_DEST_SIZE];
    char value[RECORD_DEST_SIZE];
    char *fields[2] = {subkey, value};
    const char *p = text;
    for (char *field : fields) {
        size_t n = 0;
        while (*p && *p != '%' && n < RECORD_DEST_SIZE - 1)
            field[n++] = *p++;
        if (*p != '%')
            return nullptr;
        field[n] = '\0';
        p++;
    }
    if (root == 1)
        reg_open_user(subkey);
    else
        reg_open_machine(subkey);
    const char *found = reg_query_sz(value, nullptr);
    patch_join_path(out, found ? found : "\\", "");
    return p;
}
