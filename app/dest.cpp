#include <cstdlib>
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

bool patch_resolve_dest(const char *spec, char *out)
{
    const char *rest = spec;
    out[0] = '\0';
    if (spec[0] == '%') {
        if (patch_starts_with(spec + 1, "WINDIR%")) {
            if (!patch_path_call(GetWindowsDirectoryA(out, MAX_PATH), "GetWindowsDirectory", spec))
                out[0] = '\0';
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

bool patch_expand_dest(const char *spec, char *out)
{
    if (patch_resolve_dest(spec, out))
        return true;
    MessageBoxA(nullptr, TXT_INTERNAL_ERROR, TXT_FAILURE, MB_OK);
    return false;
}

// Each destination of the patch, expanded once by the pre-flight pass: the
// work then finds the same folders the checks found, with no second lookup.
struct patch_dest_memo {
    char spec[RECORD_DEST_SIZE];
    char dir[MAX_PATH];
    bool found;
};
static patch_dest_memo *g_dest_memo = nullptr;
static uint32_t g_dest_memo_count = 0;

static patch_dest_memo *patch_memo_find(const char *spec)
{
    for (uint32_t i = 0; i < g_dest_memo_count; i++)
        if (strcmp(g_dest_memo[i].spec, spec) == 0)
            return &g_dest_memo[i];
    return nullptr;
}

bool patch_remember_dest(const char *spec, char *out)
{
    patch_dest_memo *m = patch_memo_find(spec);
    if (m) {
        memcpy(out, m->dir, MAX_PATH);
        return m->found;
    }
    bool found = patch_resolve_dest(spec, out);
    auto *grown = static_cast<patch_dest_memo *>(realloc(g_dest_memo, (g_dest_memo_count + 1) * sizeof *g_dest_memo));
    if (!grown) {
        fatal_error("out of memory");
        return found;
    }
    g_dest_memo = grown;
    m = &g_dest_memo[g_dest_memo_count++];
    memcpy(m->spec, spec, strlen(spec) + 1);
    memcpy(m->dir, out, MAX_PATH);
    m->found = found;
    return found;
}

bool patch_entry_dest(const char *spec, char *out)
{
    patch_dest_memo *m = patch_memo_find(spec);
    if (!m)
        return patch_expand_dest(spec, out);
    memcpy(out, m->dir, MAX_PATH);
    if (!m->found)
        MessageBoxA(nullptr, TXT_INTERNAL_ERROR, TXT_FAILURE, MB_OK);
    return m->found;
}

void patch_forget_dests()
{
    free(g_dest_memo);
    g_dest_memo = nullptr;
    g_dest_memo_count = 0;
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
