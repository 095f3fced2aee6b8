#include "tools/mkpatch/pack.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "encode/qzt_encode.h"
#include "payload/check.h"
#include "payload/crc32.h"
#include "payload/read.h"
#include "payload/write.h"
#include "stream/mstrm.h"
#include "stream/qzt.h"
#include "stream/rstrm.h"
#include "tools/mkpatch/files.h"

namespace fs = std::filesystem;

namespace {

// The text of a field that holds a terminator and only zero bytes after it.
std::string pack_field(const uint8_t *field, uint32_t size, const char *what)
{
    auto *nul = static_cast<const uint8_t *>(memchr(field, 0, size));
    if (!nul)
        throw mkpatch_error(std::string(what) + " field of " + std::to_string(size) + " bytes holds no terminator");
    for (const uint8_t *p = nul; p < field + size; p++) {
        if (*p)
            throw mkpatch_error(std::string(what) + " field holds bytes after its terminator");
    }
    return std::string(reinterpret_cast<const char *>(field), static_cast<size_t>(nul - field));
}

// Takes each entry's record from the check's sink: its head kept, its data
// handed on as it comes, the record parsed once the check has passed it and
// handed on. Nothing may unwind through the check, so a fault or an exception
// here is kept and ends the visits.
struct pack_reader {
    const pack_visitor *visit = nullptr;
    pack_layout *layout = nullptr;
    uint8_t head[PACK_HEAD_SIZE];  // the current entry's
    uint64_t len = 0;              // of its record so far
    uint32_t refused = 0;          // the first entry whose record pack_parse refused
    std::string why;
    std::exception_ptr thrown;
};

void pack_collect(payload_check *c, const uint8_t *data, int32_t n)
{
    auto *r = static_cast<pack_reader *>(c->ctx);
    if (r->refused || r->thrown)
        return;
    try {
        if (data) {
            auto size = static_cast<uint32_t>(n);
            if (r->len < PACK_HEAD_SIZE)
                memcpy(r->head + r->len, data, std::min(static_cast<uint32_t>(PACK_HEAD_SIZE - r->len), size));
            // The data starts after the record's head; a delta head is data.
            uint32_t in_head = r->len < RECORD_DATA_HEAD_SIZE
                                   ? std::min(static_cast<uint32_t>(RECORD_DATA_HEAD_SIZE - r->len), size)
                                   : 0;
            r->len += size;
            if (size > in_head && payload_action_has_data(r->head[0]) && r->visit->data)
                r->visit->data(c->entry, data + in_head, size - in_head);
            return;
        }
        r->layout->blob_offset.push_back(c->blob_at);
        r->layout->blob_length.push_back(c->blob_len);
        pack_record parsed;
        try {
            parsed = pack_parse(r->head, r->len);
        } catch (const mkpatch_error &e) {
            r->refused = c->entry;
            r->why = e.what();
            return;
        }
        r->len = 0;
        if (r->visit->record)
            r->visit->record(c->entry, parsed);
    } catch (...) {
        r->thrown = std::current_exception();
    }
}

// The check's fault as one line: where, what, and the numbers that show it.
// A record the check refused is worded by pack_parse, which names the
// field or length at fault; the reader holds its head and length then.
std::string pack_fault_words(const payload_check &c, strm *file, uint32_t len, const pack_reader &record)
{
    std::string where;
    if (c.entry)
        where = "entry " + std::to_string(c.entry) + (c.block ? ", block " + std::to_string(c.block) : "") + ": ";
    std::string what = payload_fault_text(c.fault), detail;
    switch (c.fault) {
    case PAYLOAD_HEADER_CUT:
        detail = std::to_string(c.value) + " of " + std::to_string(PAYLOAD_HEADER) + " bytes";
        break;
    case PAYLOAD_MESSAGE_CUT:
        detail = "a question of " + std::to_string(c.value) + " bytes, " +
                 std::to_string(len - PAYLOAD_OFFSET - PAYLOAD_HEADER) + " left";
        break;
    case PAYLOAD_LENGTH_CUT:
        detail = std::to_string(c.value) + " of 4 bytes";
        break;
    case PAYLOAD_BLOB_CUT:
        detail = "a blob of " + std::to_string(c.value) + " bytes, " + std::to_string(len - c.blob_at) + " left";
        break;
    case PAYLOAD_EXTRA:
        detail = std::to_string(c.value) + " bytes that are no trailer";
        break;
    case PAYLOAD_CHECKSUM:
        detail = "the trailer holds " + pack_hex(c.value, 8) + ", the payload's CRC-32 is " +
                 pack_hex(payload_crc(file, PAYLOAD_OFFSET, c.end), 8);
        break;
    case PAYLOAD_NOT_QZT:
        if (c.blob_len < static_cast<uint32_t>(QZT_HEADER))
            detail = "a blob of " + std::to_string(c.blob_len) + " bytes, shorter than its " +
                     std::to_string(QZT_HEADER) + "-byte header";
        else
            detail = "it starts with " + pack_hex(c.value, 4) + ", not " + pack_hex(QZT_MAGIC, 4);
        break;
    case PAYLOAD_BLOCK_LENGTH:
        detail = std::to_string(c.value) + ", not 1 to " + std::to_string(QZT_BLOCK);
        break;
    case PAYLOAD_TOTAL:
        detail = "the stream's header says " + std::to_string(c.value) + " bytes";
        break;
    case PAYLOAD_RECORD_SIZE:
    case PAYLOAD_NAME_OPEN:
    case PAYLOAD_DEST_OPEN: {
        try {
            pack_parse(record.head, record.len);
        } catch (const mkpatch_error &e) {
            what = e.what();
        }
        break;
    }
    default:
        break;
    }
    return where + what + (detail.empty() ? "" : " (" + detail + ")");
}

}  // namespace

