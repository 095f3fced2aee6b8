// The progress window: an overall bar and label for the entries, a file bar
// and label for the entry under way. The step runs no message loop, so each
// change is painted at once; see progress.cpp for which ones reach the
// screen.
#pragma once

#include "app/patch.h"

INT_PTR CALLBACK patch_progress_proc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp);
// Paints the window whole, now.
void patch_repaint(HWND dlg);
void patch_set_range(HWND dlg, int id, uint32_t upper);
void patch_set_pos(HWND dlg, int id, uint32_t pos);
void patch_set_percent(HWND dlg, int id, int32_t value);
