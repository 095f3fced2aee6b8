#include "app/patch.h"

#include <commctrl.h>

#include "diag/diag.h"

int WINAPI WinMain(HINSTANCE inst, HINSTANCE, LPSTR, int)
{
    InitCommonControls();
    // The payload lies in this file and README.TXT beside it: a path cut
    // short would name another file.
    DWORD len = GetModuleFileNameA(nullptr, g_exe_path, MAX_PATH);
    if (len == 0 || len >= MAX_PATH) {
        g_exe_path[MAX_PATH - 1] = '\0';
        fatal_error("%s: path too long", g_exe_path);
    }
    return patch_run_steps(inst);
}
