// The payload writer and reader: the fixed layout, each other, the program's
// own reader (qzt_open), the trailer, and every fault the reader must name
// (found by the payload check the program shares, worded here).
#include <gtest/gtest.h>

#include <string>

#include "encode/qzd_encode.h"
#include "encode/qzt_encode.h"
#include "payload/crc32.h"
#include "payload/read.h"
#include "stream/mstrm.h"
#include "test_util.h"
#include "tools/mkpatch/delta.h"
#include "tools/mkpatch/files.h"
#include "tools/mkpatch/pack.h"

namespace {

pack_record record(uint8_t action, std::string name, std::string dest, size_t size = 0)
{
    pack_record r;
    r.action = action;
    r.name = std::move(name);
    r.dest = std::move(dest);
    r.size = static_cast<uint32_t>(size);
    return r;
}

// A whole record: its head, then its data.
bytes record_bytes(uint8_t action, std::string name, std::string dest, const bytes &data = {})
{
    bytes rec = pack_record_head(record(action, std::move(name), std::move(dest), data.size()));
    rec.insert(rec.end(), data.begin(), data.end());
    return rec;
}

bytes compress(const bytes &data, int level = QZT_LEVEL_FAST)
{
    strm_ptr out(mstrm_new_writer());
    EXPECT_TRUE(qzt_encode(data.data(), static_cast<uint32_t>(data.size()), level, out.get()));
    uint32_t len;
    const uint8_t *p = mstrm_data(out.get(), &len);
    return bytes(p, p + len);
}

// Reads the first len bytes of a patch held in memory.
void read(const bytes &patch, size_t len, pack_layout *layout, const pack_visitor &visit = {})
{
    strm_ptr in(mstrm_new_reader(patch.data(), static_cast<uint32_t>(len)));
    pack_read(in.get(), layout, visit);
}

// What a read hands on: the records, and the data of each entry.
struct visited {
    std::vector<pack_record> records;
    std::vector<bytes> data;
    pack_visitor visitor()
    {
        pack_visitor v;
        v.data = [this](uint32_t k, const uint8_t *p, size_t n) {
            data.resize(std::max<size_t>(data.size(), k));
            data[k - 1].insert(data[k - 1].end(), p, p + n);
        };
        v.record = [this](uint32_t k, const pack_record &r) {
            records.push_back(r);
            data.resize(std::max<size_t>(data.size(), k));
        };
        return v;
    }
};

// An entry to write: its record, and its data.
struct entry {
    pack_record r;
    bytes data;
};

// A patch made by the writer, on the image "MZx", and what each entry came to.
bytes write_patch(const std::string &message, const std::vector<entry> &entries, int level,
                  std::vector<pack_written> *written = nullptr)
{
    TempDir dir;
    std::string path = dir.file("patch.exe");
    pack_writer w =
        pack_write_start(file_path(path), {'M', 'Z', 'x'}, static_cast<uint32_t>(entries.size()), message, level);
    for (const entry &e : entries) {
        strm_ptr data(mstrm_new_reader(e.data.data(), static_cast<uint32_t>(e.data.size())));
        pack_written x = pack_write_entry(&w, e.r, data.get());
        if (written)
            written->push_back(x);
    }
    pack_write_trailer(&w);
    pack_write_finish(&w);
    return read_file(path);
}

// A patch: a two-byte image padded to the payload offset, the header, the blobs.
bytes patch_of(const std::string &message, const std::vector<bytes> &blobs)
{
    bytes p = pack_start({'M', 'Z'}, static_cast<uint32_t>(blobs.size()), message);
    for (const bytes &b : blobs) {
        put_be(p, static_cast<uint32_t>(b.size()), 4);
        p.insert(p.end(), b.begin(), b.end());
    }
    return p;
}

// The fault of reading the first len bytes of a patch.
pack_error read_fault(const bytes &patch, size_t len)
{
    pack_layout layout;
    try {
        read(patch, len, &layout);
    } catch (const pack_error &e) {
        return e;
    }
    ADD_FAILURE() << "no fault in " << len << " bytes";
    return pack_error(0, 0, "");
}

pack_error read_fault(const bytes &patch)
{
    return read_fault(patch, patch.size());
}

std::string read_what(const bytes &patch)
{
    return read_fault(patch).what();
}

// The fault of a patch whose one entry is the blob.
std::string blob_fault(const bytes &blob)
{
    return read_what(patch_of("", {blob}));
}

std::string parse_fault(const bytes &rec)
{
    try {
        pack_parse(rec.data(), rec.size());
    } catch (const mkpatch_error &e) {
        return e.what();
    }
    ADD_FAILURE() << "no fault";
    return "";
}

}  // namespace

