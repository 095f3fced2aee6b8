#include "app/checks.h"
#include "app/dlls.h"
#include "app/lock.h"
#include "app/path.h"
#include "diag/diag.h"

int WINAPI WinMain(HINSTANCE inst, HINSTANCE, LPSTR, int)
{
    patch_lock_dll_search();
    // The payload lies in this file and README.TXT beside it: a path cut
    // short would name another file.
    DWORD len = GetModuleFileNameA(nullptr, g_exe_path, MAX_PATH);
    g_exe_path[MAX_PATH - 1] = '\0';
    if (!patch_path_call(len, "GetModuleFileName", g_exe_path))
        return 1;
    // A damaged patch is refused before the question is even read.
    if (!patch_check_payload())
        return 1;
    if (!patch_take_run_lock())
        return 1;
    return patch_run_steps(inst);
}
