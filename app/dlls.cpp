#include "app/dlls.h"

#include <cstring>

namespace {

// Libraries that the system's own load by bare name in a program that shows
// dialogs and progress bars, reads the registry and moves files.
const char *const PATCH_PRELOADED[] = {
    "uxtheme.dll",    // the theme engine, for USER32's and COMCTL32's controls
    "dwmapi.dll",     // the desktop window manager's client, for window frames
    "cryptbase.dll",  // ADVAPI32's random numbers and crypto base
    "version.dll",    // version resources, read by the compatibility layer and the shell
    "userenv.dll",    // profile folders, for the temporary folder and HKCU
    "setupapi.dll",   // device and theme helpers of COMCTL32 and the shell
    "apphelp.dll",    // the application compatibility layer, at every start
    "propsys.dll",    // the shell's property system
    "oleacc.dll",     // accessibility, for controls that report to screen readers
    "clbcatq.dll",    // the COM class catalog, when a control looks up a class
    "ntmarta.dll",    // ADVAPI32's access-control helpers, for keys made with full access
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
