#include "tools/qzt/stdio.h"

#include <unistd.h>

fstrm_handle qzt_stdin()
{
    return STDIN_FILENO;
}

fstrm_handle qzt_stdout()
{
    return STDOUT_FILENO;
}

bool qzt_stderr_is_terminal()
{
    return isatty(STDERR_FILENO);
}