std::string pack_hex(uint32_t v, int digits)
{
    char buf[16];
    snprintf(buf, sizeof buf, "0x%0*X", digits, static_cast<unsigned>(v));
    return buf;
}

std::string pack_action_list(const std::function<std::string(const payload_action_row &)> &item, const char *last)
{
    std::string out;
    size_t n = std::size(PAYLOAD_ACTIONS);
    for (size_t i = 0; i < n; i++)
        out += (i == 0 ? "" : i + 1 < n ? ", " : last) + item(PAYLOAD_ACTIONS[i]);
    return out;
}

std::string pack_action_counts(const std::vector<uint8_t> &actions)
{
    std::string out;
    for (const payload_action_row &a : PAYLOAD_ACTIONS) {
        auto n = static_cast<size_t>(std::count(actions.begin(), actions.end(), a.code));
        if (n)
            out += (out.empty() ? "" : ", ") + std::to_string(n) + " " + a.word + (n == 1 ? " entry" : " entries");
    }
    return out.empty() ? "no entries" : out;
}

pack_bytes pack_record_head(const pack_record &r)
{
    pack_bytes out(RECORD_DATA_HEAD_SIZE);
    out.resize(payload_put_head(out.data(), r.action, r.name.data(), static_cast<uint32_t>(r.name.size()),
                                r.dest.data(), static_cast<uint32_t>(r.dest.size()), r.size));
    return out;
}

pack_bytes pack_header(uint32_t count, std::string_view message)
{
    pack_bytes out(PAYLOAD_HEADER);
    payload_put_header(out.data(), count, static_cast<uint32_t>(message.size()));
    out.insert(out.end(), message.begin(), message.end());
    return out;
}

pack_bytes pack_start(const pack_bytes &image, uint32_t count, std::string_view message)
{
    pack_bytes patch = image;
    patch.resize(PAYLOAD_OFFSET, 0);
    pack_bytes header = pack_header(count, message);
    patch.insert(patch.end(), header.begin(), header.end());
    return patch;
}

