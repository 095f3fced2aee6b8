#include "app/dlls.h"

#include <cstring>

namespace {

// Loaded by bare name by the system's libraries (the theme engine, the
// window manager's client, the crypto and shell helpers, the compatibility
// layer, accessibility, the COM class store, the ACL helpers) in a program
// that shows dialogs and progress bars, reads the registry and moves files.
const char *const PATCH_PRELOADED[] = {
    "uxtheme.dll", "dwmapi.dll",  "cryptbase.dll", "version.dll", "userenv.dll", "setupapi.dll",
    "apphelp.dll", "propsys.dll", "oleacc.dll",    "clbcatq.dll", "ntmarta.dll",
};

constexpr DWORD PATCH_SEARCH_SYSTEM32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

// The library of that name in System32; null when the system has none.
HMODULE patch_load_system(const char *name)
{
    char path[MAX_PATH];
    UINT len = GetSystemDirectoryA(path, MAX_PATH);
    if (len == 0 || len + 1 + strlen(name) >= MAX_PATH)
        return nullptr;
    path[len] = '\\';
    strcpy(path + len + 1, name);
    return LoadLibraryA(path);
}

template <typename fn>
fn patch_proc(HMODULE module, const char *name)
{
    return module ? reinterpret_cast<fn>(reinterpret_cast<void *>(GetProcAddress(module, name))) : nullptr;
}

}  // namespace

void patch_lock_dll_search()
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto set_default = patch_proc<BOOL(WINAPI *)(DWORD)>(kernel, "SetDefaultDllDirectories");
    auto set_dir = patch_proc<BOOL(WINAPI *)(LPCSTR)>(kernel, "SetDllDirectoryA");
    if (!(set_default && set_default(PATCH_SEARCH_SYSTEM32)) && set_dir)
        set_dir("");
    for (const char *name : PATCH_PRELOADED)
        patch_load_system(name);
    auto init = patch_proc<void(WINAPI *)()>(patch_load_system("comctl32.dll"), "InitCommonControls");
    if (init)
        init();
}
