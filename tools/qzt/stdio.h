// qzt's standard streams, per system: their handles for the file streams,
// and whether standard error is a terminal (for the progress bar).
#pragma once

#include "stream/fstrm.h"

fstrm_handle qzt_stdin();
fstrm_handle qzt_stdout();
bool qzt_stderr_is_terminal();
