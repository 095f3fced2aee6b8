// The check window: a small window with a bar that shows how far the
// start-up check has got, once it has run about a second, until it ends, so
// that a user who started the patch sees it is under way. A shorter check
// shows nothing.
#pragma once

#include "app/patch.h"

// How long a check runs before the window shows; tests shorten it.
extern DWORD g_check_window_after_ms;

// Starts the clock of a check.
void patch_check_window_begin();
// The check's progress (a payload_progress): done of total bytes of a pass.
void patch_check_window_progress(void *ctx, uint32_t done, uint32_t total);
// Takes the window down, if it showed.
void patch_check_window_end();
