// The delta coder on one pair of files.
//
//   delta_bench OLD NEW [DELTA]   codes NEW against OLD (DELTA receives the
//                                 delta), then rebuilds NEW from it in memory
//   delta_bench -r OLD DELTA NEW  rebuilds NEW from OLD and DELTA alone, as
//                                 the program applies an entry
//
// Prints the delta's size as a share of the new file and the time of each
// way. The rebuild reads the old file through the decoder's window from the
// file itself and is checked byte for byte. Exit code 1 when it differs.
//
// With -r, DELTA is the delta itself or, as an entry's record carries it, the
// delta compressed (qzt c): the program's work is then timed whole, from the
// delta's file read through a window, its decompression and the delta's
// decoding to the new file written in pieces through a buffered writer, its
// CRC-32 taken piece by piece as the program checks it (into NEW.rebuilt,
// compared with NEW once the clock has stopped, then removed); then the same work again with the writes left out, to show the
// decoding's share. No file is held whole, so that the process's peak
// memory is the decoder's and the buffers', whatever the files' size. Next to it, for scale: the same new file copied through
// the same reader and writer, as a stored entry is written.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_file.h"
#include "diag/diag.h"
#include "encode/qzd_encode.h"
#include "payload/crc32.h"
#include "stream/bstrm.h"
#include "stream/fstrm.h"
#include "stream/mstrm.h"
#include "stream/qzd.h"
#include "stream/qzt.h"

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

// The program's transfer size, the window of each of its files, and that of
// the new file it writes.
constexpr int32_t PIECE = 8192;
constexpr int32_t WINDOW = 32768;
constexpr int32_t WRITE_WINDOW = 262144;

// Copies all that src reads into a new file at out_path, in pieces of PIECE
// bytes through a buffered writer, as the program writes an entry; false
// when the file cannot be written whole. A null out_path only reads. With
// crc, the CRC-32 of the bytes goes on piece by piece, as the program checks
// a rebuilt file's.
bool write_out(strm *src, const char *out_path, uint32_t *crc = nullptr)
{
    strm *out = out_path ? bstrm_open_file_write(out_path, WRITE_WINDOW) : nullptr;
    if (out_path && !out)
        return false;
    static uint8_t piece[PIECE];
    bool ok = true;
    int32_t n;
    while (ok && (n = strm_read(src, piece, PIECE)) > 0) {
        if (crc)
            *crc = crc32_update(*crc, piece, static_cast<size_t>(n));
        ok = !out || strm_write(out, piece, n) == n;
    }
    if (out) {
        ok = strm_drain(out) && ok;
        strm_release(out);
    }
    return ok;
}

// Whether the file at path starts with the compressed format's magic.
bool compressed(const char *path)
{
    uint8_t head[2] = {0, 0};
    FILE *f = fopen(path, "rb");
    bool two = f && fread(head, 1, 2, f) == 2;
    if (f)
        fclose(f);
    return two && (head[0] << 8 | head[1]) == QZT_MAGIC;
}

// Applies the delta at delta_path (compressed or not) to the old file into
// out_path, timed, as the program applies an entry: the delta's file read
// through a window, decompressed, decoded against the old file and written
// (read only, with a null out_path).
bool apply(const char *old_path, const char *delta_path, bool packed, uint32_t total, const char *out_path,
           double *seconds)
{
    auto t = std::chrono::steady_clock::now();
    strm *record = bstrm_open_file_read(delta_path, WINDOW);
    strm *delta = packed ? qzt_open(record) : strm_addref(record);
    strm *old_file = fstrm_open_read(old_path);
    strm *made = old_file ? qzd_open(delta, old_file, strm_size(old_file), total) : nullptr;
    uint32_t crc = 0;
    bool ok = made && write_out(made, out_path, &crc);
    *seconds = seconds_since(t);
    for (strm *s : {made, old_file, delta, record})
        if (s)
            strm_release(s);
    return ok;
}

// Copies the file at path into out_path through the same reader and writer,
// timed: the work of a stored entry of the same file.
bool stored_copy(const char *path, const char *out_path, double *seconds)
{
    auto t = std::chrono::steady_clock::now();
    strm *in = bstrm_open_file_read(path, WINDOW);
    bool ok = in && write_out(in, out_path);
    *seconds = seconds_since(t);
    if (in)
        strm_release(in);
    return ok;
}

// Whether the files at a and b hold the same bytes, read a piece at a time.
bool same_files(const char *a, const char *b)
{
    FILE *fa = fopen(a, "rb");
    FILE *fb = fopen(b, "rb");
    bool same = fa && fb;
    static uint8_t pa[65536], pb[65536];
    while (same) {
        size_t na = fread(pa, 1, sizeof pa, fa);
        size_t nb = fread(pb, 1, sizeof pb, fb);
        same = na == nb && memcmp(pa, pb, na) == 0;
        if (na == 0)
            break;
    }
    for (FILE *f : {fa, fb})
        if (f)
            fclose(f);
    return same;
}

// The size of the file at path (exit code 1 when it cannot be opened).
uint32_t file_size(const char *path)
{
    strm *f = fstrm_open_read(path);
    if (!f)
        exit(1);
    uint32_t size = strm_size(f);
    strm_release(f);
    return size;
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
    g_fatal_stderr = 1;
    double rebuilt;
    if (argc == 5 && strcmp(argv[1], "-r") == 0) {
        uint32_t size = file_size(argv[4]), delta = file_size(argv[3]);
        bool packed = compressed(argv[3]);
        std::string out = std::string(argv[4]) + ".rebuilt";
        double copied, decoded;
        bool same = apply(argv[2], argv[3], packed, size, out.c_str(), &rebuilt) && same_files(out.c_str(), argv[4]);
        // Each writes a new file, as the program makes its staged file: cutting
        // a file just written would time the freeing of its pages as well.
        remove(out.c_str());
        bool copy_same = stored_copy(argv[4], out.c_str(), &copied) && same_files(out.c_str(), argv[4]);
        remove(out.c_str());
        apply(argv[2], argv[3], packed, size, nullptr, &decoded);
        printf("%s: %u of %u bytes, %.2f%%; applied (%s) in %.3f s%s (%.3f s without the writes); stored copy in "
               "%.3f s%s\n",
               argv[4], delta, size, 100.0 * delta / (size ? size : 1), packed ? "qzt + qzd + write" : "qzd + write",
               rebuilt, same ? "" : ", REBUILT WRONG", decoded, copied, copy_same ? "" : ", COPIED WRONG");
        return same && copy_same ? 0 : 1;
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
               static_cast<uint32_t>(new_data.size()), out, true);
    double coded = seconds_since(t);
    uint32_t len;
    const uint8_t *p = mstrm_data(out, &len);
    std::vector<uint8_t> delta(p, p + len);
    strm_release(out);
    if (argc == 4) {
        FILE *f = fopen(argv[3], "wb");
        if (!f || (len > 0 && fwrite(delta.data(), 1, len, f) != len) || fclose(f) != 0) {
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