TEST(PayloadLayout, RecordsAtTheirFixedOffsets)
{
    bytes del = record_bytes(ACTION_DELETE, "OLD.TXT", "C:\\GAME");
    ASSERT_EQ(del.size(), 561u);
    EXPECT_EQ(del[0], 2);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&del[1])), "OLD.TXT");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&del[261])), "C:\\GAME");
    EXPECT_EQ(del[260], 0);  // the name field's last byte
    EXPECT_EQ(del[560], 0);

    bytes empty = record_bytes(ACTION_WRITE, "E", "D", {});
    ASSERT_EQ(empty.size(), 565u);
    EXPECT_EQ(empty[0], 1);
    EXPECT_EQ(bytes(empty.begin() + 561, empty.end()), bytes({0, 0, 0, 0}));

    bytes three = record_bytes(ACTION_WRITE, "N", "D", {'x', 'y', 'z'});
    EXPECT_EQ(bytes(three.begin() + 561, three.end()), bytes({0, 0, 0, 3, 'x', 'y', 'z'}));

    EXPECT_EQ(pack_header(2, "a\\nb"), bytes({0, 0, 0, 2, 0, 0, 0, 4, 'a', '\\', 'n', 'b'}));
}

TEST(PayloadLayout, HandMadePayloadReadsBackExactly)
{
    // Every byte written out by hand: N = 1, M = 3, one entry whose blob is a
    // single block of 561 literals.
    std::string rec(561, '\0');
    rec[0] = 2;
    rec.replace(1, 5, "A.TXT");
    rec.replace(261, 15, "%WINDIR%\\SYSTEM");
    bytes blob = qzt_stream(561, {{561, BlockBuilder().literals(rec).words()}});
    bytes p(65536, 0);
    p[0] = 'M';
    p[1] = 'Z';
    bytes tail = {0, 0, 0, 1, 0, 0, 0, 3, 'H', '\\', 'n'};
    put_be(tail, static_cast<uint32_t>(blob.size()), 4);
    tail.insert(tail.end(), blob.begin(), blob.end());
    p.insert(p.end(), tail.begin(), tail.end());

    pack_layout layout;
    visited v;
    read(p, p.size(), &layout, v.visitor());
    const std::vector<pack_record> &got = v.records;
    EXPECT_EQ(layout.count, 1u);
    EXPECT_EQ(layout.message, "H\\n");
    EXPECT_EQ(layout.blob_offset[0], 65536u + 8 + 3 + 4);
    EXPECT_EQ(layout.blob_length[0], blob.size());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].action, ACTION_DELETE);
    EXPECT_EQ(got[0].name, "A.TXT");
    EXPECT_EQ(got[0].dest, "%WINDIR%\\SYSTEM");
}