namespace {

// Bytes of the payload, through the CRC-32.
void pack_put(pack_writer *w, const uint8_t *data, size_t n)
{
    file_put(&w->file, data, n);
    w->crc = crc32_update(w->crc, data, n);
    w->size += n;
}

// Polynomials modulo the CRC-32's, in its bit order (bit 31 the constant
// term): a times b.
uint32_t pack_crc_times(uint32_t a, uint32_t b)
{
    uint32_t product = 0;
    for (uint32_t bit = 1u << 31; bit; bit >>= 1) {
        if (a & bit)
            product ^= b;
        b = b & 1 ? (b >> 1) ^ 0xEDB88320u : b >> 1;  // b times x
    }
    return product;
}

// The CRC-32 of A followed by B, from theirs and B's length: CRC(A)
// x^(8 len_b) + CRC(B), the starting and final inversions cancelling.
uint32_t pack_crc_join(uint32_t crc_a, uint32_t crc_b, uint64_t len_b)
{
    uint32_t shift = 1u << 31;  // x^0, then x^(8 len_b)
    uint32_t power = 1u << 23;  // x^8, then squared: x^16, x^32...
    for (; len_b; len_b >>= 1) {
        if (len_b & 1)
            shift = pack_crc_times(shift, power);
        power = pack_crc_times(power, power);
    }
    return pack_crc_times(shift, crc_a) ^ crc_b;
}

}  // namespace

pack_writer pack_write_start(const fs::path &path, const pack_bytes &image, uint32_t count, std::string_view message,
                             int level)
{
    pack_writer w{file_create(path), level};
    pack_bytes start = pack_start(image, count, message);
    file_put(&w.file, start.data(), PAYLOAD_OFFSET);
    w.size = PAYLOAD_OFFSET;
    pack_put(&w, start.data() + PAYLOAD_OFFSET, start.size() - PAYLOAD_OFFSET);
    return w;
}

namespace {

// Throws when len more bytes of blob would take the patch past what the
// program can read, with its trailer.
void pack_room(const pack_writer *w, uint64_t len)
{
    if (w->size + len + PAYLOAD_TRAILER_SIZE > PACK_MAX_PATCH)
        throw mkpatch_error("the patch would pass " + std::to_string(PACK_MAX_PATCH) +
                            " bytes, more than the program can read of its own file; split it");
}

}  // namespace

uint32_t pack_compress(const pack_record &r, strm *data, int level,
                       const std::function<bool(const uint8_t *, uint32_t)> &put)
{
    pack_bytes head = pack_record_head(r);
    uint64_t total = head.size() + (payload_action_has_data(r.action) ? r.size : 0);
    uint32_t data_crc = 0;
    pack_bytes batch(std::min<uint64_t>(total, PACK_BATCH));
    // Pieces of whole blocks: the first starts with the head, all but the
    // last are full.
    for (uint64_t done = 0; done < total;) {
        auto n = static_cast<uint32_t>(std::min<uint64_t>(total - done, PACK_BATCH));
        uint32_t filled = 0;
        if (done < head.size()) {
            filled = static_cast<uint32_t>(head.size());
            memcpy(batch.data(), head.data(), filled);
        }
        while (filled < n) {
            int32_t got = strm_read(data, batch.data() + filled, static_cast<int32_t>(n - filled));
            if (got <= 0)
                throw mkpatch_error("its data ended after " + std::to_string(done + filled - head.size()) + " of " +
                                    std::to_string(r.size) + " bytes: the source changed while it was read");
            data_crc = crc32_update(data_crc, batch.data() + filled, static_cast<size_t>(got));
            filled += static_cast<uint32_t>(got);
        }
        strm_ptr coded(mstrm_new_writer());
        if (!coded || (done == 0 && !qzt_encode_head(static_cast<uint32_t>(total), coded.get())) ||
            !qzt_encode_blocks(batch.data(), n, level, coded.get()))
            throw mkpatch_error("compression failed");
        uint32_t len;
        const uint8_t *bytes = mstrm_data(coded.get(), &len);
        if (!put(bytes, len))
            return data_crc;
        done += n;
    }
    uint8_t more;
    if (data && strm_read(data, &more, 1) == 1)
        throw mkpatch_error("its data holds more than " + std::to_string(r.size) +
                            " bytes: the source changed while it was read");
    return data_crc;
}

