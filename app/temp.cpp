#include "app/temp.h"

#include <cstring>

#include "app/path.h"
#include "app/strings.h"
#include "app/swap.h"
#include "stream/bstrm.h"

char g_temp_path[MAX_PATH];

void patch_temp_dir(char *dir)
{
    DWORD len = GetTempPathA(MAX_PATH, dir);
    if (len > 3 && len < MAX_PATH)
        return;
    len = GetWindowsDirectoryA(dir, MAX_PATH - 1);
    if (len == 0 || len >= MAX_PATH - 1)
        return;
    // The Windows directory comes without the backslash that ends a folder
    // here, unless it is a drive root.
    if (patch_dir_length(dir) != len)
        strcpy(dir + len, "\\");
}

// Named for the payload, so that a run of the same patch takes the place of
// the file a killed one left.
void patch_make_temp()
{
    char dir[MAX_PATH];
    patch_temp_dir(dir);
    char name[32];
    wsprintfA(name, "%s%08X.tmp", TXT_TEMP_PREFIX, static_cast<unsigned>(g_patch_id));
    patch_join_path(g_temp_path, dir, name);
    HANDLE h = g_temp_path[0]
                   ? CreateFileA(g_temp_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                   : INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE) {
        g_temp_path[0] = '\0';
        MessageBoxA(nullptr, TXT_NO_TEMP, TXT_FAILURE, MB_OK);
        return;
    }
    CloseHandle(h);
}

// The payload's cursor found the blob inside the program file.
void patch_copy_blob(HWND dlg, strm *payload, uint32_t size)
{
    // Written over from its start and cut to the blob, rather than truncated
    // first: see fstrm_open_rewrite.
    strm *out = bstrm_open_file_rewrite(g_temp_path, PATCH_WINDOW);
    if (!out) {
        MessageBoxA(dlg, TXT_TEMP_UNWRITABLE, TXT_FAILURE, MB_OK);
        return;
    }
    // The input window's bytes go out as they lie; a byte beyond it comes
    // through strm_getc, which refills the window.
    strm *in = payload;
    while (size > 0) {
        if (in->next >= in->end) {
            strm_putc(out, strm_getc(in));
            size--;
            continue;
        }
        auto n = static_cast<uint32_t>(in->end - in->next);
        n = n < size ? n : size;
        strm_write(out, in->next, static_cast<int32_t>(n));
        in->next += n;
        size -= n;
    }
    strm_release(out);
}
