#include "app/reg.h"

#include <cstdlib>

#include "diag/diag.h"

HKEY g_regkey = nullptr;
char g_regval[1024];

// Closes the key held before; the first open of the run registers the
// exit-time close instead, since the slot is only empty again at exit.
static void reg_open(HKEY root, const char *subkey)
{
    if (g_regkey) {
        RegCloseKey(g_regkey);
        g_regkey = nullptr;
    } else {
        atexit(reg_close_at_exit);
    }
    DWORD disposition;
    LONG rc =
        RegCreateKeyExA(root, subkey, 0, const_cast<char *>(""), 0, KEY_ALL_ACCESS, nullptr, &g_regkey, &disposition);
    if (rc != ERROR_SUCCESS) {
        g_regkey = nullptr;
        fatal_error("RegCreateKeyEx %d", static_cast<int>(rc));
    }
}

void reg_open_user(const char *subkey)
{
    reg_open(HKEY_CURRENT_USER, subkey);
}

void reg_open_machine(const char *subkey)
{
    reg_open(HKEY_LOCAL_MACHINE, subkey);
}

// The string value, or the fallback when it is absent, not a string or too
// long for g_regval. A value stored without its terminator is terminated here.
const char *reg_query_sz(const char *name, const char *fallback)
{
    DWORD type = 0;
    DWORD size = sizeof g_regval;
    if (!g_regkey ||
        RegQueryValueExA(g_regkey, name, nullptr, &type, reinterpret_cast<BYTE *>(g_regval), &size) != ERROR_SUCCESS)
        return fallback;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return fallback;
    if (size == 0 || g_regval[size - 1] != '\0') {
        if (size >= sizeof g_regval)
            return fallback;
        g_regval[size] = '\0';
    }
    return g_regval;
}

void reg_close_at_exit()
{
    if (g_regkey) {
        RegCloseKey(g_regkey);
        g_regkey = nullptr;
    }
}