pack_written pack_write_entry(pack_writer *w, const pack_record &r, strm *data)
{
    // The blob's length goes before it and is known only after it, so its
    // place is kept and filled in afterwards; the CRC-32 of the blob, taken on
    // its own meanwhile, is joined to the payload's then.
    const uint8_t unknown[PAYLOAD_BLOB_LEN_SIZE] = {};
    uint64_t length_at = w->size;
    file_put(&w->file, unknown, sizeof unknown);
    w->size += sizeof unknown;
    uint32_t crc_before = w->crc;
    w->crc = 0;

    pack_written written{0, 0};
    written.data_crc = pack_compress(r, data, w->level, [&](const uint8_t *bytes, uint32_t len) {
        pack_room(w, len);
        pack_put(w, bytes, len);
        written.blob += len;
        return true;
    });

    uint8_t length[PAYLOAD_BLOB_LEN_SIZE];
    payload_put32(length, written.blob);
    file_put_at(&w->file, length_at, length, sizeof length);
    w->crc = pack_crc_join(crc32_update(crc_before, length, sizeof length), w->crc, written.blob);
    return written;
}

pack_written pack_write_blob(pack_writer *w, const pack_bytes &blob, uint32_t data_crc)
{
    pack_room(w, PAYLOAD_BLOB_LEN_SIZE + blob.size());
    uint8_t length[PAYLOAD_BLOB_LEN_SIZE];
    payload_put32(length, static_cast<uint32_t>(blob.size()));
    pack_put(w, length, sizeof length);
    pack_put(w, blob.data(), blob.size());
    return {static_cast<uint32_t>(blob.size()), data_crc};
}

void pack_write_trailer(pack_writer *w)
{
    uint8_t trailer[PAYLOAD_TRAILER_SIZE];
    payload_put_trailer(trailer, w->crc);
    pack_put(w, trailer, sizeof trailer);
}

void pack_write_finish(pack_writer *w)
{
    file_finish(&w->file);
}

std::string pack_unescape(std::string_view stored)
{
    std::string text(stored.size() + 1, '\0');
    strm *in = mstrm_new_reader(reinterpret_cast<const uint8_t *>(stored.data()), static_cast<uint32_t>(stored.size()));
    patch_unescape(in, text.data(), static_cast<uint32_t>(stored.size()));
    strm_release(in);
    // The box shows the text up to its first zero byte.
    text.resize(strlen(text.c_str()));
    return text;
}

pack_record pack_parse(const uint8_t *head, uint64_t len)
{
    if (len < RECORD_HEAD_SIZE)
        throw mkpatch_error("the record is " + std::to_string(len) + " bytes, shorter than its " +
                            std::to_string(RECORD_HEAD_SIZE) + "-byte head");
    pack_record out;
    out.action = head[RECORD_ACTION_AT];
    const payload_action_row *action = payload_action_of(out.action);
    if (!action)
        throw mkpatch_error(
            "action " + std::to_string(out.action) + " is neither " +
            pack_action_list([](const payload_action_row &a) { return std::to_string(a.code) + " (" + a.word + ")"; },
                             " nor "));
    out.name = pack_field(&head[RECORD_NAME_AT], RECORD_NAME_SIZE, "the name");
    out.dest = pack_field(&head[RECORD_DEST_AT], RECORD_DEST_SIZE, "the destination");
    if (out.name.empty())
        throw mkpatch_error("the name is empty");
    if (!action->has_data) {
        if (len != RECORD_HEAD_SIZE)
            throw mkpatch_error("a " + std::string(action->word) + " record is " + std::to_string(RECORD_HEAD_SIZE) +
                                " bytes, this one " + std::to_string(len));
        return out;
    }
    if (len < RECORD_DATA_HEAD_SIZE)
        throw mkpatch_error("the " + std::string(action->word) + " record is " + std::to_string(len) +
                            " bytes and holds no data length");
    out.size = payload_get32(&head[RECORD_DATA_LEN_AT]);
    uint64_t held = len - RECORD_DATA_HEAD_SIZE;
    if (out.size != held)
        throw mkpatch_error("the data length says " + std::to_string(out.size) + " bytes, but the record holds " +
                            std::to_string(held));
    if (action->delta) {
        if (out.size < DELTA_HEAD_SIZE)
            throw mkpatch_error("the " + std::string(action->word) + " record's data is " + std::to_string(out.size) +
                                " bytes, shorter than its " + std::to_string(DELTA_HEAD_SIZE) + "-byte delta head");
        strm_ptr delta(mstrm_new_reader(&head[RECORD_DATA_HEAD_SIZE], DELTA_HEAD_SIZE));
        payload_read_delta_head(delta.get(), &out.delta);
    }
    return out;
}

