#include "diag/diag.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

thread_local char g_fatal_text[FATAL_TEXT_SIZE];
int32_t g_fatal_exiting = 0;
int32_t g_fatal_quiet = 0;
int32_t g_fatal_stderr = 0;
void (*g_fatal_raise)(const char *text) = nullptr;

static void fatal_show(const char *text)
{
#ifdef _WIN32
    if (!g_fatal_stderr) {
        MessageBoxA(nullptr, text, "Error", MB_OK | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND);
        return;
    }
    // Through the handle: the C runtime's stdio would more than fill the
    // program image.
    DWORD n;
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    WriteFile(err, text, static_cast<DWORD>(strlen(text)), &n, nullptr);
    WriteFile(err, "\r\n", 2, &n, nullptr);
#else
    fprintf(stderr, "%s\n", text);
#endif
}

void fatal_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
#ifdef _WIN32
    // The C runtime DLL's own formatter: no formatting code in the program image.
    _vsnprintf(g_fatal_text, sizeof g_fatal_text, fmt, ap);
#else
    vsnprintf(g_fatal_text, sizeof g_fatal_text, fmt, ap);
#endif
    va_end(ap);
    // Some C runtimes leave a truncated result unterminated.
    g_fatal_text[sizeof g_fatal_text - 1] = '\0';

    dbg_trace("%s", g_fatal_text);
    if (g_fatal_raise)
        g_fatal_raise(g_fatal_text);
    if (!g_fatal_quiet)
        fatal_show(g_fatal_text);
    if (g_fatal_exiting)
        return;
    g_fatal_exiting = 1;
    exit(1);
}
