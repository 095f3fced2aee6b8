// Compression benchmark: the qzt encoder at both levels against zlib and
// LZ4 HC at level 9 (LZ4 where it is built with it: not the Windows build),
// every one compressing 32 KiB blocks independently, on the same inputs. Prints one table: compressed size as a share of the
// input, compression and decompression speed (of the uncompressed bytes, in
// wall time: the best qzt level runs on two threads), and decompression speed
// as a multiple of zlib's inflate. qzt decompresses through the stream
// library from memory. Each speed is the best of several runs; every round
// trip is checked.
//
//   qzt_bench [FILE...]   (by default /usr/bin/gdb and the Node.js API page)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#ifdef QZT_BENCH_LZ4
#include <lz4.h>
#include <lz4hc.h>
#endif
#include <zlib.h>

#include "bench/bench_file.h"
#include "encode/qzt_encode.h"
#include "stream/mstrm.h"
#include "stream/qzt.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr size_t BLOCK = QZT_BLOCK;

// A compressor under test: compress all of the input into `packed`, and
// decompress `packed` into `out`, which has the input's size.
struct method {
    const char *name;
    void (*compress)(const bytes &in, bytes &packed);
    void (*decompress)(const bytes &packed, bytes &out);
};

void qzt_pack(const bytes &in, bytes &packed, int level)
{
    strm *mem = mstrm_new_writer();
    if (!qzt_encode(in.data(), static_cast<uint32_t>(in.size()), level, mem)) {
        fprintf(stderr, "qzt_bench: qzt_encode failed\n");
        abort();
    }
    uint32_t len;
    const uint8_t *p = mstrm_data(mem, &len);
    packed.assign(p, p + len);
    strm_release(mem);
}

void qzt_best(const bytes &in, bytes &packed)
{
    qzt_pack(in, packed, QZT_LEVEL_BEST);
}

void qzt_fast(const bytes &in, bytes &packed)
{
    qzt_pack(in, packed, QZT_LEVEL_FAST);
}

void qzt_unpack(const bytes &packed, bytes &out)
{
    strm *in = mstrm_new_reader(packed.data(), static_cast<uint32_t>(packed.size()));
    strm *q = qzt_open(in);
    strm_read(q, out.data(), static_cast<int32_t>(out.size()));
    strm_release(q);
    strm_release(in);
}

// Blocks of the general compressors: a 32-bit length, then the block.
void put_len(bytes &packed, size_t len)
{
    auto n = static_cast<uint32_t>(len);
    packed.insert(packed.end(), reinterpret_cast<uint8_t *>(&n), reinterpret_cast<uint8_t *>(&n) + 4);
}

size_t get_len(const bytes &packed, size_t at)
{
    uint32_t n;
    memcpy(&n, packed.data() + at, 4);
    return n;
}

void zlib_pack(const bytes &in, bytes &packed)
{
    z_stream z = {};
    deflateInit(&z, 9);
    bytes buf(deflateBound(&z, BLOCK));
    packed.clear();
    for (size_t at = 0; at < in.size(); at += BLOCK) {
        deflateReset(&z);
        z.next_in = const_cast<Bytef *>(in.data() + at);
        z.avail_in = static_cast<uInt>(std::min(BLOCK, in.size() - at));
        z.next_out = buf.data();
        z.avail_out = static_cast<uInt>(buf.size());
        deflate(&z, Z_FINISH);
        put_len(packed, z.total_out);
        packed.insert(packed.end(), buf.data(), buf.data() + z.total_out);
    }
    deflateEnd(&z);
}

void zlib_unpack(const bytes &packed, bytes &out)
{
    z_stream z = {};
    inflateInit(&z);
    for (size_t at = 0, to = 0; at < packed.size(); to += BLOCK) {
        size_t len = get_len(packed, at);
        inflateReset(&z);
        z.next_in = const_cast<Bytef *>(packed.data() + at + 4);
        z.avail_in = static_cast<uInt>(len);
        z.next_out = out.data() + to;
        z.avail_out = static_cast<uInt>(std::min(BLOCK, out.size() - to));
        inflate(&z, Z_FINISH);
        at += 4 + len;
    }
    inflateEnd(&z);
}

