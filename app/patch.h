// The patch program: steps, payload access, entry actions, destinations.
//
// WinMain runs the step sequencer from the confirmation (0) to the finish (4).
// The payload lies at g_payload_offset in the program's own file. Every file
// is read and written through the stream library; failures the program cannot
// go on from are fatal reports (exit code 1), user-level failures are "失敗"
// boxes and the work goes on. Every path is built with its length checked: a
// path that does not fit MAX_PATH is a fatal report, never a shortened path.
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

extern char g_exe_path[MAX_PATH];
extern char *g_readme_text;
extern const char *g_save_question;
extern uint32_t g_payload_offset;
extern char g_temp_path[MAX_PATH];
extern strm *g_payload_strm;
extern uint32_t g_entry_count;

// sequencer.cpp
int patch_run_steps(HINSTANCE inst);

// checks.cpp: before anything changes. The payload check at start-up (false
// after its fatal report); the apply step's pre-flight pass, which expands
// and remembers every destination and reports, as the work would, a missing
// folder, a target that cannot be replaced or a volume without room.
bool patch_check_payload();
void patch_preflight();

// steps.cpp: the steps before the work
int patch_step_confirm(HINSTANCE inst);
int patch_step_readme(HINSTANCE inst);
int patch_step_ask_save(HINSTANCE inst);
int patch_step_refuse_save(HINSTANCE inst);
void patch_readme_path(char *out);
INT_PTR CALLBACK patch_readme_proc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp);
uint32_t patch_read_message_length(strm *payload);

// apply.cpp: the apply step and its progress window
int patch_step_apply(HINSTANCE inst);
void patch_temp_dir(char *dir);
void patch_make_temp();
void patch_skip_message();
INT_PTR CALLBACK patch_progress_proc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp);
void patch_progress_init(HWND dlg);
void patch_apply_all(HWND dlg);
void patch_copy_blob(HWND dlg, uint32_t size);
void patch_repaint(HWND dlg);
void patch_set_range(HWND dlg, int id, uint32_t upper);
void patch_set_pos(HWND dlg, int id, uint32_t pos);
void patch_set_percent(HWND dlg, int id, int32_t value);

// progress.cpp: the bars drawn in the classic style; whether a bar's new
// position or a label's new text goes to the screen now, and whether a new
// range leaves a bar's fill as it is (see there)
void patch_progress_classic(HWND dlg);
bool patch_progress_range_keeps_fill(HWND dlg, int id, uint32_t upper);
bool patch_progress_bar_shows(HWND dlg, int id, uint32_t pos);
bool patch_progress_label_shows(HWND dlg, int id, const char *text, bool first_or_last);

// entry.cpp: entry actions; a write goes to a new file beside its target
// (g_new_path while it is written), which then replaces the target
extern char g_new_path[MAX_PATH];
void patch_apply_entry(HWND dlg);
// Reads a record's name and destination fields; false after the fatal report
// of one whose terminator is not among the bytes read.
bool patch_read_fields(strm *rec, char *name, char *spec);
void patch_write_file(HWND dlg, const char *dir, const char *name, strm *src);
void patch_delete_file(const char *dir, const char *name);

// dest.cpp: destination specs expanded (payload/dest.h) against the system
// and the registry; false (after the internal-error box) for a spec that
// names no directory: a '%' without a keyword, or a registry reference
// without both of its closing '%'
bool patch_expand_dest(const char *spec, char *out);
// The same without the box.
bool patch_resolve_dest(const char *spec, char *out);
// patch_resolve_dest once per spec, the result remembered (pre-flight pass).
bool patch_remember_dest(const char *spec, char *out);
// The remembered result (with the box where it names no directory), or
// patch_expand_dest for a spec not met before.
bool patch_entry_dest(const char *spec, char *out);
void patch_forget_dests();

// path.cpp: path pieces (payload/dest.h) under the ANSI code page, in MAX_PATH
// buffers. A path a then b that does not fit is a fatal report "ab: path too
// long" (each piece cut to 259 bytes), and out is left empty.
bool patch_lead_byte(uint8_t c);
size_t patch_dir_length(const char *path);
void patch_join_path(char *out, const char *a, const char *b);
void patch_path_too_long(char *out, const char *a, const char *b);
bool patch_path_call(DWORD len, const char *call, const char *what);

// reg.cpp: the registry layer, one open key at a time
extern HKEY g_regkey;
extern char g_regval[1024];
void reg_open_user(const char *subkey);
void reg_open_machine(const char *subkey);
const char *reg_query_sz(const char *name, const char *fallback);
void reg_close_at_exit();
