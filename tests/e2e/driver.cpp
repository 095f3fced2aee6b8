// Plays one scenario with the patch program and records what happened.
//
// Usage: e2e_driver [--timeout SECONDS] [--pause DIR] SCRIPT TRANSCRIPT TEMPDIR PROGRAM
//
// The script is the transcript the scenario expects, one record a line, its
// texts in code page 932. The driver acts on it in order and writes the
// records of what it saw to TRANSCRIPT in the same form, so that the two files
// are equal when the program behaved:
//
//   setattr "PATH" FLAGS          before the run: file attributes (letters RHSA, or N)
//   setreg "KEY" "NAME" "DATA"    before the run: a string value (KEY starts HKCU\ or HKLM\)
//   delkey "KEY"                  before the run: the key and all below it go
//   box "CAPTION" "TEXT" BUTTON   a message box; BUTTON yes, no, ok or cancel is pressed
//   readme "CAPTION" "TEXT" BUTTON  the README dialog; BUTTON start or cancel
//   exit CODE                     the program's exit code
//   temp COUNT                    Ov*.tmp files left in TEMPDIR
//   attr "PATH" FLAGS             after the run: attributes (RHSAD, N), or missing
//   reg "KEY" "NAME" "DATA"       after the run: a string value, or missing for DATA
//   key "KEY" present|missing     after the run: whether the key exists
//   hold "PATH" MS|named|end      from here on, PATH is held open without sharing,
//                                 as a running game holds its files: for MS
//                                 milliseconds, until a box whose text names PATH
//                                 is answered (it goes just before the button is
//                                 pressed), or until the program ends
//   kill MS                       the program is ended MS milliseconds after its
//                                 progress window first shows (exit killed)
//
// The program is started with TEMPDIR as its TEMP and TMP (so parallel runs
// never see each other's temporary files) and in its own folder. Only its own
// windows count. Every window it shows is recorded; one of another kind than
// the script's next step, or any window after the last step, is recorded with
// the button "-" and ends the program (exit killed); a box's BUTTON may also
// be retry; a window not of the
// dialog class as
//   window "CAPTION" "CLASS" -
// A step that sees no window within the timeout records "timeout" and ends the
// program too. The progress window is no step: its labels are recorded
// whenever they change, as
//   progress "CAPTION" "TOTAL" "FILE"
// With --pause, the driver waits before pressing each button (and holds the
// program once the progress labels have changed) until the file DIR\N.ready
// it made is deleted: the screenshot script takes its pictures then.
//
// Texts are read as Unicode and converted to code page 932 here, so that a
// program running under another code page shows up as different bytes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "res/resource.h"

namespace {

constexpr UINT CP = 932;
constexpr int IDC_MESSAGE_TEXT = 0xFFFF;  // a message box's text

struct field {
    std::string text;
    bool quoted;
};
using record = std::vector<field>;

DWORD g_timeout_ms = 60000;
const char *g_pause_dir = nullptr;
int g_pause_count = 0;
FILE *g_out = nullptr;

bool is_lead(unsigned char c)
{
    return IsDBCSLeadByteEx(CP, c);
}

// Splits a script line into bare words and quoted strings; in a string,
// backslash escapes \\ \" \r \n \t \xHH, and a double-byte character is
// taken whole (its second byte may be 0x5C).
bool parse_line(const std::string &line, record *out)
{
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ') {
            i++;
            continue;
        }
        field f{"", line[i] == '"'};
        if (!f.quoted) {
            while (i < line.size() && line[i] != ' ')
                f.text += line[i++];
            out->push_back(f);
            continue;
        }
        for (i++;; i++) {
            if (i >= line.size())
                return false;
            unsigned char c = line[i];
            if (c == '"')
                break;
            if (is_lead(c) && i + 1 < line.size()) {
                f.text += line.substr(i++, 2);
            } else if (c == '\\' && i + 1 < line.size()) {
                char e = line[++i];
                if (e == 'r')
                    f.text += '\r';
                else if (e == 'n')
                    f.text += '\n';
                else if (e == 't')
                    f.text += '\t';
                else if (e == 'x' && i + 2 < line.size())
                    f.text += static_cast<char>(strtol(line.substr(i + 1, 2).c_str(), nullptr, 16)), i += 2;
                else
                    f.text += e;
            } else {
                f.text += static_cast<char>(c);
            }
        }
        i++;
        out->push_back(f);
    }
    return true;
}