#ifdef QZT_BENCH_LZ4
void lz4_pack(const bytes &in, bytes &packed)
{
    std::vector<char> state(static_cast<size_t>(LZ4_sizeofStateHC()));
    std::vector<char> buf(static_cast<size_t>(LZ4_compressBound(BLOCK)));
    packed.clear();
    for (size_t at = 0; at < in.size(); at += BLOCK) {
        int len = LZ4_compress_HC_extStateHC(state.data(), reinterpret_cast<const char *>(in.data() + at), buf.data(),
                                             static_cast<int>(std::min(BLOCK, in.size() - at)),
                                             static_cast<int>(buf.size()), 9);
        put_len(packed, static_cast<size_t>(len));
        packed.insert(packed.end(), buf.data(), buf.data() + len);
    }
}

void lz4_unpack(const bytes &packed, bytes &out)
{
    for (size_t at = 0, to = 0; at < packed.size(); to += BLOCK) {
        size_t len = get_len(packed, at);
        LZ4_decompress_safe(reinterpret_cast<const char *>(packed.data() + at + 4),
                            reinterpret_cast<char *>(out.data() + to), static_cast<int>(len),
                            static_cast<int>(std::min(BLOCK, out.size() - to)));
        at += 4 + len;
    }
}

#endif

const method methods[] = {
    {"qzt -9", qzt_best, qzt_unpack},
    {"qzt -1", qzt_fast, qzt_unpack},
    {"zlib -9", zlib_pack, zlib_unpack},
#ifdef QZT_BENCH_LZ4
    {"lz4hc -9", lz4_pack, lz4_unpack},
#endif
};

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The fastest of a few runs of f, run again while they add up to little.
template <typename F>
double best_time(F f, double enough)
{
    double best = 1e30, total = 0;
    for (int run = 0; run < 10 && (run < 2 || total < enough); run++) {
        auto start = std::chrono::steady_clock::now();
        f();
        double t = seconds_since(start);
        best = std::min(best, t);
        total += t;
    }
    return best;
}

}  // namespace

int main(int argc, char **argv)
{
    static const char *const defaults[] = {"/usr/bin/gdb", "/usr/share/doc/nodejs/api/all.html"};
    const char *const *files = argc > 1 ? argv + 1 : defaults;
    int nfiles = argc > 1 ? argc - 1 : 2;

    printf("%d-bit build\n", static_cast<int>(8 * sizeof(void *)));
    printf("%-12s %10s  %-9s %8s %10s %12s %13s\n", "file", "bytes", "method", "size", "comp MB/s", "decomp MB/s",
           "decomp/zlib");
    for (int f = 0; f < nfiles; f++) {
        const char *path = files[f];
        bytes in = bench_read_whole("qzt_bench", path);
        const char *base = strrchr(path, '/') ? strrchr(path, '/') + 1 : path;
        double mb = static_cast<double>(in.size()) / 1e6;
        constexpr size_t count = std::size(methods);
        bytes packed[count];
        double comp[count], decomp[count];
        for (size_t i = 0; i < count; i++) {
            comp[i] = best_time([&] { methods[i].compress(in, packed[i]); }, 1.0);
            decomp[i] = 1e30;
        }
        // Decompression in rounds over all methods, so that a change of load
        // on the machine weighs on them alike.
        bytes out(in.size());
        double spent = 0;
        for (int round = 0; round < 20 && (round < 3 || spent < 3.0); round++) {
            for (size_t i = 0; i < count; i++) {
                std::fill(out.begin(), out.end(), 0);
                auto start = std::chrono::steady_clock::now();
                methods[i].decompress(packed[i], out);
                double t = seconds_since(start);
                decomp[i] = std::min(decomp[i], t);
                spent += t;
                if (out != in) {
                    fprintf(stderr, "qzt_bench: %s: %s does not round trip\n", path, methods[i].name);
                    abort();
                }
            }
        }
        size_t zlib = 0;
        while (strcmp(methods[zlib].name, "zlib -9") != 0)
            zlib++;
        for (size_t i = 0; i < count; i++)
            printf("%-12s %10s  %-9s %7.2f%% %10.2f %12.1f %12.2fx\n", i ? "" : base,
                   i ? "" : std::to_string(in.size()).c_str(), methods[i].name,
                   100.0 * static_cast<double>(packed[i].size()) / static_cast<double>(in.size()), mb / comp[i],
                   mb / decomp[i], decomp[zlib] / decomp[i]);
    }
    return 0;
}
