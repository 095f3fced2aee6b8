#include "tools/mkpatch/payload.h"

#include <cstdio>
#include <cstring>

#include "diag/diag.h"
#include "stream/bits.h"
#include "stream/mstrm.h"
#include "stream/qzt.h"
#include "stream/qzt_encode.h"

static_assert(QZT_HEADER == 6 && QZT_BLOCK_HEADER == 4, "the stream and block heads read below");

namespace {

std::string payload_hex16(uint32_t v)
{
    char buf[8];
    snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(v));
    return buf;
}

// A reader over a byte range that notes any read past its end. The library's
// readers turn such reads into 0xEE bytes, which would let coded words run
// on past the end of a blob unnoticed.
struct payload_range {
    strm head;
    bool overrun;
};

int32_t payload_range_fill(strm *s)
{
    reinterpret_cast<payload_range *>(s)->overrun = true;
    return 0;
}

bool payload_range_at_end(strm *)
{
    return true;
}

const strm_ops payload_range_ops = {
    payload_range_fill, nullptr, payload_range_at_end, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// While alive, the library's fatal reports return quietly (with their text
// in g_fatal_text) instead of ending the process: the caller words them.
struct payload_fatal_returns {
    int32_t saved_exiting = g_fatal_exiting, saved_quiet = g_fatal_quiet;
    payload_fatal_returns()
    {
        g_fatal_exiting = 1;
        g_fatal_quiet = 1;
        g_fatal_text[0] = '\0';
    }
    ~payload_fatal_returns()
    {
        g_fatal_exiting = saved_exiting;
        g_fatal_quiet = saved_quiet;
    }
    payload_fatal_returns(const payload_fatal_returns &) = delete;
    payload_fatal_returns &operator=(const payload_fatal_returns &) = delete;
};

// True when the field holds a terminator and only zero bytes after it.
bool payload_field(const uint8_t *field, uint32_t size, const char *what, std::string *text, std::string *why)
{
    auto *nul = static_cast<const uint8_t *>(memchr(field, 0, size));
    if (!nul) {
        *why = std::string(what) + " field of " + std::to_string(size) + " bytes holds no terminator";
        return false;
    }
    for (const uint8_t *p = nul; p < field + size; p++) {
        if (*p) {
            *why = std::string(what) + " field holds bytes after its terminator";
            return false;
        }
    }
    text->assign(reinterpret_cast<const char *>(field), static_cast<size_t>(nul - field));
    return true;
}

}  // namespace

void payload_put32(payload_bytes *out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out->push_back(static_cast<uint8_t>(v >> shift));
}

uint32_t payload_get32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

payload_bytes payload_record_bytes(const payload_record &r)
{
    payload_bytes out(RECORD_HEAD_SIZE, 0);
    out[0] = r.action;
    memcpy(&out[1], r.name.data(), r.name.size());
    memcpy(&out[1 + RECORD_NAME_SIZE], r.dest.data(), r.dest.size());
    if (r.action == ACTION_WRITE) {
        payload_put32(&out, static_cast<uint32_t>(r.data.size()));
        out.insert(out.end(), r.data.begin(), r.data.end());
    }
    return out;
}

payload_bytes payload_compress(const payload_bytes &record, int level)
{
    strm *out = mstrm_new_writer();
    payload_bytes blob;
    if (out && qzt_encode(record.data(), static_cast<uint32_t>(record.size()), level, out)) {
        uint32_t len;
        const uint8_t *p = mstrm_data(out, &len);
        blob.assign(p, p + len);
    }
    if (out)
        strm_release(out);
    return blob;
}

payload_bytes payload_header(uint32_t count, std::string_view message)
{
    payload_bytes out;
    payload_put32(&out, count);
    payload_put32(&out, static_cast<uint32_t>(message.size()));
    out.insert(out.end(), message.begin(), message.end());
    return out;
}

payload_bytes payload_start(const payload_bytes &image, uint32_t count, std::string_view message)
{
    payload_bytes patch = image;
    patch.resize(PAYLOAD_OFFSET, 0);
    payload_bytes header = payload_header(count, message);
    patch.insert(patch.end(), header.begin(), header.end());
    return patch;
}

