// Fuzz target: destination expansion against a fake system. The input is a
// flags byte, then the spec, the Windows folder and the registry's value,
// separated by zero bytes. Whatever they hold, the folder fits its buffer,
// a fault names pieces that really do not fit, and the registry is asked
// exactly for the parsed key and value of a registry form, and only then.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "payload/dest.h"
#include "payload/payload.h"

namespace {

enum : uint8_t {
    FUZZ_NO_WINDIR = 1,  // the Windows folder cannot be had
    FUZZ_NO_VALUE = 2,   // the registry holds no such value
    FUZZ_NO_DBCS = 4,    // a code page without double-byte characters
};

struct fuzz_system {
    uint8_t flags;
    std::string windir;
    std::string value;
    uint32_t windir_calls;
    uint32_t reg_calls;
    bool machine;
    std::string key, name;
};

const char *fuzz_windows_dir(const dest_env *env, const char *)
{
    auto *s = static_cast<fuzz_system *>(env->ctx);
    s->windir_calls++;
    return s->flags & FUZZ_NO_WINDIR ? nullptr : s->windir.c_str();
}

const char *fuzz_reg_value(const dest_env *env, bool machine, const char *key, const char *value)
{
    auto *s = static_cast<fuzz_system *>(env->ctx);
    s->reg_calls++;
    s->machine = machine;
    s->key = key;
    s->name = value;
    return s->flags & FUZZ_NO_VALUE ? nullptr : s->value.c_str();
}

bool fuzz_cp932_lead(uint8_t c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

bool fuzz_no_lead(uint8_t)
{
    return false;
}

// The next zero-separated piece of the input.
std::string fuzz_piece(const uint8_t **p, const uint8_t *end)
{
    const uint8_t *start = *p;
    while (*p < end && **p)
        ++*p;
    std::string s(reinterpret_cast<const char *>(start), static_cast<size_t>(*p - start));
    if (*p < end)
        ++*p;
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t *p = data + 1;
    const uint8_t *end = data + size;
    fuzz_system sys = {};
    sys.flags = data[0];
    std::string spec = fuzz_piece(&p, end);
    sys.windir = fuzz_piece(&p, end);
    sys.value = fuzz_piece(&p, end);
    dest_env env = {fuzz_windows_dir, fuzz_reg_value, sys.flags & FUZZ_NO_DBCS ? fuzz_no_lead : fuzz_cp932_lead, &sys};

    // Exactly the buffer's size on the heap, so that one byte more is caught.
    char *out = static_cast<char *>(malloc(DEST_PATH_SIZE));
    dest_overflow why = {};
    int32_t result = dest_expand(spec.c_str(), out, &env, &why);

    dest_parts parts;
    bool names = dest_parse(spec.c_str(), &parts) && spec.size() < RECORD_DEST_SIZE;
    bool registry = names && (parts.form == DEST_USER || parts.form == DEST_MACHINE);
    if ((result == DEST_NONE) == names)
        abort();
    if (sys.windir_calls != (names && parts.form == DEST_WINDIR ? 1u : 0u) || sys.reg_calls != (registry ? 1u : 0u))
        abort();
    if (registry && (sys.machine != (parts.form == DEST_MACHINE) || sys.key != std::string(parts.key, parts.key_len) ||
                     sys.name != std::string(parts.value, parts.value_len)))
        abort();
    size_t len = strnlen(out, DEST_PATH_SIZE);
    switch (result) {
    case DEST_FOUND:
        if (len == DEST_PATH_SIZE || (len > 0 && out[len - 1] != '\\'))
            abort();
        // A plain folder is kept as written.
        if (parts.form == DEST_PLAIN && strncmp(out, spec.c_str(), spec.size()) != 0)
            abort();
        break;
    case DEST_NONE:
        if (out[0] != '\0')
            abort();
        break;
    case DEST_TOO_LONG:
        if (!why.head || !why.tail || strlen(why.head) + strlen(why.tail) < DEST_PATH_SIZE)
            abort();
        break;
    default:
        abort();
    }
    free(out);
    return 0;
}
