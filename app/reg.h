// The registry layer: one open key at a time, closed at exit.
#pragma once

#include "app/patch.h"

extern HKEY g_regkey;
extern char g_regval[1024];

void reg_open_user(const char *subkey);
void reg_open_machine(const char *subkey);
const char *reg_query_sz(const char *name, const char *fallback);
void reg_close_at_exit();
