#include "app/lock.h"

#include "app/strings.h"

// In the global namespace, so that a copy raised to administrator, or run in
// another session, meets it too.
const char *g_run_lock_name = "Global\\OrvanePatchRun";

static HANDLE g_run_lock = nullptr;

bool patch_take_run_lock()
{
    if (g_run_lock)
        return true;
    HANDLE h = CreateMutexA(nullptr, FALSE, g_run_lock_name);
    DWORD err = GetLastError();
    if (h && err != ERROR_ALREADY_EXISTS) {
        g_run_lock = h;
        return true;
    }
    // A run of another account may even refuse this one a handle to it.
    if (h || err == ERROR_ACCESS_DENIED) {
        if (h)
            CloseHandle(h);
        MessageBoxA(nullptr, TXT_ANOTHER_RUN, TXT_TITLE, MB_OK);
        return false;
    }
    // A system that makes no named mutex keeps no other run from one either.
    return true;
}