void write_record(const record &r)
{
    for (size_t k = 0; k < r.size(); k++) {
        if (k)
            fputc(' ', g_out);
        if (!r[k].quoted) {
            fputs(r[k].text.c_str(), g_out);
            continue;
        }
        fputc('"', g_out);
        const std::string &t = r[k].text;
        for (size_t i = 0; i < t.size(); i++) {
            unsigned char c = t[i];
            if (is_lead(c) && i + 1 < t.size()) {
                fwrite(&t[i++], 1, 2, g_out);
            } else if (c == '"' || c == '\\') {
                fprintf(g_out, "\\%c", c);
            } else if (c == '\r') {
                fputs("\\r", g_out);
            } else if (c == '\n') {
                fputs("\\n", g_out);
            } else if (c == '\t') {
                fputs("\\t", g_out);
            } else if (c < 0x20 || c == 0x7F) {
                fprintf(g_out, "\\x%02X", c);
            } else {
                fputc(c, g_out);
            }
        }
        fputc('"', g_out);
    }
    fputc('\n', g_out);
    fflush(g_out);
}

std::wstring wide(const std::string &s)
{
    std::wstring w(s.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP, 0, s.data(), static_cast<int>(s.size()), w.data(), static_cast<int>(w.size()));
    w.resize(n);
    return w;
}

std::string narrow(const std::wstring &w)
{
    std::string s(w.size() * 2 + 1, '\0');
    int n = WideCharToMultiByte(CP, 0, w.data(), static_cast<int>(w.size()), s.data(), static_cast<int>(s.size()),
                                nullptr, nullptr);
    s.resize(n);
    return s;
}

// A window's own text as the system keeps it: no message is sent, so this
// works while the program is busy and never answers.
std::string stored_text(HWND hwnd)
{
    wchar_t buf[1024];
    int n = hwnd ? InternalGetWindowText(hwnd, buf, 1024) : 0;
    return narrow(std::wstring(buf, n));
}

// A control's text as it answers WM_GETTEXT (an edit control keeps its text
// to itself); empty when the program does not answer.
std::string control_text(HWND hwnd)
{
    DWORD_PTR len = 0;
    if (!hwnd || !SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &len))
        return "";
    std::wstring w(len + 1, L'\0');
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, len + 1, reinterpret_cast<LPARAM>(w.data()), SMTO_ABORTIFHUNG, 5000,
                             &got))
        return "";
    w.resize(got);
    return narrow(w);
}

std::string attr_letters(DWORD a)
{
    if (a == INVALID_FILE_ATTRIBUTES)
        return "missing";
    std::string s;
    const struct {
        DWORD bit;
        char letter;
    } names[] = {{FILE_ATTRIBUTE_READONLY, 'R'}, {FILE_ATTRIBUTE_HIDDEN, 'H'},    {FILE_ATTRIBUTE_SYSTEM, 'S'},
                 {FILE_ATTRIBUTE_ARCHIVE, 'A'},  {FILE_ATTRIBUTE_DIRECTORY, 'D'}, {FILE_ATTRIBUTE_NORMAL, 'N'}};
    for (auto n : names)
        if (a & n.bit)
            s += n.letter;
    return s.empty() ? "-" : s;
}

DWORD attr_bits(const std::string &letters)
{
    DWORD a = 0;
    for (char c : letters)
        a |= c == 'R'   ? FILE_ATTRIBUTE_READONLY
             : c == 'H' ? FILE_ATTRIBUTE_HIDDEN
             : c == 'S' ? FILE_ATTRIBUTE_SYSTEM
             : c == 'A' ? FILE_ATTRIBUTE_ARCHIVE
                        : FILE_ATTRIBUTE_NORMAL;
    return a;
}

// HKCU\... or HKLM\...: the root, and the rest in *subkey.
HKEY reg_root(const std::string &key, std::wstring *subkey)
{
    *subkey = wide(key.substr(5));
    if (key.compare(0, 5, "HKCU\\") == 0)
        return HKEY_CURRENT_USER;
    if (key.compare(0, 5, "HKLM\\") == 0)
        return HKEY_LOCAL_MACHINE;
    return nullptr;
}

// A file held open as another program would hold it (hold), and when it is
// let go: at a tick count, at the answer to a box that names it, or at the
// program's end.
struct held_file {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string path;
    bool until_named = false;
    bool timed = false;
    DWORD release_at = 0;
};
held_file g_held;

void release_held()
{
    if (g_held.handle != INVALID_HANDLE_VALUE)
        CloseHandle(g_held.handle);
    g_held = held_file{};
}

