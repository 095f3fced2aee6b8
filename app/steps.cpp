#include "app/steps.h"

#include <cstdlib>
#include <cstring>

#include "app/checks.h"
#include "app/path.h"
#include "app/strings.h"
#include "diag/diag.h"
#include "stream/bstrm.h"

char *g_readme_text = nullptr;
const char *g_save_question = TXT_SAVE_QUESTION;

int patch_step_confirm(HINSTANCE)
{
    payload_cursor c;
    strm *payload = patch_open_payload(&c);
    if (!payload)
        return STEP_FINISH;
    // The text is never longer than its stored bytes; one more for the end.
    auto *text = static_cast<char *>(calloc(static_cast<size_t>(c.message_len) + 1, 1));
    if (!text) {
        fatal_error("out of memory");
        strm_release(payload);
        return STEP_FINISH;
    }
    strm_seek(payload, c.message_at);
    patch_unescape(payload, text, c.message_len);
    strm_release(payload);
    int answer = MessageBoxA(nullptr, text, TXT_TITLE, MB_YESNO);
    free(text);
    return answer == IDYES ? STEP_README : STEP_FINISH;
}

void patch_readme_path(char *out)
{
    char dir[MAX_PATH];
    size_t len = patch_dir_length(g_exe_path);
    memcpy(dir, g_exe_path, len);
    dir[len] = '\0';
    patch_join_path(out, dir, TXT_README);
}

int patch_step_readme(HINSTANCE inst)
{
    char path[MAX_PATH];
    patch_readme_path(path);
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES)
        return STEP_APPLY;
    strm *file = bstrm_open_file_read(path, PATCH_WINDOW);
    if (!file)
        return STEP_FINISH;
    uint32_t size = strm_size(file);
    free(g_readme_text);
    g_readme_text = nullptr;
    // strm_read counts in signed 32 bits; nothing near that is a README.
    if (size < 0x7FFFFFFF)
        g_readme_text = static_cast<char *>(calloc(static_cast<size_t>(size) + 1, 1));
    if (!g_readme_text) {
        fatal_error("%s: too large to read, %u", path, static_cast<unsigned>(size));
        strm_release(file);
        return STEP_FINISH;
    }
    strm_read(file, reinterpret_cast<uint8_t *>(g_readme_text), static_cast<int32_t>(size));
    strm_release(file);
    INT_PTR result = DialogBoxParamA(inst, MAKEINTRESOURCEA(IDD_README), nullptr, patch_readme_proc, 0);
    return result == IDOK ? STEP_APPLY : STEP_FINISH;
}

INT_PTR CALLBACK patch_readme_proc(HWND dlg, UINT msg, WPARAM wp, LPARAM)
{
    if (msg == WM_INITDIALOG) {
        SetWindowTextA(dlg, TXT_TITLE);
        SetDlgItemTextA(dlg, IDC_README_TEXT, g_readme_text);
        return FALSE;
    }
    if (msg == WM_COMMAND && (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL)) {
        EndDialog(dlg, LOWORD(wp));
        return TRUE;
    }
    return FALSE;
}

int patch_step_ask_save(HINSTANCE)
{
    return MessageBoxA(nullptr, g_save_question, TXT_TITLE, MB_YESNO) == IDYES ? STEP_README : STEP_REFUSE_SAVE;
}

int patch_step_refuse_save(HINSTANCE)
{
    MessageBoxA(nullptr, TXT_SAVE_REFUSED, TXT_TITLE, MB_OK);
    return STEP_FINISH;
}
