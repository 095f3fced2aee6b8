#include "app/temp.h"

#include <cstring>

#include "app/path.h"
#include "app/strings.h"
#include "app/swap.h"
#include "diag/diag.h"
#include "stream/bstrm.h"
#include "stream/fstrm.h"

char g_temp_path[MAX_PATH];

// Opened once for the work and written over for every blob: opening a file
// costs more under Wine than copying a blob of a few KB into it.
static strm *g_temp_file = nullptr;

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
bool patch_make_temp(uint32_t entries)
{
    char dir[MAX_PATH];
    patch_temp_dir(dir);
    char name[32];
    wsprintfA(name, "%s%08X.tmp", TXT_TEMP_PREFIX, static_cast<unsigned>(g_patch_id));
    char path[MAX_PATH];
    patch_join_path(path, dir, name);
    if (!path[0])
        return false;
    if (patch_open_temp(path))
        return true;
    DWORD err = GetLastError();
    MessageBoxA(nullptr, TXT_NO_TEMP, TXT_FAILURE, MB_OK);
    // Made before the first change, so that a work without it ends with
    // nothing changed; a patch of no entries needs none.
    if (entries == 0)
        return true;
    fatal_error("%s: Can't open wfile, %d", path, static_cast<int>(err));
    return false;
}

// Others may remove it while it is open, the run itself included: what is
// removed while a reader still holds it goes when that reader is done. It
// goes when its handle closes in any case, so that a run that ends before
// its clean-up (a fatal report, a kill) leaves none behind.
bool patch_open_temp(const char *path)
{
    patch_drop_temp();
    g_temp_path[0] = '\0';
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    strcpy(g_temp_path, path);
    g_temp_file = fstrm_adopt_scratch_handle(h);
    if (!g_temp_file) {
        DeleteFileA(g_temp_path);
        g_temp_path[0] = '\0';
    }
    return g_temp_file != nullptr;
}

// The payload's cursor found the blob inside the program file. The blob is
// written over the one before and the file cut to it: a file's blocks
// written over cost far less under Wine than freed and allocated anew.
bool patch_copy_blob(HWND dlg, strm *payload, uint32_t size)
{
    if (!g_temp_file) {
        MessageBoxA(dlg, TXT_TEMP_UNWRITABLE, TXT_FAILURE, MB_OK);
        return false;
    }
    strm_seek(g_temp_file, 0);
    strm *out = bstrm_new_writer(g_temp_file, PATCH_WINDOW);
    if (!out)
        return false;
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
    bool written = strm_drain(out);
    strm_release(out);
    return written && fstrm_cut(g_temp_file);
}

strm *patch_temp_reader()
{
    if (!g_temp_file)
        return nullptr;
    strm_seek(g_temp_file, 0);
    return bstrm_new_reader(g_temp_file, PATCH_WINDOW);
}

void patch_drop_temp()
{
    if (g_temp_file)
        strm_release(g_temp_file);
    g_temp_file = nullptr;
    if (g_temp_path[0])
        DeleteFileA(g_temp_path);
}