// Does one record that is no window step; the record is written back with
// "failed" added when the action did not work.
void do_plain(const record &r, const char *tempdir)
{
    record out = r;
    const std::string &verb = r[0].text;
    std::wstring subkey;
    bool ok = true;
    if (verb == "setattr" && r.size() == 3) {
        ok = SetFileAttributesW(wide(r[1].text).c_str(), attr_bits(r[2].text));
    } else if (verb == "setreg" && r.size() == 4) {
        HKEY root = reg_root(r[1].text, &subkey), key;
        std::wstring data = wide(r[3].text);
        ok = root && RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) ==
                         ERROR_SUCCESS;
        if (ok) {
            ok = RegSetValueExW(key, wide(r[2].text).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(data.c_str()),
                                static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
            RegCloseKey(key);
        }
    } else if (verb == "delkey" && r.size() == 2) {
        HKEY root = reg_root(r[1].text, &subkey);
        LONG rc = root ? RegDeleteTreeW(root, subkey.c_str()) : ERROR_INVALID_PARAMETER;
        ok = rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
    } else if (verb == "hold" && r.size() == 3) {
        release_held();
        // The patch's own checks open the file for a moment: a hold that
        // meets one tries again.
        for (int tries = 0; tries < 100; tries++) {
            g_held.handle = CreateFileW(wide(r[1].text).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
            if (g_held.handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION)
                break;
            Sleep(10);
        }
        ok = g_held.handle != INVALID_HANDLE_VALUE;
        g_held.path = r[1].text;
        g_held.until_named = r[2].text == "named";
        g_held.timed = r[2].text != "named" && r[2].text != "end";
        g_held.release_at = GetTickCount() + static_cast<DWORD>(atoi(r[2].text.c_str()));
    } else if (verb == "temp" && r.size() == 2) {
        WIN32_FIND_DATAW fd;
        int count = 0;
        HANDLE h = FindFirstFileW((wide(tempdir) + L"\\Ov*.tmp").c_str(), &fd);
        if (h != INVALID_HANDLE_VALUE) {
            do
                count++;
            while (FindNextFileW(h, &fd));
            FindClose(h);
        }
        out[1].text = std::to_string(count);
    } else if (verb == "attr" && r.size() == 3) {
        out[2].text = attr_letters(GetFileAttributesW(wide(r[1].text).c_str()));
    } else if (verb == "reg" && r.size() == 4) {
        HKEY root = reg_root(r[1].text, &subkey), key;
        out[3] = {"missing", false};
        if (root && RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
            wchar_t buf[1024];
            DWORD type = 0, size = sizeof buf - sizeof(wchar_t);
            if (RegQueryValueExW(key, wide(r[2].text).c_str(), nullptr, &type, reinterpret_cast<BYTE *>(buf), &size) ==
                    ERROR_SUCCESS &&
                (type == REG_SZ || type == REG_EXPAND_SZ)) {
                buf[size / sizeof(wchar_t)] = L'\0';
                out[3] = {narrow(buf), true};
            }
            RegCloseKey(key);
        }
    } else if (verb == "key" && r.size() == 3) {
        HKEY root = reg_root(r[1].text, &subkey), key;
        ok = root != nullptr;
        out[2].text = "missing";
        if (ok && RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
            out[2].text = "present";
            RegCloseKey(key);
        }
    } else {
        ok = false;
    }
    if (!ok)
        out.push_back({"failed", false});
    write_record(out);
}

// Waits until the screenshot script has deleted the file it was given.
void pause_for_shot(const char *what)
{
    if (!g_pause_dir)
        return;
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s\\%d.ready", g_pause_dir, ++g_pause_count);
    FILE *f = fopen(path, "w");
    if (!f)
        return;
    fputs(what, f);
    fclose(f);
    for (DWORD waited = 0; GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES && waited < g_timeout_ms; waited += 50)
        Sleep(50);
}

struct run {
    PROCESS_INFORMATION pi;
    bool killed = false;
    bool kill_planned = false;
    DWORD kill_after = 0;  // milliseconds after the progress window first shows
    DWORD progress_seen_at = 0;
    std::string progress_total, progress_file;  // labels last recorded
    int progress_records = 0;
};

struct found {
    DWORD pid;
    HWND progress;
    HWND other;
};

BOOL CALLBACK find_proc(HWND hwnd, LPARAM lp)
{
    auto *f = reinterpret_cast<found *>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != f->pid || !IsWindowVisible(hwnd))
        return TRUE;
    if (GetDlgItem(hwnd, IDC_TOTAL_LABEL))
        f->progress = hwnd;
    else if (!f->other)
        f->other = hwnd;
    return TRUE;
}

