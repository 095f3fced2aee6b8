// The apply step: the pre-flight pass, then every entry in turn in the
// progress window (its blob copied to the temporary file and its action
// staged), the swap of every target (app/swap.h), then the success box.
#pragma once

#include "app/patch.h"
#include "payload/read.h"

// The work on every entry of the payload that c stands at the header of.
// False after the rollback and the failure's report.
bool patch_apply_all(HWND dlg, payload_cursor *c);

int patch_step_apply(HINSTANCE inst);
