// Entry actions, on the record the temporary file holds. A write goes to a
// new file beside its target (g_new_path while it is written), which then
// replaces the target; a delete removes its target.
#pragma once

#include "app/patch.h"
#include "payload/read.h"

extern char g_new_path[MAX_PATH];

void patch_apply_entry(HWND dlg);
// Reads a record's head; false after the fatal report of a name or
// destination whose terminator is not among the bytes read.
bool patch_read_head(strm *rec, payload_head *h);
// Writes the len bytes of data that src holds as dir's file name.
void patch_write_file(HWND dlg, const char *dir, const char *name, uint32_t len, strm *src);
void patch_delete_file(const char *dir, const char *name);