TEST(PayloadRoundTrip, WriterAndReadersAgree)
{
    bytes big(70000);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<uint8_t>(i * 7 / 3);
    const std::vector<entry> in = {
        {record(ACTION_WRITE, "EMPTY.DAT", "D:\\GAME"), {}},
        {record(ACTION_WRITE, "DATA\\BIG.DAT", "%HKCR\\Software\\Orvane\\Game%Path%", big.size()), big},
        {record(ACTION_DELETE, "\x83\x5C.TXT", "%WINDIR%"), {}},  // a second byte 0x5C in the name
    };
    for (int level : {QZT_LEVEL_FAST, QZT_LEVEL_BEST}) {
        std::vector<pack_written> written;
        bytes p = write_patch("Q\\n", in, level, &written);
        ASSERT_EQ(bytes(p.begin(), p.begin() + 3), bytes({'M', 'Z', 'x'}));
        ASSERT_EQ(p[3], 0);

        pack_layout layout;
        visited out;
        read(p, p.size(), &layout, out.visitor());
        EXPECT_EQ(layout.message, "Q\\n");
        EXPECT_TRUE(layout.trailer);
        EXPECT_EQ(layout.end, p.size());
        ASSERT_EQ(out.records.size(), in.size());
        for (size_t i = 0; i < in.size(); i++) {
            EXPECT_EQ(layout.blob_length[i], written[i].blob);
            EXPECT_EQ(written[i].data_crc, crc32_update(0, in[i].data.data(), in[i].data.size()));
            EXPECT_EQ(out.records[i].action, in[i].r.action);
            EXPECT_EQ(out.records[i].name, in[i].r.name);
            EXPECT_EQ(out.records[i].dest, in[i].r.dest);
            EXPECT_EQ(out.records[i].size, in[i].r.size);
            EXPECT_EQ(out.data[i], in[i].data);
            // The program's own reader sees exactly the record.
            auto at = p.begin() + static_cast<ptrdiff_t>(layout.blob_offset[i]);
            EXPECT_EQ(qzt_decompress(bytes(at, at + written[i].blob)),
                      record_bytes(in[i].r.action, in[i].r.name, in[i].r.dest, in[i].data));
        }
    }
}

TEST(PayloadRoundTrip, ARecordOfManyBatchesIsCodedAsAWhole)
{
    // The writer codes a batch of blocks at a time; the blob is still the
    // stream of the whole record, block for block.
    bytes big(PACK_BATCH + 100000);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<uint8_t>((i / 7 * 31) ^ (i >> 13));
    std::vector<pack_written> written;
    bytes p = write_patch("Q", {{record(ACTION_WRITE, "BIG.DAT", "C:\\X", big.size()), big}}, QZT_LEVEL_FAST, &written);
    auto at = p.begin() + PAYLOAD_OFFSET + 8 + 1 + 4;
    EXPECT_EQ(bytes(at, at + written[0].blob), compress(record_bytes(ACTION_WRITE, "BIG.DAT", "C:\\X", big)));
    pack_layout layout;
    read(p, p.size(), &layout);
    EXPECT_TRUE(layout.trailer);

    // Data of another length than the record's is refused.
    TempDir dir;
    pack_writer w = pack_write_start(file_path(dir.file("p.exe")), {'M', 'Z'}, 2, "", QZT_LEVEL_FAST);
    strm_ptr shorter(mstrm_new_reader(big.data(), 1000));
    EXPECT_THROW(pack_write_entry(&w, record(ACTION_WRITE, "A", "C:\\X", 1001), shorter.get()), mkpatch_error);
    strm_ptr longer(mstrm_new_reader(big.data(), 1000));
    EXPECT_THROW(pack_write_entry(&w, record(ACTION_WRITE, "A", "C:\\X", 999), longer.get()), mkpatch_error);
}

TEST(PayloadMessage, ShownUpToTheFirstZeroByte)
{
    // The escapes themselves are the program's own code, tested with it.
    EXPECT_EQ(pack_unescape("a\\nb"), "a\r\nb");
    EXPECT_EQ(pack_unescape(std::string_view("one\0two", 7)), "one");
}

TEST(PayloadRead, CutAnywhereNamesWhereTheCutIs)
{
    std::vector<bytes> blobs = {compress(record_bytes(ACTION_WRITE, "A", "C:\\X", {'1', '2'})),
                                compress(record_bytes(ACTION_DELETE, "B", "C:\\X"))};
    bytes p = patch_of("Yes?", blobs);
    size_t first = PAYLOAD_OFFSET + 8 + 4;  // where entry 1 begins
    size_t second = first + 4 + blobs[0].size();
    for (size_t cut = PAYLOAD_OFFSET; cut < p.size(); cut++) {
        pack_error f = read_fault(p, cut);
        uint32_t want = cut < first ? 0 : cut < second ? 1 : 2;
        ASSERT_EQ(f.entry, want) << "cut at " << cut << ": " << f.what();
        ASSERT_NE(f.what(), std::string()) << "cut at " << cut;
    }
}