uint32_t payload_append(payload_bytes *patch, const payload_bytes &record, int level)
{
    payload_bytes blob = payload_compress(record, level);
    if (blob.empty())
        return 0;
    payload_put32(patch, static_cast<uint32_t>(blob.size()));
    patch->insert(patch->end(), blob.begin(), blob.end());
    return static_cast<uint32_t>(blob.size());
}

std::string payload_unescape(std::string_view stored)
{
    std::string text(stored.size() + 1, '\0');
    strm *in = mstrm_new_reader(reinterpret_cast<const uint8_t *>(stored.data()), static_cast<uint32_t>(stored.size()));
    patch_unescape(in, text.data(), static_cast<uint32_t>(stored.size()));
    strm_release(in);
    // The box shows the text up to its first zero byte.
    text.resize(strlen(text.c_str()));
    return text;
}

bool payload_scan(const uint8_t *file, uint64_t len, payload_layout *out, payload_fault *fault)
{
    *out = payload_layout{};
    fault->entry = 0;
    if (len < PAYLOAD_OFFSET) {
        fault->what = "the file is " + std::to_string(len) + " bytes, shorter than the " +
                      std::to_string(PAYLOAD_OFFSET) + "-byte program image";
        return false;
    }
    if (file[0] != 'M' || file[1] != 'Z') {
        fault->what = "the program image does not start with MZ";
        return false;
    }
    uint64_t pos = PAYLOAD_OFFSET;
    if (len - pos < PAYLOAD_HEADER) {
        fault->what = "the payload header is cut short: " + std::to_string(len - pos) + " of " +
                      std::to_string(PAYLOAD_HEADER) + " bytes";
        return false;
    }
    out->count = payload_get32(file + pos);
    uint32_t mlen = payload_get32(file + pos + 4);
    pos += PAYLOAD_HEADER;
    if (len - pos < mlen) {
        fault->what = "the question of " + std::to_string(mlen) + " bytes runs past the end of the file (" +
                      std::to_string(len - pos) + " bytes left)";
        return false;
    }
    out->message.assign(reinterpret_cast<const char *>(file + pos), mlen);
    pos += mlen;
    for (uint32_t k = 1; k <= out->count; k++) {
        fault->entry = k;
        if (len - pos < 4) {
            fault->what = "the blob length is cut short at the end of the file";
            return false;
        }
        uint32_t blen = payload_get32(file + pos);
        pos += 4;
        if (len - pos < blen) {
            fault->what = "the blob of " + std::to_string(blen) + " bytes runs past the end of the file (" +
                          std::to_string(len - pos) + " bytes left)";
            return false;
        }
        out->blob_offset.push_back(pos);
        out->blob_length.push_back(blen);
        pos += blen;
    }
    if (pos != len) {
        fault->entry = out->count;
        fault->what = std::to_string(len - pos) + (out->count ? " bytes follow the last entry"
                                                              : " bytes follow the question, and there are no entries");
        return false;
    }
    return true;
}

