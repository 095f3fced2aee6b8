#include "app/dest.h"

#include <cstdlib>
#include <cstring>

#include "app/path.h"
#include "app/reg.h"
#include "app/strings.h"
#include "diag/diag.h"
#include "payload/dest.h"

// The program's environment of the expansion: the system's Windows folder,
// the registry through reg.cpp's one open key, the ANSI code page.
static const char *patch_windows_dir(const dest_env *, const char *spec)
{
    static char dir[MAX_PATH];
    return patch_path_call(GetWindowsDirectoryA(dir, MAX_PATH), "GetWindowsDirectory", spec) ? dir : nullptr;
}

static const char *patch_reg_value(const dest_env *, bool machine, const char *key, const char *value)
{
    if (machine)
        reg_open_machine(key);
    else
        reg_open_user(key);
    return reg_query_sz(value, nullptr);
}

static const dest_env g_dest_env = {patch_windows_dir, patch_reg_value, patch_lead_byte, nullptr};

static bool patch_expand_dest_quietly(const char *spec, char *out)
{
    dest_overflow why;
    int32_t found = dest_expand(spec, out, &g_dest_env, &why);
    if (found == DEST_TOO_LONG)
        patch_path_too_long(out, why.head, why.tail);
    // A spec that names no directory must not send the entry to some other
    // one (the current directory, say): the entry is left alone.
    return found != DEST_NONE;
}

bool patch_expand_dest(const char *spec, char *out)
{
    if (patch_expand_dest_quietly(spec, out))
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

bool patch_preflight_dest(const char *spec, char *out)
{
    patch_dest_memo *m = patch_memo_find(spec);
    if (m) {
        memcpy(out, m->dir, MAX_PATH);
        return m->found;
    }
    bool found = patch_expand_dest_quietly(spec, out);
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

bool patch_work_dest(const char *spec, char *out)
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
