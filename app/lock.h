// One run at a time: a named mutex that every patch of this program shares,
// so that neither a second copy of one patch nor another patch works on a
// game while a run is under way, nor takes that run's staged files for a
// killed run's. The process holds it until it ends; the system lets it go
// then, a killed run's included.
#pragma once

#include "app/patch.h"

// The mutex's name; tests give each of their processes one of its own.
extern const char *g_run_lock_name;

// True once this process holds the lock; false, after the box that asks the
// user to let the other run finish, while another process holds it.
bool patch_take_run_lock();