TEST(PayloadRead, FaultsOfTheFileAndTheHeader)
{
    bytes p = patch_of("Q", {compress(record_bytes(ACTION_DELETE, "B", "C:\\X"))});
    EXPECT_EQ(std::string(read_fault(p, 100).what()),
              "the file is 100 bytes, shorter than the 65536-byte program image");
    bytes no_mz = p;
    no_mz[0] = 'X';
    EXPECT_EQ(read_what(no_mz), "the program image does not start with MZ");
    bytes long_message = p;
    long_message[PAYLOAD_OFFSET + 7] = 200;
    EXPECT_EQ(read_what(long_message), "question runs past the end of the file (a question of 200 bytes, " +
                                           std::to_string(p.size() - PAYLOAD_OFFSET - 8) + " left)");
    bytes more = p;
    more.push_back(0);
    pack_error f = read_fault(more);
    EXPECT_EQ(f.entry, 0u);
    EXPECT_EQ(std::string(f.what()), "bytes follow the last entry (1 bytes that are no trailer)");
    bytes count_too_high = p;
    count_too_high[PAYLOAD_OFFSET + 3] = 2;
    f = read_fault(count_too_high);
    EXPECT_EQ(f.entry, 2u);
    EXPECT_EQ(std::string(f.what()), "entry 2: blob length cut short (0 of 4 bytes)");
}

TEST(PayloadRead, CompressedStreamFaults)
{
    bytes rec = record_bytes(ACTION_WRITE, "A", "C:\\X", bytes(40000, 'a'));
    bytes blob = compress(rec);

    EXPECT_EQ(blob_fault(bytes(blob.begin(), blob.begin() + 5)),
              "entry 1: not a compressed stream (a blob of 5 bytes, shorter than its 6-byte header)");
    bytes magic = blob;
    magic[1] ^= 1;
    EXPECT_EQ(blob_fault(magic), "entry 1: not a compressed stream (it starts with 0x717B, not 0x717A)");
    bytes sync = blob;
    sync[7] ^= 1;
    EXPECT_EQ(blob_fault(sync), "entry 1, block 1: block out of sync");
    bytes zero = blob;
    zero[8] = zero[9] = 0;
    EXPECT_EQ(blob_fault(zero), "entry 1, block 1: bad block length (0, not 1 to 32768)");
    bytes total = blob;
    total[5] -= 1;
    EXPECT_EQ(blob_fault(total), "entry 1, block 2: blocks do not add up to the stream's length (the stream's "
                                 "header says " +
                                     std::to_string(rec.size() - 1) + " bytes)");
    total[5] += 2;
    EXPECT_EQ(blob_fault(total), "entry 1: blocks do not add up to the stream's length (the stream's header says " +
                                     std::to_string(rec.size() + 1) + " bytes)");
    bytes trailing = blob;
    trailing.push_back(0x7A);
    EXPECT_EQ(blob_fault(trailing), "entry 1, block 3: stream runs past the end of its blob");
    // Coded words cut short, with the next entry's bytes right behind them.
    bytes cut = blob;
    cut.resize(cut.size() - 2);
    bytes p = patch_of("", {cut, compress(record_bytes(ACTION_DELETE, "B", "C:\\X"))});
    EXPECT_EQ(read_what(p), "entry 1, block 2: stream runs past the end of its blob");
}

TEST(PayloadRead, CorruptCodedWordsAreNamedNotFatal)
{
    // A block whose first token is a literal run longer than the block.
    bytes blob = qzt_stream(4, {{4, BlockBuilder().literals("abcdef").words()}});
    testing::internal::CaptureStderr();
    std::string why = blob_fault(blob);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "no fatal report is shown";
    EXPECT_EQ(why, "entry 1, block 1: block corrupt");
    EXPECT_EQ(g_fatal_exiting, 0);
}

