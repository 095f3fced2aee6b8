#include "app/temp.h"

#include "app/strings.h"
#include "stream/bstrm.h"

char g_temp_path[MAX_PATH];

void patch_temp_dir(char *dir)
{
    DWORD len = GetTempPathA(MAX_PATH, dir);
    if (len <= 3 || len >= MAX_PATH)
        GetWindowsDirectoryA(dir, MAX_PATH);
}

// Named and created by the system.
void patch_make_temp()
{
    char dir[MAX_PATH];
    patch_temp_dir(dir);
    if (!GetTempFileNameA(dir, TXT_TEMP_PREFIX, 0, g_temp_path))
        MessageBoxA(nullptr, TXT_NO_TEMP, TXT_FAILURE, MB_OK);
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
