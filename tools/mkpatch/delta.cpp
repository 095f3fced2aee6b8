#include "tools/mkpatch/delta.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "diag/diag.h"
#include "encode/qzd_encode.h"
#include "encode/qzt_encode.h"
#include "payload/crc32.h"
#include "payload/write.h"
#include "stream/mstrm.h"
#include "stream/qzd.h"
#include "tools/mkpatch/error.h"

namespace fs = std::filesystem;

namespace {

// A reader of size zero bytes with seek, which holds none of them: the old
// file as the decoder sees it when only the delta's structure is checked.
struct delta_zeros {
    strm head;
    uint32_t size;
    uint32_t pos;  // where the window ends
};

constexpr uint32_t DELTA_ZEROS = 4096;
uint8_t g_delta_zeros[DELTA_ZEROS];  // read only, never written

delta_zeros *delta_zeros_of(strm *s)
{
    return reinterpret_cast<delta_zeros *>(s);
}

int32_t delta_zeros_fill(strm *s)
{
    delta_zeros *z = delta_zeros_of(s);
    if (z->pos >= z->size)
        return 0;
    uint32_t n = std::min(DELTA_ZEROS, z->size - z->pos);
    s->next = g_delta_zeros;
    s->end = g_delta_zeros + n;
    z->pos += n;
    return 1;
}

bool delta_zeros_at_end(strm *s)
{
    return delta_zeros_of(s)->pos >= delta_zeros_of(s)->size;
}

uint32_t delta_zeros_size(strm *s)
{
    return delta_zeros_of(s)->size;
}

uint32_t delta_zeros_tell(strm *s)
{
    return delta_zeros_of(s)->pos - static_cast<uint32_t>(s->end - s->next);
}

uint32_t delta_zeros_seek(strm *s, uint32_t pos)
{
    delta_zeros *z = delta_zeros_of(s);
    z->pos = std::min(pos, z->size);
    s->next = s->end = g_delta_zeros;
    return z->pos;
}

const strm_ops delta_zeros_ops = {
    .fill = delta_zeros_fill,
    .read = nullptr,
    .at_end = delta_zeros_at_end,
    .size = delta_zeros_size,
    .tell = delta_zeros_tell,
    .seek = delta_zeros_seek,
    .close = nullptr,
    .drain = nullptr,
    .write = nullptr,
};

strm_ptr delta_zeros_new(uint32_t size)
{
    strm *s = strm_alloc(sizeof(delta_zeros), &delta_zeros_ops);
    if (!s)
        throw mkpatch_error("out of memory");
    delta_zeros_of(s)->size = size;
    s->next = s->end = g_delta_zeros;
    return strm_ptr(s);
}

const char *delta_status_text(int32_t status)
{
    switch (status) {
    case QZT_SYNC_LOST:
        return "block out of sync";
    case QZT_BAD_LENGTH:
        return "bad block length";
    default:
        return "block corrupt";
    }
}

// The encoder's tasks on as many threads as the build has (g_qzt_threads),
// each thread taking the next task nobody has taken; one after the other
// where no thread can be had. A task's exception (the memory its coding
// needs) is passed on once all are done, so that no thread is left running.
void delta_each(void (*task)(void *ctx, int k), void *ctx, int count)
{
    std::atomic<int> next{0};
    std::exception_ptr failed;
    std::mutex failing;
    auto run = [&] {
        for (int k; (k = next++) < count;) {
            try {
                task(ctx, k);
            } catch (...) {
                std::lock_guard<std::mutex> hold(failing);
                if (!failed)
                    failed = std::current_exception();
            }
        }
    };
    std::vector<std::thread> others;
    others.reserve(static_cast<size_t>(count));  // so that no thread runs when this throws
    for (int k = 1; k < std::min(count, static_cast<int>(g_qzt_threads)); k++) {
        try {
            others.emplace_back(run);
        } catch (const std::system_error &) {
            break;
        }
    }
    run();
    for (std::thread &t : others)
        t.join();
    if (failed)
        std::rethrow_exception(failed);
}

// While the deltas are coded, a fault that the libraries report is their
// memory running out (a buffer of theirs that cannot grow): it unwinds to the
// coding's catch, so that the build names the pair rather than ending with
// the bare report.
struct delta_raise_scope {
    delta_raise_scope()
    {
        g_fatal_raise = [](const char *) { throw std::bad_alloc(); };
    }
    ~delta_raise_scope() { g_fatal_raise = nullptr; }
    delta_raise_scope(const delta_raise_scope &) = delete;
    delta_raise_scope &operator=(const delta_raise_scope &) = delete;
};

}  // namespace