namespace {

pack_error pack_too_long(uint64_t len)
{
    return pack_error(0, 0,
                      "the file is " + std::to_string(len) + " bytes, more than the program can read " +
                          "of its own file (" + std::to_string(PACK_MAX_PATCH) + ")");
}

}  // namespace

void pack_read(strm *file, pack_layout *layout, const pack_visitor &visit)
{
    *layout = pack_layout{};
    uint32_t len = strm_size(file);
    layout->end = layout->size = len;
    if (len < PAYLOAD_OFFSET)
        throw pack_error(0, 0,
                         "the file is " + std::to_string(len) + " bytes, shorter than the " +
                             std::to_string(PAYLOAD_OFFSET) + "-byte program image");
    strm_seek(file, 0);
    uint8_t mz[2];
    if (strm_read(file, mz, 2) != 2 || mz[0] != 'M' || mz[1] != 'Z')
        throw pack_error(0, 0, "the program image does not start with MZ");
    if (len > PACK_MAX_PATCH)
        throw pack_too_long(len);

    pack_reader reader;
    reader.visit = &visit;
    reader.layout = layout;
    payload_check c{};
    c.decode_always = true;
    c.sink = pack_collect;
    c.ctx = &reader;
    bool ok = payload_check_file(file, PAYLOAD_OFFSET, &c);
    if (reader.thrown)
        std::rethrow_exception(reader.thrown);

    layout->count = c.count;
    uint32_t question = PAYLOAD_OFFSET + PAYLOAD_HEADER;
    if (len >= question && c.message_len <= len - question) {
        layout->message.resize(c.message_len);
        strm_seek(file, question);
        strm_read(file, reinterpret_cast<uint8_t *>(layout->message.data()), static_cast<int32_t>(c.message_len));
    }
    layout->trailer = c.trailer;
    if (c.end)
        layout->end = c.end + (c.trailer ? PAYLOAD_TRAILER_SIZE : 0);
    if (reader.refused) {
        // The check passed the record; the builder's rules did not.
        throw pack_error(reader.refused, 0, "entry " + std::to_string(reader.refused) + ": " + reader.why);
    }
    if (!ok)
        throw pack_error(c.entry, c.block, pack_fault_words(c, file, len, reader));
}

void pack_read_file(const fs::path &path, pack_layout *layout, const pack_visitor &visit)
{
    // The stream library's sizes are 32-bit: a larger file is refused by its
    // whole length before it is opened.
    std::error_code ec;
    uintmax_t size = fs::file_size(path, ec);
    if (!ec && size > PACK_MAX_PATCH) {
        *layout = pack_layout{};
        layout->end = layout->size = size;
        throw pack_too_long(size);
    }
    strm_ptr file = file_open_read(path);
    pack_read(file.get(), layout, visit);
}

strm_ptr pack_open_data(strm *file, const pack_layout &layout, uint32_t entry)
{
    strm_seek(file, static_cast<uint32_t>(layout.blob_offset[entry - 1]));
    strm_ptr blob(rstrm_new(file, layout.blob_length[entry - 1]));
    strm_ptr rec(blob ? qzt_open(blob.get()) : nullptr);
    uint8_t head[RECORD_DATA_HEAD_SIZE];
    if (!rec || strm_read(rec.get(), head, sizeof head) != static_cast<int32_t>(sizeof head))
        throw mkpatch_error("entry " + std::to_string(entry) + ": its record no longer reads (the file changed?)");
    return rec;
}
