#include "payload/dest.h"

#include <cstring>

#include "payload/payload.h"

// Keywords, in lower case, after the spec's leading '%'.
constexpr char DEST_WORD_WINDIR[] = "windir%";
constexpr char DEST_WORD_USER[] = "hkcr\\";
constexpr char DEST_WORD_MACHINE[] = "hklm\\";
static_assert(sizeof DEST_WORD_USER == sizeof DEST_WORD_MACHINE, "one offset for both registry keywords");

// True when text starts with word (lower case), ASCII letters of text in any
// case; stops at the end of text.
static bool dest_starts_with(const char *text, const char *word)
{
    for (; *word; text++, word++) {
        char c = *text >= 'A' && *text <= 'Z' ? static_cast<char>(*text + 32) : *text;
        if (c != *word)
            return false;
    }
    return true;
}

bool dest_parse(const char *spec, dest_parts *p)
{
    p->key = p->value = nullptr;
    p->key_len = p->value_len = 0;
    p->rest = nullptr;
    if (spec[0] != '%') {
        p->form = DEST_PLAIN;
        p->rest = spec;
        return true;
    }
    if (dest_starts_with(spec + 1, DEST_WORD_WINDIR)) {
        p->form = DEST_WINDIR;
        p->rest = spec + sizeof DEST_WORD_WINDIR;
        return true;
    }
    bool user = dest_starts_with(spec + 1, DEST_WORD_USER);
    if (!user && !dest_starts_with(spec + 1, DEST_WORD_MACHINE)) {
        p->form = DEST_NO_KEYWORD;
        return false;
    }
    p->key = spec + sizeof DEST_WORD_USER;
    const char *end = strchr(p->key, '%');
    if (!end) {
        p->form = DEST_NO_KEY_END;
        return false;
    }
    p->key_len = static_cast<uint32_t>(end - p->key);
    p->value = end + 1;
    end = strchr(p->value, '%');
    if (!end) {
        p->form = DEST_NO_VALUE_END;
        return false;
    }
    p->value_len = static_cast<uint32_t>(end - p->value);
    p->rest = end + 1;
    p->form = user ? DEST_USER : DEST_MACHINE;
    return true;
}

static int32_t dest_overflows(dest_overflow *why, const char *head, const char *tail)
{
    why->head = head;
    why->tail = tail;
    return DEST_TOO_LONG;
}

// The folder the environment names for a form other than the plain one.
static const char *dest_folder(const char *spec, const dest_parts *p, const dest_env *env)
{
    if (p->form == DEST_WINDIR) {
        const char *dir = env->windows_dir(env, spec);
        return dir ? dir : "";
    }
    char key[RECORD_DEST_SIZE];
    char value[RECORD_DEST_SIZE];
    memcpy(key, p->key, p->key_len);
    key[p->key_len] = '\0';
    memcpy(value, p->value, p->value_len);
    value[p->value_len] = '\0';
    const char *found = env->reg_value(env, p->form == DEST_MACHINE, key, value);
    return found ? found : "\\";
}

int32_t dest_expand(const char *spec, char *out, const dest_env *env, dest_overflow *why)
{
    out[0] = '\0';
    dest_parts p;
    // No record holds a longer spec; within that length its key and value
    // names fit the buffers above.
    if (strlen(spec) >= RECORD_DEST_SIZE || !dest_parse(spec, &p))
        return DEST_NONE;
    if (p.form != DEST_PLAIN) {
        const char *folder = dest_folder(spec, &p, env);
        if (!dest_join(out, folder, ""))
            return dest_overflows(why, folder, "");
        // A value naming an application's data file stands for its folder.
        size_t len = strlen(out);
        if (len >= 4 && dest_starts_with(out + len - 4, ".dat"))
            out[dest_dir_length(out, env->lead_byte)] = '\0';
    }
    if (!dest_join(out, out, p.rest))
        return dest_overflows(why, out, p.rest);
    size_t len = strlen(out);
    if (len > 0 && out[len - 1] != '\\' && !dest_join(out, out, "\\"))
        return dest_overflows(why, out, "\\");
    return DEST_FOUND;
}

size_t dest_dir_length(const char *path, bool (*lead_byte)(uint8_t c))
{
    size_t len = path[0] && path[1] == ':' ? 2 : 0;
    for (size_t i = 0; path[i];) {
        if (lead_byte(static_cast<uint8_t>(path[i])) && path[i + 1]) {
            i += 2;
            continue;
        }
        if (path[i] == '\\' || path[i] == '/')
            len = i + 1;
        i++;
    }
    return len;
}

bool dest_join(char *out, const char *a, const char *b)
{
    size_t la = strlen(a);
    size_t lb = strlen(b);
    if (la + lb >= DEST_PATH_SIZE)
        return false;
    memmove(out, a, la);
    memcpy(out + la, b, lb + 1);
    return true;
}