delta_entry delta_build(const pack_record &r, const fs::path &old_file, const fs::path &new_file, int level)
{
    pack_bytes old_data = file_read(old_file), new_data = file_read(new_file);
    if (old_data.size() > UINT32_MAX)
        throw mkpatch_error(file_utf8(old_file) + " is " + std::to_string(old_data.size()) +
                            " bytes; an old file holds at most " + std::to_string(UINT32_MAX));
    if (new_data.size() > PACK_MAX_PATCH)
        throw mkpatch_error(file_utf8(new_file) + " is " + std::to_string(new_data.size()) +
                            " bytes, more than a patch holds (" + std::to_string(PACK_MAX_PATCH) + ")");
    auto old_len = static_cast<uint32_t>(old_data.size());
    auto new_len = static_cast<uint32_t>(new_data.size());
    payload_delta_head head{old_len, crc32_update(0, old_data.data(), old_len), new_len,
                            crc32_update(0, new_data.data(), new_len)};
    uint8_t head_bytes[DELTA_HEAD_SIZE];
    payload_put_delta_head(head_bytes, head);

    // Each candidate's data, the delta head and then the delta: against the
    // old file, then against nothing, which stands for a write of the new
    // file: its literals are left to the record's compression, as a write's
    // bytes are, which also spares coding them twice.
    strm_ptr data[2] = {strm_ptr(mstrm_new_writer()), strm_ptr(mstrm_new_writer())};
    if (!data[0] || !data[1])
        throw mkpatch_error("out of memory");
    // The encoder's index may not fit (in a 32-bit build, past the largest
    // vector there is for an old file of about 540 MB), nor a delta its
    // memory stream; that must not unwind through a thread.
    bool coded[2] = {false, false};
    auto code = [&](int k) {
        try {
            strm_write(data[k].get(), head_bytes, DELTA_HEAD_SIZE);
            qzd_encode(old_data.data(), k == 0 ? old_len : 0, new_data.data(), new_len, data[k].get(), k == 0,
                       g_qzt_threads >= 2 ? delta_each : nullptr);
            coded[k] = true;
        } catch (const std::bad_alloc &) {
        } catch (const std::length_error &) {
        }
    };
    {
        delta_raise_scope raise;
        if (g_qzt_threads >= 2) {
            std::thread against_nothing(code, 1);
            code(0);
            against_nothing.join();
        } else {
            code(0);
            if (coded[0])  // else the build stops here, without holding the second
                code(1);
        }
    }
    if (!coded[0] || !coded[1])
        throw mkpatch_error("out of memory for the delta of " + file_utf8(new_file) + " against " +
                            file_utf8(old_file) + MKPATCH_LARGER);
    // Each delta is rebuilt against the old file before it goes into the
    // patch (a small part of its coding's time): a fault of the coder's is an
    // error here, never a patch that every player's run refuses.
    strm_ptr old_reader(mstrm_new_reader(old_data.data(), old_len));
    if (!old_reader)
        throw mkpatch_error("out of memory");
    for (const strm_ptr &d : data) {
        uint32_t len;
        const uint8_t *bytes = mstrm_data(d.get(), &len);
        strm_ptr in(mstrm_new_reader(bytes + DELTA_HEAD_SIZE, len - DELTA_HEAD_SIZE));
        if (!in)
            throw mkpatch_error("out of memory");
        try {
            if (delta_decode(in.get(), head, old_reader.get(), nullptr) != head.new_crc)
                throw mkpatch_error("its CRC-32 differs");
        } catch (const mkpatch_error &e) {
            throw mkpatch_error("internal error: the delta of " + file_utf8(new_file) + " against " +
                                file_utf8(old_file) + " does not rebuild it: " + e.what());
        }
    }
    old_reader.reset();
    pack_bytes().swap(old_data);
    pack_bytes().swap(new_data);

    // The second record is compressed only as far as it stays smaller than
    // the first: the choice is the same as if both were done in full.
    delta_entry best{r, {}, 0, true};
    for (int k = 0; k < 2; k++) {
        uint32_t len;
        const uint8_t *bytes = mstrm_data(data[k].get(), &len);
        pack_record rec = r;
        rec.size = len;
        rec.delta = head;
        strm_ptr in(mstrm_new_reader(bytes, len));
        pack_bytes blob;
        bool smaller = true;
        uint32_t crc = pack_compress(rec, in.get(), level, [&](const uint8_t *piece, uint32_t n) {
            if (k > 0 && blob.size() + n >= best.blob.size()) {
                smaller = false;
                return false;
            }
            blob.insert(blob.end(), piece, piece + n);
            return true;
        });
        if (smaller)
            best = {rec, std::move(blob), crc, k == 0};
        data[k].reset();
    }
    return best;
}

uint32_t delta_decode(strm *data, const payload_delta_head &d, strm *old,
                      const std::function<void(const uint8_t *, size_t)> &made, bool *unread)
{
    strm_ptr zeros;
    if (!old) {
        zeros = delta_zeros_new(d.old_len);
        old = zeros.get();
    }
    std::unique_ptr<qzd_state, decltype(&free)> state(qzd_state_new(), free);
    std::unique_ptr<qzd_old, decltype(&qzd_old_free)> old_window(state ? qzd_old_new(old, d.old_len) : nullptr,
                                                                 qzd_old_free);
    if (!old_window)
        throw mkpatch_error("out of memory");
    state->blind = zeros != nullptr;
    std::vector<uint8_t> block(QZT_BLOCK);
    uint64_t done = 0;
    uint32_t crc = 0;
    for (uint32_t k = 1;; k++) {
        int32_t n = 0;
        int32_t status = qzd_read_block(data, state.get(), old_window.get(), block.data(), &n);
        if (status == QZT_END)
            break;
        if (status != QZT_OK)
            throw mkpatch_error("delta block " + std::to_string(k) + ": " + delta_status_text(status));
        done += static_cast<uint32_t>(n);
        if (done > d.new_len)
            throw mkpatch_error("delta block " + std::to_string(k) + ": the delta makes more than the new file's " +
                                std::to_string(d.new_len) + " bytes");
        crc = crc32_update(crc, block.data(), static_cast<size_t>(n));
        if (made)
            made(block.data(), static_cast<size_t>(n));
    }
    if (done != d.new_len)
        throw mkpatch_error("the delta makes " + std::to_string(done) + " bytes, the new file is " +
                            std::to_string(d.new_len));
    if (unread)
        *unread = state->blind && state->primed;
    return crc;
}
