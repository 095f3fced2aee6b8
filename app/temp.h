// The temporary file: one for the whole run, which holds the blob of the
// entry under way, copied from the payload for its action to decode.
#pragma once

#include "app/patch.h"

extern char g_temp_path[MAX_PATH];

// Its folder, ending in a backslash: the temporary directory, or the Windows
// directory when that is a drive root or cannot be had whole.
void patch_temp_dir(char *dir);
// Names and creates it (the failure box, and an empty name, where it cannot
// be).
void patch_make_temp();
// Copies size bytes, from where the payload's reader stands, into it (the
// failure box where it cannot be written).
void patch_copy_blob(HWND dlg, strm *payload, uint32_t size);