TEST(PayloadTrailer, VouchesForThePayloadAndLeavesWhatFollows)
{
    bytes p = write_patch(
        "Q", {{record(ACTION_DELETE, "B", "C:\\X"), {}}, {record(ACTION_WRITE, "A", "C:\\X", 3000), bytes(3000, 'a')}},
        QZT_LEVEL_FAST);
    EXPECT_EQ(bytes(p.end() - 8, p.end() - 4), to_bytes("PTCK"));
    // A signature appended after the trailer is not the payload's.
    bytes signed_patch = p;
    signed_patch.insert(signed_patch.end(), 1506, 0x5A);
    pack_layout layout;
    visited v;
    read(signed_patch, signed_patch.size(), &layout, v.visitor());
    EXPECT_TRUE(layout.trailer);
    EXPECT_EQ(layout.end, p.size());
    EXPECT_EQ(v.records.size(), 2u);

    // A changed byte that decodes well is caught by the CRC; one that does
    // not is named with its entry.
    bytes question = signed_patch;
    question[PAYLOAD_OFFSET + 8] = 'R';
    pack_error f = read_fault(question);
    EXPECT_EQ(f.entry, 0u);
    EXPECT_EQ(std::string(f.what()).find("checksum does not match (the trailer holds 0x"), 0u) << f.what();
    bytes sync = signed_patch;
    size_t second_blob = PAYLOAD_OFFSET + 8 + 1 + 4 + compress(record_bytes(ACTION_DELETE, "B", "C:\\X")).size() + 4;
    sync[second_blob + 6] ^= 0x80;
    EXPECT_EQ(read_what(sync), "entry 2, block 1: block out of sync");
}

TEST(PayloadParse, RecordFaults)
{
    bytes del = record_bytes(ACTION_DELETE, "A", "C:\\X");
    EXPECT_EQ(parse_fault(bytes(del.begin(), del.begin() + 560)),
              "the record is 560 bytes, shorter than its 561-byte head");
    bytes act = del;
    act[0] = 3;
    EXPECT_EQ(parse_fault(act), "action 3 is neither 1 (write), 2 (delete) nor 4 (patch)");
    bytes no_nul = del;
    std::fill(no_nul.begin() + 1, no_nul.begin() + 261, 'x');
    EXPECT_EQ(parse_fault(no_nul), "the name field of 260 bytes holds no terminator");
    bytes dest_no_nul = del;
    std::fill(dest_no_nul.begin() + 261, dest_no_nul.end(), 'x');
    EXPECT_EQ(parse_fault(dest_no_nul), "the destination field of 300 bytes holds no terminator");
    bytes junk = del;
    junk[300] = 'j';
    EXPECT_EQ(parse_fault(junk), "the destination field holds bytes after its terminator");
    bytes no_name = del;
    no_name[1] = 0;
    EXPECT_EQ(parse_fault(no_name), "the name is empty");
    bytes long_delete = del;
    long_delete.push_back(0);
    EXPECT_EQ(parse_fault(long_delete), "a delete record is 561 bytes, this one 562");

    bytes write = record_bytes(ACTION_WRITE, "A", "C:\\X", {'1', '2', '3'});
    EXPECT_EQ(parse_fault(bytes(write.begin(), write.begin() + 563)),
              "the write record is 563 bytes and holds no data length");
    write[564] = 5;  // states 5 bytes, holds 3
    EXPECT_EQ(parse_fault(write), "the data length says 5 bytes, but the record holds 3");
    write[564] = 2;
    EXPECT_EQ(parse_fault(write), "the data length says 2 bytes, but the record holds 3");
}