bool payload_unpack(const uint8_t *blob, uint32_t len, payload_bytes *record, std::string *why)
{
    record->clear();
    if (len < QZT_HEADER) {
        *why = "the blob of " + std::to_string(len) + " bytes is shorter than a compressed stream's header";
        return false;
    }
    uint32_t magic = static_cast<uint32_t>(blob[0] << 8 | blob[1]);
    if (magic != QZT_MAGIC) {
        *why = "the blob starts with " + payload_hex16(magic) + ", not the compressed stream's magic " +
               payload_hex16(QZT_MAGIC);
        return false;
    }
    uint32_t total = payload_get32(blob + 2);
    strm *in = strm_alloc(sizeof(payload_range), &payload_range_ops);
    if (!in) {
        *why = "out of memory";
        return false;
    }
    auto *range = reinterpret_cast<payload_range *>(in);
    in->next = const_cast<uint8_t *>(blob) + QZT_HEADER;
    in->end = const_cast<uint8_t *>(blob) + len;

    bool ok = true;
    for (uint32_t block = 1; ok && in->next < in->end; block++) {
        auto at = static_cast<uint32_t>(in->next - blob);
        std::string where = "block " + std::to_string(block) + " (byte " + std::to_string(at) + " of the blob)";
        if (in->end - in->next < QZT_BLOCK_HEADER) {
            *why = where + ": its header is cut short";
            ok = false;
            break;
        }
        uint32_t sync = strm_get16(in);
        uint32_t n = strm_get16(in);
        if (sync != QZT_SYNC) {
            *why = where + ": sync word " + payload_hex16(sync) + " instead of " + payload_hex16(QZT_SYNC);
            ok = false;
        } else if (n == 0 || n > static_cast<uint32_t>(QZT_BLOCK)) {
            *why = where + ": block length " + std::to_string(n) + " outside 1 to " + std::to_string(QZT_BLOCK);
            ok = false;
        } else if (n > total - record->size()) {
            *why = where + ": the blocks hold more than the stream's total of " + std::to_string(total) + " bytes";
            ok = false;
        } else {
            size_t start = record->size();
            record->resize(start + n);
            payload_fatal_returns reports;
            bits *b = bits_new(in);
            if (b) {
                qzt_decode(b, record->data() + start, static_cast<int32_t>(n));
                bits_free(b);
            }
            if (g_fatal_text[0]) {
                *why = where + ": " + g_fatal_text;
                ok = false;
            } else if (range->overrun) {
                *why = where + ": its coded words run past the end of the blob";
                ok = false;
            }
        }
    }
    strm_release(in);
    if (ok && record->size() != total) {
        *why = "the blocks hold " + std::to_string(record->size()) + " bytes, but the stream's total says " +
               std::to_string(total);
        ok = false;
    }
    return ok;
}

bool payload_parse(const payload_bytes &record, payload_record *out, std::string *why)
{
    uint64_t len = record.size();
    if (len < RECORD_HEAD_SIZE) {
        *why = "the record is " + std::to_string(len) + " bytes, shorter than its " +
               std::to_string(RECORD_HEAD_SIZE) + "-byte head";
        return false;
    }
    out->action = record[0];
    if (out->action != ACTION_WRITE && out->action != ACTION_DELETE) {
        *why = "action " + std::to_string(out->action) + " is neither 1 (write) nor 2 (delete)";
        return false;
    }
    if (!payload_field(&record[1], RECORD_NAME_SIZE, "the name", &out->name, why) ||
        !payload_field(&record[1 + RECORD_NAME_SIZE], RECORD_DEST_SIZE, "the destination", &out->dest, why))
        return false;
    if (out->name.empty()) {
        *why = "the name is empty";
        return false;
    }
    out->data.clear();
    if (out->action == ACTION_DELETE) {
        if (len != RECORD_HEAD_SIZE) {
            *why = "a delete record is " + std::to_string(RECORD_HEAD_SIZE) + " bytes, this one " +
                   std::to_string(len);
            return false;
        }
        return true;
    }
    if (len < RECORD_WRITE_HEAD_SIZE) {
        *why = "the write record is " + std::to_string(len) + " bytes and holds no data length";
        return false;
    }
    uint32_t d = payload_get32(&record[RECORD_HEAD_SIZE]);
    uint64_t held = len - RECORD_WRITE_HEAD_SIZE;
    if (d != held) {
        *why = "the data length says " + std::to_string(d) + " bytes, but the record holds " +
               std::to_string(held);
        return false;
    }
    out->data.assign(record.begin() + RECORD_WRITE_HEAD_SIZE, record.end());
    return true;
}

bool payload_read(const uint8_t *file, uint64_t len, payload_layout *layout, const payload_visit &visit,
                  payload_fault *fault)
{
    if (!payload_scan(file, len, layout, fault))
        return false;
    payload_bytes bytes;
    payload_record record;
    for (uint32_t k = 1; k <= layout->count; k++) {
        fault->entry = k;
        if (!payload_unpack(file + layout->blob_offset[k - 1], layout->blob_length[k - 1], &bytes, &fault->what) ||
            !payload_parse(bytes, &record, &fault->what))
            return false;
        if (visit)
            visit(k, record);
    }
    return true;
}
