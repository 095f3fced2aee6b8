// The patch program: steps, payload access, entry actions, destinations.
//
// WinMain runs the step sequencer from the confirmation (0) to the finish (4).
// The payload lies at g_payload_offset in the program's own file. Every file
// is read and written through the stream library; failures the program cannot
// go on from are fatal reports (exit code 1). The work ends applied whole or
// rolled back: only a destination that names no folder is a "失敗" box after
// which the other entries go on. Every path is built with its length
// checked: a path that does not fit MAX_PATH is a fatal report, never a
// shortened path.
//
// This header holds what the whole program shares; each room has its own,
// with its state: steps.h (the steps before the work), lock.h (one run at a
// time), checks.h (the payload's checks and the pre-flight pass),
// check_window.h (the window of a long check), apply.h (the work's loop), temp.h (the temporary
// file), progress.h (the progress window), entry.h (entry actions), dest.h
// (destinations), path.h (paths) and reg.h (the registry).
#pragma once

#include <windows.h>

#include <cstdint>

#include "payload/payload.h"
#include "res/resource.h"
#include "stream/strm.h"

// Step codes.
enum : int {
    STEP_CONFIRM = 0,
    STEP_README = 1,
    STEP_ASK_SAVE = 2,
    STEP_APPLY = 3,
    STEP_FINISH = 4,
    STEP_REFUSE_SAVE = 5,
};

constexpr int32_t PATCH_WINDOW = 32768;  // stream window of every file
constexpr int32_t PATCH_PIECE = 8192;    // write action's transfer size
// The window of a new file being written: a write call costs the system
// about as much as copying tens of kilobytes, so a large file goes out in
// fewer, larger writes (measured: a 129 MB file written about 12 ms sooner
// under Wine than through a 32 KB window).
constexpr int32_t PATCH_STAGED_WINDOW = 262144;

// sequencer.cpp: the program's own file, where its payload lies in it, the
// steps run one after another, and the exit code they end with: 0, or 1 once
// the work has failed (and was rolled back).
extern char g_exe_path[MAX_PATH];
extern uint32_t g_payload_offset;
extern int g_exit_code;
int patch_run_steps(HINSTANCE inst);