TEST(PayloadParse, ShortDataInsideAGoodBlobIsNamedWithItsEntry)
{
    bytes rec = record_bytes(ACTION_WRITE, "A", "C:\\X", bytes(50, 'd'));
    rec[563] = 100 >> 8;
    rec[564] = 100 & 0xFF;  // states 100 bytes, holds 50
    bytes p = patch_of("", {compress(record_bytes(ACTION_DELETE, "B", "C:\\X")), compress(rec)});
    pack_error f = read_fault(p);
    EXPECT_EQ(f.entry, 2u);
    EXPECT_EQ(std::string(f.what()), "entry 2: the data length says 100 bytes, but the record holds 50");
}

// Every row of the action table: the head the program's writer makes, the
// program's check of its length, its reader and mkpatch's parser agree on
// whether data follows; a code of no row is passed over by the program's
// check and refused by mkpatch.
TEST(PayloadActions, EveryRowAgreesAcrossTheLayers)
{
    static_assert(ACTION_WRITE == 1 && ACTION_DELETE == 2, "codes 1 and 2 keep their meaning");
    for (const payload_action_row &a : PAYLOAD_ACTIONS) {
        SCOPED_TRACE(a.word);
        EXPECT_EQ(payload_action_of(a.code), &a);
        bytes data = a.has_data ? bytes(a.data_at + 3, 'x') : bytes{};
        bytes rec = record_bytes(a.code, "A", "C:\\X", data);
        EXPECT_EQ(rec.size(), (a.has_data ? RECORD_DATA_HEAD_SIZE : RECORD_HEAD_SIZE) + data.size());
        EXPECT_EQ(payload_check_head(rec.data(), static_cast<uint32_t>(rec.size())), PAYLOAD_OK);
        strm_ptr in(mstrm_new_reader(rec.data(), static_cast<uint32_t>(rec.size())));
        payload_head h;
        ASSERT_EQ(payload_read_head(in.get(), &h), PAYLOAD_OK);
        EXPECT_EQ(h.data_len, data.size());
        pack_record parsed = pack_parse(rec.data(), rec.size());
        EXPECT_EQ(parsed.action, a.code);
        EXPECT_EQ(parsed.size, data.size());
        rec.push_back(0);
        EXPECT_EQ(payload_check_head(rec.data(), static_cast<uint32_t>(rec.size())), PAYLOAD_RECORD_SIZE);
        // Data too short for its fixed bytes, with a length that agrees.
        if (a.data_at) {
            bytes cut = record_bytes(a.code, "A", "C:\\X", bytes(a.data_at - 1, 'x'));
            EXPECT_EQ(payload_check_head(cut.data(), static_cast<uint32_t>(cut.size())), PAYLOAD_RECORD_SIZE);
        }
    }
    for (uint8_t code : {0, 3, 255}) {
        bytes rec = record_bytes(code, "A", "C:\\X");
        EXPECT_EQ(payload_action_of(code), nullptr);
        EXPECT_EQ(rec.size(), RECORD_HEAD_SIZE);
        rec.push_back(0);
        EXPECT_EQ(payload_check_head(rec.data(), static_cast<uint32_t>(rec.size())), PAYLOAD_OK) << int(code);
        EXPECT_NE(parse_fault(rec).find("is neither 1 (write), 2 (delete) nor 4 (patch)"), std::string::npos);
    }
}

namespace {

// Bytes that compress about as a data file's do: lines of keys and
// pseudo-random values.
bytes text_like(size_t len, uint32_t seed)
{
    bytes out;
    while (out.size() < len) {
        seed = seed * 1103515245u + 12345u;
        std::string line = "item" + std::to_string(seed >> 24) + " = " + std::to_string((seed >> 8) & 0xFFF) + "\n";
        out.insert(out.end(), line.begin(), line.end());
    }
    out.resize(len);
    return out;
}

}  // namespace

