// Path pieces (payload/dest.h) under the ANSI code page, in MAX_PATH
// buffers. A path a then b that does not fit is a fatal report "ab: path too
// long" (each piece cut to 259 bytes), and out is left empty.
#pragma once

#include "app/patch.h"

bool patch_lead_byte(uint8_t c);
size_t patch_dir_length(const char *path);
void patch_join_path(char *out, const char *a, const char *b);
void patch_path_too_long(char *out, const char *a, const char *b);
bool patch_path_call(DWORD len, const char *call, const char *what);
