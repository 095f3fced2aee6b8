// Fatal report and trace.
//
// fatal_error formats its message into g_fatal_text (bounded to the buffer),
// hands it to the trace, shows it (a task-modal "Error" box on Windows, a line
// on stderr elsewhere) and ends the process with exit code 1 through exit(),
// so atexit functions run. A report made while that exit is under way is shown
// and then returns to its caller, which goes on as a failed operation.
// g_fatal_quiet keeps a report from being shown, everything else the same:
// for clean-up on the way out that may fail again after the one report.
// g_fatal_stderr shows it on stderr on Windows too: the console tools set it,
// whose users read their errors there and may have no one to close a box.
// g_fatal_raise, where set, is given the report before it is shown: a tool
// that can recover from a fault deep inside the libraries (mkpatch, where a
// pair of files is past its memory) throws from it, through their frames;
// where it returns, the report goes on as usual.
// dbg_trace accepts any printf-style arguments and shows nothing.
#pragma once

#include <cstdint>

constexpr int FATAL_TEXT_SIZE = 4096;

extern thread_local char g_fatal_text[FATAL_TEXT_SIZE];
extern int32_t g_fatal_exiting;
extern int32_t g_fatal_quiet;
extern int32_t g_fatal_stderr;
extern void (*g_fatal_raise)(const char *text);

void fatal_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void dbg_trace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
