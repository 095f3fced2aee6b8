// The delta coder on one pair of files.
//
//   delta_bench OLD NEW [DELTA]   codes NEW against OLD (DELTA receives the
//                                 delta), then rebuilds NEW from it
//   delta_bench -r OLD DELTA NEW  rebuilds NEW from OLD and DELTA alone
//
// Prints the delta's size as a share of the new file and the time of each
// way. The rebuild reads the old file through the decoder's window from the
// file itself and is checked byte for byte. Exit code 1 when it differs.
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

// Rebuilds the new file from the old file at old_path and the delta, timed;
// true when it comes out as expected.
bool rebuild(const char *old_path, uint32_t old_size, const std::vector<uint8_t> &delta,
             const std::vector<uint8_t> &expected, double *seconds)
{
    auto t = std::chrono::steady_clock::now();
    strm *in = mstrm_new_reader(delta.data(), static_cast<uint32_t>(delta.size()));
    strm *old_file = fstrm_open_read(old_path);
    qzd_old *o = qzd_old_new(old_file, old_size);
    qzd_state *s = qzd_state_new();
    // Each block is checked as it comes, as a writer would take it.
    size_t made = 0;
    bool same = true;
    int32_t n, status;
    static uint8_t block[QZT_BLOCK];
    while ((status = qzd_read_block(in, s, o, block, &n)) == QZT_OK) {
        auto k = static_cast<size_t>(n);
        same = same && made + k <= expected.size() && memcmp(block, expected.data() + made, k) == 0;
        made += k;
    }
    *seconds = seconds_since(t);
    free(s);
    qzd_old_free(o);
    strm_release(old_file);
    strm_release(in);
    return status == QZT_END && same && made == expected.size();
}

void show(const char *new_path, size_t delta, size_t size, const char *coded, double rebuilt, bool same)
{
    printf("%s: %zu of %zu bytes, %.2f%%;%s rebuilt in %.3f s%s\n", new_path, delta, size,
           100.0 * static_cast<double>(delta) / static_cast<double>(size ? size : 1), coded, rebuilt,
           same ? "" : ", REBUILT WRONG");
}

}  // namespace

int main(int argc, char **argv)
{
    double rebuilt;
    if (argc == 5 && strcmp(argv[1], "-r") == 0) {
        std::vector<uint8_t> old_data = bench_read_whole("delta_bench", argv[2]);
        std::vector<uint8_t> delta = bench_read_whole("delta_bench", argv[3]);
        std::vector<uint8_t> new_data = bench_read_whole("delta_bench", argv[4]);
        bool same = rebuild(argv[2], static_cast<uint32_t>(old_data.size()), delta, new_data, &rebuilt);
        show(argv[4], delta.size(), new_data.size(), "", rebuilt, same);
        return same ? 0 : 1;
    }
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: delta_bench OLD NEW [DELTA]\n       delta_bench -r OLD DELTA NEW\n");
        return 2;
    }
    std::vector<uint8_t> old_data = bench_read_whole("delta_bench", argv[1]);
    std::vector<uint8_t> new_data = bench_read_whole("delta_bench", argv[2]);
    auto t = std::chrono::steady_clock::now();
    strm *out = mstrm_new_writer();
    qzd_encode(old_data.data(), static_cast<uint32_t>(old_data.size()), new_data.data(),
               static_cast<uint32_t>(new_data.size()), out);
    double coded = seconds_since(t);
    uint32_t len;
    const uint8_t *p = mstrm_data(out, &len);
    std::vector<uint8_t> delta(p, p + len);
    strm_release(out);
    if (argc == 4) {
        FILE *f = fopen(argv[3], "wb");
        if (!f || fwrite(delta.data(), 1, len, f) != len || fclose(f) != 0) {
            fprintf(stderr, "delta_bench: cannot write %s\n", argv[3]);
            return 2;
        }
    }
    bool same = rebuild(argv[1], static_cast<uint32_t>(old_data.size()), delta, new_data, &rebuilt);
    char coded_text[48];
    snprintf(coded_text, sizeof coded_text, " coded in %.2f s,", coded);
    show(argv[2], delta.size(), new_data.size(), coded_text, rebuilt, same);
    return same ? 0 : 1;
}