// A patch entry is coded against its old file and against nothing, and the
// smaller record kept: a new file unlike its old one costs what a write of it
// does but for the delta's heads (16 bytes, and about 12 a block compressed), one like its
// old file far less; either way the head names the old file. So does a
// table that the x86 filter would make noise of (a call within 2^24 of 0,
// E8 00 00 00 00, every 8 bytes), which a write compresses to almost nothing.
TEST(PatchEntry, CostsNoMoreThanAWriteButForItsHeads)
{
    TempDir dir;
    bytes fresh = text_like(300000, 1), unlike = text_like(200000, 2), like = fresh, table;
    like.erase(like.begin() + 5000, like.begin() + 5100);
    like[100000] ^= 0x20;
    for (int k = 0; k < 40000; k++)
        table.insert(table.end(), {0xE8, 0, 0, 0, 0, 0, 0, 0});
    write_file(dir.file("new"), fresh);
    write_file(dir.file("unlike"), unlike);
    write_file(dir.file("like"), like);
    write_file(dir.file("table"), table);
    for (int level : {QZT_LEVEL_FAST, QZT_LEVEL_BEST}) {
        SCOPED_TRACE(level);
        auto write_blob = [&](const bytes &now) {
            strm_ptr in(mstrm_new_reader(now.data(), static_cast<uint32_t>(now.size())));
            size_t blob = 0;
            pack_compress(record(ACTION_WRITE, "A", "C:\\X", now.size()), in.get(), level,
                          [&](const uint8_t *, uint32_t n) {
                              blob += n;
                              return true;
                          });
            return blob;
        };
        pack_record r = record(ACTION_PATCH, "A", "C:\\X");
        for (const char *name : {"new", "table"}) {
            bytes now = read_file(dir.file(name));
            size_t blocks = now.size() / QZT_BLOCK + 1, write = write_blob(now);
            delta_entry alone = delta_build(r, file_path(dir.file("unlike")), file_path(dir.file(name)), level);
            EXPECT_LE(alone.blob.size(), write + DELTA_HEAD_SIZE + 16 * blocks) << name << ": " << write;
            EXPECT_EQ(alone.record.delta.old_len, unlike.size());
            EXPECT_EQ(alone.record.delta.old_crc, crc32_update(0, unlike.data(), unlike.size()));
            EXPECT_EQ(alone.record.delta.new_crc, crc32_update(0, now.data(), now.size()));
        }
        delta_entry near = delta_build(r, file_path(dir.file("like")), file_path(dir.file("new")), level);
        EXPECT_TRUE(near.from_old);
        EXPECT_LT(near.blob.size() * 20, write_blob(fresh)) << near.blob.size();
    }
}

// The delta's own structure is checked without the old file, against zeros
// of its length: a damaged block, or a delta that makes another length than
// its head says, is refused.
TEST(PatchEntry, ADamagedDeltaIsFoundWithoutTheOldFile)
{
    bytes old_data = text_like(100000, 3), new_data = text_like(120000, 3);
    new_data[500] ^= 1;
    strm_ptr out(mstrm_new_writer());
    qzd_encode(old_data.data(), static_cast<uint32_t>(old_data.size()), new_data.data(),
               static_cast<uint32_t>(new_data.size()), out.get(), true);
    uint32_t len;
    const uint8_t *p = mstrm_data(out.get(), &len);
    bytes delta(p, p + len);
    payload_delta_head d{static_cast<uint32_t>(old_data.size()), 0, static_cast<uint32_t>(new_data.size()), 0};
    auto decode = [&](const bytes &b, const payload_delta_head &head) -> std::string {
        strm_ptr in(mstrm_new_reader(b.data(), static_cast<uint32_t>(b.size())));
        try {
            delta_decode(in.get(), head, nullptr);
        } catch (const mkpatch_error &e) {
            return e.what();
        }
        return "";
    };
    EXPECT_EQ(decode(delta, d), "");
    payload_delta_head longer = d;
    longer.new_len++;
    EXPECT_EQ(decode(delta, longer), "the delta makes 120000 bytes, the new file is 120001");
    payload_delta_head smaller_old = d;
    smaller_old.old_len = 10;
    EXPECT_NE(decode(delta, smaller_old).find("block corrupt"), std::string::npos);
    bytes cut(delta.begin(), delta.end() - 3);
    EXPECT_NE(decode(cut, d), "");
    bytes unsynced = delta;
    unsynced[0] ^= 0xFF;
    EXPECT_EQ(decode(unsynced, d), "delta block 1: block out of sync");
}
