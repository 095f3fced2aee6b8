#include "tools/qzt/stdio.h"

#include <windows.h>

fstrm_handle qzt_stdin()
{
    return GetStdHandle(STD_INPUT_HANDLE);
}

fstrm_handle qzt_stdout()
{
    return GetStdHandle(STD_OUTPUT_HANDLE);
}

bool qzt_stderr_is_terminal()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}
