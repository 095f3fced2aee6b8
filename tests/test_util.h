// Helpers shared by the stream tests: temporary folders and files, a guard
// that makes fatal reports return, and a builder of compressed blocks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "diag/diag.h"
#include "stream/bits.h"
#include "stream/mstrm.h"
#include "stream/qzt.h"

using bytes = std::vector<uint8_t>;

inline bytes to_bytes(const std::string &s)
{
    return bytes(s.begin(), s.end());
}

// A fresh folder under the system's temporary directory, removed afterwards.
// Named by the process id: test programs run side by side in one directory
// (the win32 and win64 ones share a Wine prefix).
class TempDir {
  public:
    TempDir()
    {
        static int made = 0;
        auto base = std::filesystem::temp_directory_path();
        do
            path_ = base / ("strm_test_" + std::to_string(getpid()) + "_" + std::to_string(made++));
        while (!std::filesystem::create_directory(path_));
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string &name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

inline void write_file(const std::string &path, const bytes &data)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!data.empty())
        fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

inline bytes read_file(const std::string &path)
{
    bytes data;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return data;
    int c;
    while ((c = fgetc(f)) != EOF)
        data.push_back(static_cast<uint8_t>(c));
    fclose(f);
    return data;
}

// While alive, fatal reports are shown and return to their caller, as they do
// during an exit already under way; the last report's text is in g_fatal_text.
class FatalReturns {
  public:
    FatalReturns()
    {
        g_fatal_exiting = 1;
        g_fatal_text[0] = '\0';
    }
    ~FatalReturns() { g_fatal_exiting = 0; }
    std::string text() const { return g_fatal_text; }
};

// Builds coded data token by token through the library's bit writer.
class BlockBuilder {
  public:
    BlockBuilder() : out_(mstrm_new_writer()), b_(bits_new(out_)) {}
    ~BlockBuilder()
    {
        bits_free(b_);
        strm_release(out_);
    }
    BlockBuilder &put(int n, uint32_t v)
    {
        bits_put(b_, n, v);
        return *this;
    }
    BlockBuilder &gamma(uint32_t v)
    {
        int len = 32 - __builtin_clz(v);
        for (int i = 1; i < len; i++)
            bits_put(b_, 1, 0);
        for (int i = len - 1; i >= 0; i--)
            bits_put(b_, 1, v >> i & 1);
        return *this;
    }
    BlockBuilder &literals(const std::string &s)
    {
        gamma(static_cast<uint32_t>(s.size()) + 1);
        for (unsigned char c : s)
            bits_put(b_, 8, c);
        return *this;
    }
    BlockBuilder &match(uint32_t dist, uint32_t len) { return gamma(dist).gamma(len); }
    // The coded words, padded to a whole word.
    bytes words()
    {
        bits_free(b_);
        b_ = nullptr;
        uint32_t len;
        const uint8_t *p = mstrm_data(out_, &len);
        bytes w(p, p + len);
        b_ = bits_new(out_);
        return w;
    }

  private:
    strm *out_;
    bits *b_;
};

inline void put_be(bytes &out, uint32_t v, int size)
{
    for (int i = size - 1; i >= 0; i--)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A compressed stream: header with the given total, then blocks of (n, words).
inline bytes qzt_stream(uint32_t total, const std::vector<std::pair<uint16_t, bytes>> &blocks)
{
    bytes s;
    put_be(s, QZT_MAGIC, 2);
    put_be(s, total, 4);
    for (auto &[n, words] : blocks) {
        put_be(s, QZT_SYNC, 2);
        put_be(s, n, 2);
        s.insert(s.end(), words.begin(), words.end());
    }
    return s;
}

// All decompressed bytes of a compressed stream held in memory.
inline bytes qzt_decompress(const bytes &stream)
{
    strm *in = mstrm_new_reader(stream.data(), static_cast<uint32_t>(stream.size()));
    strm *q = qzt_open(in);
    bytes out;
    if (q) {
        uint8_t buf[4096];
        int32_t n;
        while ((n = strm_read(q, buf, sizeof buf)) > 0)
            out.insert(out.end(), buf, buf + n);
        strm_release(q);
    }
    strm_release(in);
    return out;
}
