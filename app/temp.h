// The temporary file: one for the whole run, held open from its making to
// its removal, which holds the blob of the entry under way, copied from the
// payload for its action to decode.
#pragma once

#include "app/patch.h"

extern char g_temp_path[MAX_PATH];

// Its folder, ending in a backslash: the temporary directory, or the Windows
// directory when that is a drive root or cannot be had whole.
void patch_temp_dir(char *dir);
// Names and creates it. Where it cannot be: the failure box, then, for a
// patch with entries to copy, the fatal report of the file that could not be
// opened; false after that report.
bool patch_make_temp(uint32_t entries);
// Creates the file at path as the temporary file; false when it cannot be,
// and then the name is empty.
bool patch_open_temp(const char *path);
// Copies size bytes, from where the payload's reader stands, into it in
// place of the blob before. False where it could not: after the failure box
// where there is no temporary file, or a write's report.
bool patch_copy_blob(HWND dlg, strm *payload, uint32_t size);
// A reader of the blob it holds; null where there is no temporary file.
strm *patch_temp_reader();
// Closes it and removes it; safe to call again.
void patch_drop_temp();
