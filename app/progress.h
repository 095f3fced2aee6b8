// The progress window: an overall bar and label for the entries, a file bar
// and label for the entry under way. The step runs no message loop: changes
// reach the screen at frames, at most about 30 a second (see progress.cpp).
#pragma once

#include "app/patch.h"

// Asks a progress bar to draw in the classic style, as Windows draws it for a
// program without visual styles.
void patch_classic_bar(HWND bar);
INT_PTR CALLBACK patch_progress_proc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp);
// Looks at the thread's messages, leaving them queued: a program that has not
// looked for a few seconds is taken for hung, and its windows drawn over with
// a ghost. Every frame of a window of a step without a message loop calls it.
void patch_stay_responsive();
// Shows every change made so far and paints the window whole, now.
void patch_repaint(HWND dlg);
void patch_set_range(HWND dlg, int id, uint32_t upper);
void patch_set_pos(HWND dlg, int id, uint32_t pos);
void patch_set_percent(HWND dlg, int id, int32_t value);
