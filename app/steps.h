// The steps before the work: the question, the README dialog and the
// save-data questions. The README's text is held from its step until the
// steps end.
#pragma once

#include "app/patch.h"

extern char *g_readme_text;
extern const char *g_save_question;

int patch_step_confirm(HINSTANCE inst);
int patch_step_readme(HINSTANCE inst);
int patch_step_ask_save(HINSTANCE inst);
int patch_step_refuse_save(HINSTANCE inst);
void patch_readme_path(char *out);
INT_PTR CALLBACK patch_readme_proc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp);
