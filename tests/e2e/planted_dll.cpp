// A DLL planted beside a program, as a drive-by download plants one in the
// downloads folder: when it is loaded, its DllMain leaves a mark, a file named
// as the DLL's own path with ".mark" added. It exports InitCommonControls, so
// that a program that imports the common controls by name starts with it.
// Test use only.
#include <windows.h>

#include <cstring>

BOOL WINAPI DllMain(HINSTANCE self, DWORD why, LPVOID)
{
    if (why != DLL_PROCESS_ATTACH)
        return TRUE;
    char path[MAX_PATH + 8];
    DWORD len = GetModuleFileNameA(self, path, MAX_PATH);
    if (len == 0 || len >= MAX_PATH)
        return TRUE;
    strcpy(path + len, ".mark");
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return TRUE;
}

extern "C" __declspec(dllexport) void WINAPI InitCommonControls()
{
}
