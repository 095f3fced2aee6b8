// The apply step: the pre-flight pass, then every entry in turn in the
// progress window (its blob copied to the temporary file and its action
// carried out), then the success box.
#pragma once

#include "app/patch.h"

int patch_step_apply(HINSTANCE inst);
