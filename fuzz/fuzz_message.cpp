// Fuzz target: the question's escapes. The input is a byte of how many reads
// run past the end of the data (which read as 0xEE), then the stored bytes.
// The text is never longer than the count of bytes read, holds no backslash,
// and is exactly as long as the escapes say: a backslash gives nothing, and
// the 'n' after one gives two bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "payload/payload.h"
#include "stream/mstrm.h"

namespace {

// Decodes into a buffer of exactly count bytes filled with fill; returns it.
std::vector<uint8_t> fuzz_unescape(const uint8_t *data, uint32_t size, uint32_t count, uint8_t fill)
{
    std::vector<uint8_t> out(count, fill);
    strm *in = mstrm_new_reader(data, size);
    patch_unescape(in, reinterpret_cast<char *>(out.data()), count);
    strm_release(in);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    auto stored = static_cast<uint32_t>(size - 1);
    uint32_t count = stored + (data[0] & 15);
    // What the two fills agree on is what was written.
    std::vector<uint8_t> a = fuzz_unescape(data + 1, stored, count, 0x00);
    std::vector<uint8_t> b = fuzz_unescape(data + 1, stored, count, 0xFF);
    uint32_t written = 0;
    while (written < count && a[written] == b[written])
        written++;
    uint32_t expected = 0;
    bool escape = false;
    for (uint32_t i = 0; i < count; i++) {
        uint8_t c = i < stored ? data[1 + i] : 0xEE;
        expected += c == '\\' ? 0 : escape && c == 'n' ? 2 : 1;
        escape = c == '\\';
    }
    if (written != expected || std::find(a.begin(), a.begin() + written, '\\') != a.begin() + written)
        abort();
    return 0;
}
