// The installed files a patch builds on: each old file that a patch entry
// rebuilds its new file from is checked, length and CRC-32, before anything
// changes, so that a patch run over another version than the one it was
// made for stops with nothing changed instead of writing wrong files.
#pragma once

#include "app/patch.h"

// Opens an installed file for reading, shared every way, as the game or a
// scanner may hold it; INVALID_HANDLE_VALUE with the system's error code.
HANDLE patch_open_installed(const char *path);
// Whether the file at path is len bytes whose CRC-32 is crc; a missing file
// or a folder is not. It is entry (1-based) of count: as its bytes are read,
// the check window's bar moves on through that entry's share.
bool patch_old_file_is(const char *path, uint32_t len, uint32_t crc, uint32_t entry, uint32_t count);
// The box that names the file and says that the installation is not the
// version this patch is for.
void patch_wrong_version(const char *path);