// Looks at the program's windows once: records the progress labels when they
// changed, and returns any other window.
HWND look(run *rn)
{
    if (g_held.timed && static_cast<int32_t>(GetTickCount() - g_held.release_at) >= 0)
        release_held();
    found f{rn->pi.dwProcessId, nullptr, nullptr};
    EnumWindows(find_proc, reinterpret_cast<LPARAM>(&f));
    if (f.progress && !rn->progress_seen_at)
        rn->progress_seen_at = GetTickCount() | 1;
    if (rn->kill_planned && rn->progress_seen_at && !rn->killed &&
        GetTickCount() - rn->progress_seen_at >= rn->kill_after) {
        rn->killed = true;
        TerminateProcess(rn->pi.hProcess, 255);
        WaitForSingleObject(rn->pi.hProcess, INFINITE);
        return nullptr;
    }
    if (f.progress) {
        std::string caption = stored_text(f.progress);
        std::string total = stored_text(GetDlgItem(f.progress, IDC_TOTAL_LABEL));
        std::string file = stored_text(GetDlgItem(f.progress, IDC_FILE_LABEL));
        // A window being torn down (at the program's exit) is hidden before
        // its controls go: texts read from it then are no sample of it.
        bool whole = IsWindowVisible(f.progress) && GetDlgItem(f.progress, IDC_TOTAL_LABEL) &&
                     GetDlgItem(f.progress, IDC_FILE_LABEL);
        if (whole && (total != rn->progress_total || file != rn->progress_file)) {
            rn->progress_total = total;
            rn->progress_file = file;
            write_record({{"progress", false}, {caption, true}, {total, true}, {file, true}});
            // Held for its picture once its labels have changed: the program
            // draws the window only as it updates it.
            if (++rn->progress_records == 2 && g_pause_dir) {
                SuspendThread(rn->pi.hThread);
                pause_for_shot("progress");
                ResumeThread(rn->pi.hThread);
            }
        }
    }
    return f.other;
}

// Waits for a window other than the progress window; null when the program
// ends or the time runs out first.
HWND wait_window(run *rn)
{
    for (DWORD waited = 0; waited < g_timeout_ms; waited += 20) {
        if (HWND w = look(rn))
            return w;
        if (WaitForSingleObject(rn->pi.hProcess, 20) == WAIT_OBJECT_0)
            return look(rn);
    }
    return nullptr;
}

// The window's kind, caption and text as a record without its button.
record describe(HWND w)
{
    wchar_t cls[64] = L"";
    GetClassNameW(w, cls, 64);
    std::string caption = stored_text(w);
    if (HWND edit = GetDlgItem(w, IDC_README_TEXT))
        return {{"readme", false}, {caption, true}, {control_text(edit), true}};
    if (wcscmp(cls, L"#32770") == 0)
        return {{"box", false}, {caption, true}, {control_text(GetDlgItem(w, IDC_MESSAGE_TEXT)), true}};
    return {{"window", false}, {caption, true}, {narrow(cls), true}};
}

int button_id(const std::string &kind, const std::string &button)
{
    if (kind == "box")
        return button == "yes"      ? IDYES
               : button == "no"     ? IDNO
               : button == "ok"     ? IDOK
               : button == "cancel" ? IDCANCEL
               : button == "retry"  ? IDRETRY
                                    : 0;
    if (kind == "readme")
        return button == "start" ? IDOK : button == "cancel" ? IDCANCEL : 0;
    return 0;
}

void end_program(run *rn)
{
    rn->killed = true;
    TerminateProcess(rn->pi.hProcess, 255);
    WaitForSingleObject(rn->pi.hProcess, INFINITE);
}

