#include <cstdlib>

#include "app/apply.h"
#include "app/patch.h"
#include "app/steps.h"
#include "app/strings.h"
#include "diag/diag.h"

char g_exe_path[MAX_PATH];
uint32_t g_payload_offset = PAYLOAD_OFFSET;
int g_exit_code = 0;

// The step of each code; code 4 (finish) has none.
static int (*const patch_steps[])(HINSTANCE) = {
    patch_step_confirm, patch_step_readme, patch_step_ask_save, patch_step_apply, nullptr, patch_step_refuse_save,
};

// Runs the steps from the confirmation until one returns the finish code, then
// frees the README text. Every normal end, a declined one included, gives 0;
// a failed work gives 1.
int patch_run_steps(HINSTANCE inst)
{
    int step = STEP_CONFIRM;
    for (;;) {
        auto code = static_cast<unsigned>(step);
        if (code >= sizeof patch_steps / sizeof patch_steps[0] || !patch_steps[code]) {
            dbg_trace(TXT_BAD_STEP, step);
            break;
        }
        step = patch_steps[code](inst);
        if (step == STEP_FINISH)
            break;
    }
    free(g_readme_text);
    g_readme_text = nullptr;
    return g_exit_code;
}
