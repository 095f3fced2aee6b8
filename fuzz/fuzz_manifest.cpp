// Fuzz target: any bytes as a manifest. A bad one must come back as errors
// that name the file and a line, never as a crash or an exception; a manifest
// without errors must hold only entries that fit the payload. Relative paths
// are taken from the examples' folder, so that the example's sources exist.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "payload/dest.h"
#include "tools/mkpatch/files.h"
#include "tools/mkpatch/manifest.h"
#include "tools/mkpatch/pack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    // A manifest names files to read; the fuzzer keeps off the system's
    // special ones (an endless /dev/zero is no finding).
    for (std::string_view special : {"/dev", "/proc", "/sys"})
        if (text.find(special) != std::string_view::npos)
            return -1;
    const std::filesystem::path file = std::filesystem::path(FUZZ_EXAMPLES) / "fuzz.toml";
    const std::string where = file_utf8(file) + ":";
    manifest m = manifest_parse(text, file);
    for (const auto *list : {&m.errors, &m.warnings})
        for (const std::string &line : *list)
            if (line.compare(0, where.size(), where) != 0 || line.size() <= where.size() + 2)
                abort();
    if (!m.errors.empty())
        return 0;
    // The question's backslashes are all line breaks.
    for (size_t i = m.message.find('\\'); i != std::string::npos; i = m.message.find('\\', i + 2))
        if (i + 1 == m.message.size() || m.message[i + 1] != 'n')
            abort();
    for (const manifest_entry &e : m.entries) {
        dest_parts parts;
        if (!payload_action_of(e.action) || e.name.empty() || e.name.size() >= RECORD_NAME_SIZE ||
            e.dest.size() >= RECORD_DEST_SIZE || e.name.find('\0') != std::string::npos ||
            e.dest.find('\0') != std::string::npos || !dest_parse(e.dest.c_str(), &parts) ||
            payload_action_has_data(e.action) == e.source.empty() || payload_action_delta(e.action) == e.old.empty())
            abort();
    }
    return 0;
}