// Answers one window step; false when the run cannot go on (the program was
// ended or has ended).
bool do_step(run *rn, const record &step)
{
    HWND w = wait_window(rn);
    if (!w) {
        if (WaitForSingleObject(rn->pi.hProcess, 0) == WAIT_OBJECT_0)
            return false;
        write_record({{"timeout", false}});
        end_program(rn);
        return false;
    }
    record seen = describe(w);
    int id = seen[0].text == step[0].text ? button_id(step[0].text, step[3].text) : 0;
    seen.push_back({id ? step[3].text : "-", false});
    write_record(seen);
    if (!id) {
        end_program(rn);
        return false;
    }
    pause_for_shot(step[0].text.c_str());
    if (g_held.until_named && seen[2].text.find(g_held.path) != std::string::npos)
        release_held();
    PostMessageW(w, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    for (DWORD waited = 0; IsWindow(w) && IsWindowVisible(w) && waited < g_timeout_ms; waited += 20)
        look(rn), Sleep(20);
    return true;
}

// The driver's environment with TEMP and TMP set to dir, for the program.
std::wstring child_environment(const char *dir)
{
    std::wstring env;
    wchar_t *block = GetEnvironmentStringsW();
    for (const wchar_t *p = block; *p; p += wcslen(p) + 1)
        if (_wcsnicmp(p, L"TEMP=", 5) != 0 && _wcsnicmp(p, L"TMP=", 4) != 0)
            env.append(p).push_back(L'\0');
    FreeEnvironmentStringsW(block);
    for (const wchar_t *name : {L"TEMP=", L"TMP="})
        env.append(name).append(wide(dir)).push_back(L'\0');
    env.push_back(L'\0');
    return env;
}

bool start_program(run *rn, const char *program, const char *tempdir)
{
    std::wstring path = wide(program);
    std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);
    std::wstring cmdline = L"\"" + path + L"\"";
    std::wstring env = child_environment(tempdir);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    return CreateProcessW(path.c_str(), cmdline.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, env.data(),
                          folder.c_str(), &si, &rn->pi);
}

}  // namespace

int main(int argc, char **argv)
{
    int a = 1;
    for (; a + 1 < argc && argv[a][0] == '-'; a += 2) {
        if (strcmp(argv[a], "--timeout") == 0)
            g_timeout_ms = static_cast<DWORD>(atoi(argv[a + 1])) * 1000;
        else if (strcmp(argv[a], "--pause") == 0)
            g_pause_dir = argv[a + 1];
        else
            break;
    }
    if (argc - a != 4) {
        fprintf(stderr, "usage: e2e_driver [--timeout SECONDS] [--pause DIR] SCRIPT TRANSCRIPT TEMPDIR PROGRAM\n");
        return 2;
    }
    const char *tempdir = argv[a + 2];
    FILE *in = fopen(argv[a], "rb");
    g_out = fopen(argv[a + 1], "wb");
    if (!in || !g_out) {
        fprintf(stderr, "e2e_driver: cannot open %s or %s\n", argv[a], argv[a + 1]);
        return 2;
    }
    std::vector<record> script;
    char line[8192];
    for (int n = 1; fgets(line, sizeof line, in); n++) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        record r;
        if (!parse_line(s, &r) || r.empty()) {
            fprintf(stderr, "e2e_driver: %s:%d: bad line\n", argv[a], n);
            return 2;
        }
        script.push_back(r);
    }
    fclose(in);

    run rn{};
    bool started = false, going = true;
    for (const record &r : script) {
        const std::string &verb = r[0].text;
        bool step = (verb == "box" || verb == "readme") && r.size() == 4;
        if ((step || verb == "exit") && !started) {
            if (!start_program(&rn, argv[a + 3], tempdir)) {
                fprintf(stderr, "e2e_driver: cannot start %s: error %lu\n", argv[a + 3], GetLastError());
                return 2;
            }
            started = true;
        }
        if (step) {
            going = going && do_step(&rn, r);
        } else if (verb == "exit") {
            // Whatever the program shows now is a window the script did not expect.
            while (!rn.killed && WaitForSingleObject(rn.pi.hProcess, 0) != WAIT_OBJECT_0) {
                record seen{{"timeout", false}};
                if (HWND w = wait_window(&rn)) {
                    seen = describe(w);
                    seen.push_back({"-", false});
                } else if (WaitForSingleObject(rn.pi.hProcess, 0) == WAIT_OBJECT_0) {
                    break;
                }
                write_record(seen);
                end_program(&rn);
            }
            DWORD code = 0;
            WaitForSingleObject(rn.pi.hProcess, INFINITE);
            GetExitCodeProcess(rn.pi.hProcess, &code);
            write_record({{"exit", false}, {rn.killed ? "killed" : std::to_string(code), false}});
            release_held();
        } else if (verb == "kill" && r.size() == 2) {
            rn.kill_planned = true;
            rn.kill_after = static_cast<DWORD>(atoi(r[1].text.c_str()));
            write_record(r);
        } else {
            do_plain(r, tempdir);
        }
    }
    if (started) {
        CloseHandle(rn.pi.hThread);
        CloseHandle(rn.pi.hProcess);
    }
    fclose(g_out);
    return 0;
}
