// The delta coder on one pair of files: delta_bench OLD NEW [DELTA]. Prints
// the delta's size as a share of the new file, and the time to code it and
// to rebuild the new file from the old one (read through the decoder's
// window from the file itself), checked byte for byte. DELTA, when given,
// receives the delta.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/bench_file.h"
#include "encode/qzd_encode.h"
#include "stream/fstrm.h"
#include "stream/mstrm.h"
#include "stream/qzd.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: delta_bench OLD NEW [DELTA]\n");
        return 2;
    }
    std::vector<uint8_t> old_data = bench_read_whole("delta_bench", argv[1]),
                         new_data = bench_read_whole("delta_bench", argv[2]);
    auto t = std::chrono::steady_clock::now();
    strm *out = mstrm_new_writer();
    qzd_encode(old_data.data(), static_cast<uint32_t>(old_data.size()), new_data.data(),
               static_cast<uint32_t>(new_data.size()), out);
    double coded = seconds_since(t);
    uint32_t len;
    const uint8_t *delta = mstrm_data(out, &len);
    if (argc == 4) {
        FILE *f = fopen(argv[3], "wb");
        if (!f || fwrite(delta, 1, len, f) != len) {
            fprintf(stderr, "delta_bench: cannot write %s\n", argv[3]);
            return 2;
        }
        fclose(f);
    }

    t = std::chrono::steady_clock::now();
    strm *in = mstrm_new_reader(delta, len);
    strm *old_file = fstrm_open_read(argv[1]);
    qzd_old *o = qzd_old_new(old_file, static_cast<uint32_t>(old_data.size()));
    qzd_state *s = qzd_state_new();
    std::vector<uint8_t> made;
    made.reserve(new_data.size());
    int32_t n, status;
    static uint8_t block[QZT_BLOCK];
    while ((status = qzd_read_block(in, s, o, block, &n)) == QZT_OK)
        made.insert(made.end(), block, block + n);
    double rebuilt = seconds_since(t);
    bool same = status == QZT_END && made == new_data;
    printf("%s -> %s: %u of %zu bytes, %.2f%%; coded in %.2f s, rebuilt in %.3f s%s\n", argv[1], argv[2], len,
           new_data.size(), 100.0 * len / (new_data.empty() ? 1 : new_data.size()), coded, rebuilt,
           same ? "" : ", REBUILT WRONG");
    free(s);
    qzd_old_free(o);
    strm_release(old_file);
    strm_release(in);
    strm_release(out);
    return same ? 0 : 1;
}
