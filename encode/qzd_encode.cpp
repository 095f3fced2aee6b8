// The delta in two passes. The first lines the new file up with the old one:
// regions, each a stretch of the old file taken over with its changes (at
// least half its bytes agree) and the new bytes after it. A region ends only
// where a match elsewhere in the old file is clearly longer than what the
// current line-up still matches, so a rebuilt program's shifted addresses
// stay changes inside one long region; "clearly" is what the new copy's token
// costs (twice that for a match whose line-up stops with it, as a text's
// chance match elsewhere does: a copy back follows), and a match that the new
// file repeats from just before (which the record's compression codes
// cheaply among the literals) must beat that too; or where the line-up
// matches again after more bytes that differ than it then makes up for.
// Then the new bytes between regions that match the old file elsewhere
// among bytes that no coding makes shorter become islands, regions of their
// own. The line-up is made three times, a literal byte that a new region
// saves reckoned dear, cheap and cheaper still, and where they differ each
// is coded and the shortest delta kept. The second pass codes the regions
// block by block: a region's changed places as words where that pays (the
// moved addresses repeat a few values), else byte by byte, and a stretch
// whose changes cost more than its bytes would as literals as literals; each
// block's literal runs filtered as x86 code where they hold code, and its
// tokens as words or through the range coder, whichever is shorter.
#include "encode/qzd_encode.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "encode/qzd_lits.h"
#include "encode/qzt_enc.h"
#include "encode/qzt_encode.h"
#include "stream/bits.h"
#include "stream/mstrm.h"
#include "stream/qzd.h"

namespace {

constexpr int HASH_BYTES = 8;     // bytes the old file's index looks at
constexpr uint32_t OLD_STEP = 2;  // the old file is indexed every so many positions
constexpr uint32_t WAYS = 32;     // positions kept for each hash
// Positions ahead whose buckets are read in before they are searched.
constexpr uint32_t SEARCH_AHEAD = 16;
// What a new region's copy is reckoned to cost: its token's bits beside the
// old position's move (the literal run it cuts, its length, its changes'
// count), and what each literal byte it saves would cost once coded (the
// block's literals coded against the ones before them). Set on version pairs
// of programs, libraries and archives, text archives among them, with the
// tokens coded where that is shorter. No one price of a saved byte suits
// every pair: at 6 bits a program whose code moved (libjvm.so) jumps to the
// matches that keep its literals few, where at 3 it carries three times as
// many; at 3 a library rebuilt with shifted addresses (libpython3.11.so)
// keeps long regions whose changes repeat, and a text archive across a major
// version keeps its line-up through small edits, 4 to 22% shorter than at 6;
// at 1 a heap snapshot whose pointers moved (V8's) keeps its regions through
// them, 7 to 10% shorter than at 3. So all three are tried.
constexpr uint32_t COPY_BITS = 18;
constexpr uint32_t SAVED_BITS[] = {6, 3, 1};
constexpr int WAYS_TRIED = sizeof SAVED_BITS / sizeof SAVED_BITS[0];
// Where the old file lies whole on the literal stream (its head is all of
// it) and the new one is no longer than that window, the new file is coded
// as literals alone as well, a way of its own: their matches into the old
// file then name the last distances, and cost less than copies with their
// offsets on data that differs every few bytes (LLVM bitcode:
// postgres.index.bc 1,145,710 → 1,127,516 bytes, zstd 1,129,735;
// chromium's V8 heap snapshot 91,900 → 88,798), or whose old file shares
// but short pieces with it (a 3.6 KB stub of an 878 KB library, 710 → 638,
// zstd 646). It is kept only where it packs shorter than the line-ups' best
// by 1/LITERAL_WAY_GAIN at least: a delta of copies can be checked without
// the old file, where literals that match its head cannot.
constexpr uint32_t LITERAL_WAY_MOST = QZD_WINDOW;
constexpr uint64_t LITERAL_WAY_GAIN = 128;
constexpr uint64_t FLAT_SHARE = 4;  // the other line-ups are coded only where flat literals are less than 1 / this
// A match the new file repeats from at most this far back is as good as
// literals to the record's compression, unless the old one is so much longer.
constexpr uint32_t NEAR_BACK = 4096;
constexpr uint32_t NEAR_MORE = 8;
constexpr int NEAR_HASH_BITS = 16;
// A block's literal runs are filtered as x86 code where the filter moves
// at least one value in X86_SHARE of their bytes: a program's code has about
// 8 calls and jumps in 1024 bytes, other data rarely one that the filter
// takes. Set on program pairs (64 and 1024 differ from it by 0.1%).
constexpr uint32_t X86_SHARE = 256;
// A match whose line-up goes on past it by fewer than ISLAND bytes (a byte
// that agrees counting 1 and one that differs -1, over AFTER_BYTES) is an
// island in the new file: the line-up most likely comes back after it, and
// that move costs as much again. Set on text archives across a major version.
constexpr uint32_t AFTER_BYTES = 64;
constexpr int32_t ISLAND = 8;

uint64_t qzd_load64(const uint8_t *p)
{
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

uint32_t qzd_le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void qzd_put_gamma(bits *b, uint32_t v)
{
    int z = qzt_log2(v);
    for (int k = z; k > 0; k -= 16)
        bits_put(b, k < 16 ? k : 16, 0);
    // The value's z + 1 bits, the top piece first.
    for (int rest = z + 1; rest > 0;) {
        int k = (rest - 1) % 16 + 1;
        rest -= k;
        bits_put(b, k, (v >> rest) & ((1u << k) - 1));
    }
}

uint32_t qzd_zigzag(uint32_t value)
{
    auto s = static_cast<int32_t>(value);
    return s >= 0 ? 2 * static_cast<uint32_t>(s) : 2 * ~static_cast<uint32_t>(s) + 1;
}

// A literal run: where it stands in the new file, and its length.
struct qzd_run {
    uint32_t pos;
    uint32_t len;
};

// A stretch of the old file taken over (with changes), then new bytes.
struct qzd_region {
    uint32_t from;   // old position
    uint32_t len;    // bytes taken over
    uint32_t extra;  // new bytes after them
    bool operator==(const qzd_region &) const = default;
};

struct qzd_coder {
    const uint8_t *old;
    uint32_t old_len;
    const uint8_t *nw;
    uint32_t new_len;
    int hash_bits;
    // WAYS old positions + 1 for each hash, a ring whose next slot (the
    // oldest) is next[hash] % WAYS, WAYS added once the ring is full; and 8
    // more bits of each one's hash, so that most are passed over unread.
    std::vector<uint32_t> index;
    std::vector<uint8_t> tags;
    std::vector<uint8_t> next;
    // As the decoder keeps them.
    uint32_t old_pos = 0;
    uint32_t last_offset = 0;
    qzd_change change[QZD_CHANGES] = {};
    qzd_tok_model tok;
    // The block being coded: its tokens both as words and through the range
    // coder (with the model as it was before them), its literals, and the
    // coder of the literals of all blocks.
    strm *words = nullptr;
    bits *b = nullptr;
    qzd_rc_enc rc;
    std::vector<uint8_t> tok_section;
    qzd_tok_model tok_before;
    std::vector<uint8_t> lits;
    std::vector<qzd_run> runs;  // the block's literal runs, in the order of lits
    std::vector<uint8_t> filtered;
    qzd_lit_coder *lit_coder = nullptr;
    std::vector<uint8_t> section;
    uint16_t first_sync = 0;  // the first block's sync word's own bits, none after it
    bool coded_lits = false;  // some block's literals are coded
};

// The hash of the 8 bytes at p: its bucket, and 8 more bits as its tag.
uint32_t qzd_hash(const qzd_coder *c, const uint8_t *p, uint8_t *tag)
{
    uint64_t h = qzd_load64(p) * 0x9E3779B97F4A7C15ull;
    *tag = static_cast<uint8_t>(h >> (56 - c->hash_bits));
    return static_cast<uint32_t>(h >> (64 - c->hash_bits));
}

// Buckets for every position indexed to have a way (their 161 bytes each
// come to 2.5 to 5 times old_len): half as many lose about 1% on archives.
void qzd_index_old(qzd_coder *c)
{
    uint32_t slots = c->old_len / OLD_STEP / WAYS + 1;
    c->hash_bits = 10;
    while ((1u << c->hash_bits) < slots && c->hash_bits < 26)
        c->hash_bits++;
    c->index.assign(static_cast<size_t>(WAYS) << c->hash_bits, 0);
    c->tags.assign(c->index.size(), 0);
    c->next.assign(size_t{1} << c->hash_bits, 0);
    for (uint32_t i = 0; i + HASH_BYTES <= c->old_len; i += OLD_STEP) {
        uint8_t tag;
        uint32_t h = qzd_hash(c, c->old + i, &tag);
        uint32_t slot = c->next[h] % WAYS;
        size_t at = static_cast<size_t>(h) * WAYS + slot;
        c->index[at] = i + 1;
        c->tags[at] = tag;
        c->next[h] = static_cast<uint8_t>((slot + 1) % WAYS | (slot + 1 == WAYS ? WAYS : c->next[h] & WAYS));
    }
}

// The ways of 8 tags from tags whose tag is tag, way k as bit k: eight at a
// time, a byte of their word that the tag's pattern makes zero.
uint32_t qzd_same8(const uint8_t *tags, uint8_t tag)
{
    constexpr uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
    uint64_t y = qzd_load64(tags) ^ (tag * 0x0101010101010101ull);
    uint64_t zero = ~(((y & LOW7) + LOW7) | y | LOW7);  // each zero byte's top bit
    return static_cast<uint32_t>(((zero >> 7) * 0x0102040810204080ull) >> 56);
}

// The longest match of new data at p that the index knows; len 0 for none.
void qzd_search(const qzd_coder *c, uint32_t p, uint32_t *pos, uint32_t *len)
{
    *len = 0;
    if (p + HASH_BYTES > c->new_len)
        return;
    uint8_t tag;
    // The line-up searches position after position: the bucket of one a
    // little ahead is asked for now, so that its tags are there by then.
    if (p + SEARCH_AHEAD + HASH_BYTES <= c->new_len) {
        uint32_t ahead = qzd_hash(c, c->nw + p + SEARCH_AHEAD, &tag);
        __builtin_prefetch(&c->tags[static_cast<size_t>(ahead) * WAYS]);
        __builtin_prefetch(&c->next[ahead]);
    }
    uint32_t h = qzd_hash(c, c->nw + p, &tag);
    const uint32_t *ways = &c->index[static_cast<size_t>(h) * WAYS];
    const uint8_t *tags = &c->tags[static_cast<size_t>(h) * WAYS];
    // The ways whose tag is the hash's, found among the tags alone: the
    // bucket's positions are read only for those, one in 256 of the others.
    static_assert(WAYS == 32, "the ways' tags are four words, their mask 32 bits");
    uint32_t same = qzd_same8(tags, tag) | qzd_same8(tags + 8, tag) << 8 | qzd_same8(tags + 16, tag) << 16 |
                    qzd_same8(tags + 24, tag) << 24;
    uint32_t next = c->next[h] % WAYS, held = c->next[h] & WAYS ? WAYS : next;
    // The latest first, so that of equal matches the latest wins.
    for (uint32_t k = 1, w; k <= held; k++) {
        if (!(same >> (w = (next + WAYS - k) % WAYS) & 1))
            continue;
        uint32_t at = ways[w] - 1;
        uint32_t room = c->old_len - at < c->new_len - p ? c->old_len - at : c->new_len - p;
        uint32_t n = qzd_match(c->old + at, c->nw + p, room);
        if (n > *len) {
            *len = n;
            *pos = at;
        }
    }
}

// The bytes a match must beat the line-up by, when taking it moves the old
// position by moved and a literal byte it saves is reckoned at saved bits.
uint32_t qzd_clearly(uint32_t moved, uint32_t saved)
{
    return (qzt_gamma_bits(qzd_zigzag(moved) + 1) + COPY_BITS) / saved;
}

// The new file's latest positions by hash, filled as the line-up passes
// them: the longest repeat of the bytes at p from NEAR_BACK bytes back at
// most that the latest one gives.
struct qzd_near {
    std::vector<uint32_t> latest = std::vector<uint32_t>(size_t{1} << NEAR_HASH_BITS);  // position + 1
    uint32_t filled = 0;
};

uint32_t qzd_near_hash(const uint8_t *p)
{
    return static_cast<uint32_t>((qzd_load64(p) * 0x9E3779B97F4A7C15ull) >> (64 - NEAR_HASH_BITS));
}

uint32_t qzd_repeat(const qzd_coder *c, qzd_near *r, uint32_t p)
{
    if (p + HASH_BYTES > c->new_len)
        return 0;
    for (; r->filled < p; r->filled++)
        r->latest[qzd_near_hash(c->nw + r->filled)] = r->filled + 1;
    uint32_t q = r->latest[qzd_near_hash(c->nw + p)];
    if (q == 0 || p - (q - 1) > NEAR_BACK)
        return 0;
    return qzd_match(c->nw + q - 1, c->nw + p, c->new_len - p);
}

// How far the line-up of the len bytes at p with old position at goes on past
// them.
int32_t qzd_goes_on(const qzd_coder *c, uint32_t p, uint32_t at, uint32_t len)
{
    uint32_t most = std::min({c->old_len - at, c->new_len - p, len + AFTER_BYTES});
    int32_t s = 0, best = 0;
    for (uint32_t i = len; i < most; i++) {
        s += c->old[at + i] == c->nw[p + i] ? 1 : -1;
        best = std::max(best, s);
    }
    return best;
}

bool qzd_agrees(const qzd_coder *c, uint32_t p, uint32_t offset)
{
    uint32_t o = p + offset;
    return o < c->old_len && c->old[o] == c->nw[p];
}

// Lines the new file up with the old one, a literal byte that a new region
// saves reckoned at saved bits.
std::vector<qzd_region> qzd_line_up(const qzd_coder *c, uint32_t saved)
{
    std::vector<qzd_region> regions;
    const uint8_t *o = c->old, *n = c->nw;
    uint32_t scan = 0, len = 0, pos = 0, last_scan = 0, last_pos = 0, last_offset = 0, last_end = 0;
    // The line-up's score from last_scan up to walked, a byte that agrees
    // counting 1 and one that differs -1, its best so far and its lowest
    // after last_scan.
    uint32_t walked = 0;
    int32_t walk = 0, walk_best = 0, walk_low = INT32_MAX;
    qzd_near near;
    while (scan < c->new_len) {
        uint32_t old_score = 0;
        uint32_t scored = scan += len;
        bool again = false;
        // Where a match elsewhere is clearly longer than what the line-up
        // matches over the same bytes (or the line-up matches all of it).
        for (; scan < c->new_len; scan++) {
            qzd_search(c, scan, &pos, &len);
            for (; scored < scan + len; scored++)
                old_score += qzd_agrees(c, scored, last_offset);
            if (len == old_score && len != 0) {
                // The line-up matches again, but after more bytes that
                // differ than this match makes up for: the region's stretch
                // would end before it, so a new one starts here, its copy
                // moving the old position by nothing.
                for (; walked < scan; walked++) {
                    walk += qzd_agrees(c, walked, last_offset) ? 1 : -1;
                    walk_best = std::max(walk_best, walk);
                    walk_low = std::min(walk_low, walk);
                }
                again = walk + static_cast<int32_t>(len) <= walk_best && len > qzd_clearly(0, saved);
                if (again)
                    pos = scan + last_offset;
                break;
            }
            uint32_t clearly = qzd_clearly(pos - scan - last_offset, saved);
            if (len > old_score + clearly && len > qzd_repeat(c, &near, scan) + NEAR_MORE &&
                (len > old_score + 2 * clearly || qzd_goes_on(c, scan, pos, len) >= ISLAND))
                break;
            old_score -= qzd_agrees(c, scan, last_offset);
        }
        if (len == old_score && scan != c->new_len && !again)
            continue;
        // Where the line-up matches again and its score never fell back to
        // where the last region starts, a new region would take all of that
        // one back to its start: the last region goes on as it is, and is not
        // scanned again (else a large file that hardly changed is scanned
        // once for every change).
        if (again && walk_low > 0) {
            last_end = scan + len;
            continue;
        }
        // The last region's stretch: as far as it scores best, a byte that
        // agrees counting 1 and one that differs -1, but over the match that
        // began it at least (which more bytes before it may outscore).
        uint32_t fwd = 0;
        int32_t s = 0, best = 0;
        for (uint32_t i = 0; last_scan + i < scan && last_pos + i < c->old_len;) {
            s += o[last_pos + i] == n[last_scan + i] ? 1 : -1;
            i++;
            if (s > best || last_scan + i == last_end) {
                best = s;
                fwd = i;
            }
        }
        // The new match's stretch back, the same way.
        uint32_t back = 0;
        if (scan < c->new_len) {
            s = best = 0;
            for (uint32_t i = 1; scan >= last_scan + i && pos >= i; i++) {
                s += o[pos - i] == n[scan - i] ? 1 : -1;
                if (s > best) {
                    best = s;
                    back = i;
                }
            }
        }
        // Where the two meet, the bytes go to the one that matches them.
        if (last_scan + fwd > scan - back) {
            uint32_t overlap = last_scan + fwd - (scan - back);
            int32_t t = 0, top = 0;
            uint32_t keep = 0;
            for (uint32_t i = 0; i < overlap; i++) {
                uint32_t f = last_scan + fwd - overlap + i;
                t += o[last_pos + fwd - overlap + i] == n[f];
                t -= o[pos - back + i] == n[scan - back + i];
                if (t > top) {
                    top = t;
                    keep = i + 1;
                }
            }
            fwd += keep - overlap;
            back -= keep;
        }
        regions.push_back({last_pos, fwd, scan - back - (last_scan + fwd)});
        last_scan = scan - back;
        last_end = scan + len;
        last_pos = pos - back;
        last_offset = pos - scan;
        walked = last_scan;
        walk = walk_best = 0;
        walk_low = INT32_MAX;
    }
    return regions;
}

// What an island's copy is reckoned to cost beside its offset's bits: the
// literal run it cuts, its length and change count, and the copy back to the
// line-up after it (a back copy where the tokens are coded), in bits.
constexpr uint32_t ISLAND_BITS = 24;

// Literals among which an island is taken: bytes that no coding makes much
// shorter, as compressed members are, found by how many of the 256 bytes
// around it differ (about 162 for random bytes, far fewer for text or code,
// whose literals the literal coder makes cheaper than an island would).
constexpr uint32_t ISLAND_AROUND = 256;
constexpr uint32_t ISLAND_DISTINCT = 140;

bool qzd_incompressible(const qzd_coder *c, uint32_t p, uint32_t distinct_least = ISLAND_DISTINCT)
{
    uint32_t lo = p > ISLAND_AROUND / 2 ? p - ISLAND_AROUND / 2 : 0;
    uint32_t hi = std::min(c->new_len, lo + ISLAND_AROUND);
    bool seen[256] = {};
    uint32_t distinct = 0;
    for (uint32_t i = lo; i < hi; i++) {
        distinct += !seen[c->nw[i]];
        seen[c->nw[i]] = true;
    }
    return distinct >= distinct_least;
}

// A compressed member that changed is new bytes, but where its coder's
// output falls back into step with the old one's for a few bytes (the same
// symbols coded the same, at a byte boundary), they match the old member a
// little way from where the line-up stands, too few (4 to 7) for the index
// to find. Such a match is looked for within NEAR_ISLAND bytes of the
// line-up's old position, and reckoned to cost NEAR_ISLAND_BITS beside its
// offset's bits. Set on gzip'd and zip'd members (Debian's changelog.gz of
// libssl3, java.base.jmod, jdk.jdwp.agent.jmod): 64 bytes saves 90% of what
// 1024 bytes do, 256 bytes 99%; 8 to 24 bits take about the same matches.
// The bytes must look random (NEAR_DISTINCT of 256 differ, where deflate's
// output has 157 to 161 at the median): a bit stream with some order to it
// (LLVM bitcode, 143) costs less than 8 bits a literal, and its literals
// find such matches in the old file's head themselves, for less
// (postgres.index.bc 1,162,246 → 1,145,710 bytes at 150, java.base.jmod
// 9,316,566 → 9,319,418).
constexpr uint32_t NEAR_ISLAND = 256;
constexpr uint32_t NEAR_ISLAND_BITS = 16;
constexpr uint32_t NEAR_DISTINCT = 150;

// The match of 4 bytes or more at q (up to end) within NEAR_ISLAND bytes of
// old position e that saves the most bits over its cost, the nearest of
// those; false for none that saves any.
bool qzd_near_island(const qzd_coder *c, uint32_t q, uint32_t end, uint32_t e, uint32_t *pos, uint32_t *len)
{
    if (q + 4 > end || c->old_len < 4)
        return false;
    uint32_t lo = e > NEAR_ISLAND ? e - NEAR_ISLAND : 0;
    uint32_t hi = std::min(c->old_len - 3, e + NEAR_ISLAND + 1);
    uint32_t best = 0, best_pos = 0, best_len = 0, want;
    memcpy(&want, c->nw + q, 4);
    for (uint32_t j = lo; j < hi; j++) {
        // The first byte's places by memchr, whose scan is the fastest.
        auto *at = static_cast<const uint8_t *>(memchr(c->old + j, c->nw[q], hi - j));
        if (!at)
            break;
        j = static_cast<uint32_t>(at - c->old);
        uint32_t got;
        memcpy(&got, at, 4);
        if (got != want)
            continue;
        uint32_t n = qzd_match(at, c->nw + q, std::min(c->old_len - j, end - q));
        uint32_t cost = qzt_log2(qzd_zigzag(j - e) + 1) + NEAR_ISLAND_BITS;
        uint32_t saved = 8 * n > cost ? 8 * n - cost : 0;
        if (saved > best || (saved == best && saved != 0 && qzd_zigzag(j - e) < qzd_zigzag(best_pos - e))) {
            best = saved;
            best_pos = j;
            best_len = n;
        }
    }
    *pos = best_pos;
    *len = best_len;
    return best != 0;
}

// About how many of the new bytes between the regions no coding makes
// shorter, one in ISLAND_AROUND of them looked at.
uint64_t qzd_flat_bytes(const qzd_coder *c, const std::vector<qzd_region> &regions)
{
    uint64_t flat = 0;
    uint32_t p = 0;
    for (const qzd_region &r : regions) {
        p += r.len;
        for (uint64_t k = 0; k < r.extra; k += ISLAND_AROUND)
            flat += qzd_incompressible(c, p + static_cast<uint32_t>(k)) ? ISLAND_AROUND : 0;
        p += r.extra;
    }
    return flat;
}

// The new bytes between regions, where a stretch of them matches the old
// file elsewhere for longer than its copy costs (eight bits a literal byte,
// among bytes that no coding makes shorter), and the record's compression
// would not find it just before: an island, a region of its own, the line-up
// taken up again after it.
std::vector<qzd_region> qzd_islands(const qzd_coder *c, const std::vector<qzd_region> &regions)
{
    std::vector<qzd_region> out;
    qzd_near near;
    uint32_t p = 0, old_pos = 0;
    for (qzd_region r : regions) {
        p += r.len;
        old_pos = r.from + r.len;
        uint32_t end = p + r.extra;
        for (uint32_t q = p; q < end;) {
            uint32_t pos = 0, len;
            qzd_search(c, q, &pos, &len);
            len = std::min(len, end - q);
            // The index holds every other old position: the match may start
            // a byte before.
            uint32_t at = q;
            if (len != 0 && q > p && pos > 0 && c->old[pos - 1] == c->nw[q - 1]) {
                at--;
                pos--;
                len++;
            }
            uint32_t cost = qzt_log2(qzd_zigzag(pos - (old_pos + at - p)) + 1) + ISLAND_BITS;
            if (8 * len <= cost || len <= qzd_repeat(c, &near, q) + NEAR_MORE || !qzd_incompressible(c, q)) {
                q++;
                continue;
            }
            q = at;
            out.push_back({r.from, r.len, q - p});
            r = {pos, len, end - q - len};
            p = q + len;
            old_pos = pos + len;
            q = p;
        }
        out.push_back(r);
        p = end;
    }
    return out;
}

// A changed place of an old copy and its change.
struct qzd_place {
    uint32_t at;
    qzd_change change;
};

uint32_t qzd_rank(const qzd_coder *c, qzd_change k)
{
    uint32_t r = 0;
    while (r < QZD_CHANGES && (c->change[r].kind != k.kind || c->change[r].value != k.value))
        r++;
    return r;
}

// The bits of a value's code, gamma(zigzag(d) + 1); NO_CODE for 0x80000000,
// whose zigzag code plus 1 wraps to 0, which no gamma code says: such a
// change (a relative word of 0x80000000) is made another way.
constexpr uint32_t NO_CODE = 1 << 20;
uint32_t qzd_value_bits(uint32_t d)
{
    uint32_t z = qzd_zigzag(d) + 1;
    return z != 0 ? static_cast<uint32_t>(qzt_gamma_bits(z)) : NO_CODE;
}

// How coded tokens say a new word's value v: as the value of the last
// changes' rank-th plus a difference, where that is shorter by NEAR_MARGIN
// bits at least, else as itself (rank QZD_CHANGES); bits, the length of its
// codes as gamma codes, NO_CODE or more where neither way can say it. The
// margin stands for the near codes' models, which start even and mislead on
// random values (LLVM bitcode): against no near values, postgresql-15's
// 1,068 changed files of 1 KB to 8 MB come to 3,372 bytes more in all with
// no margin, 768 less with 4 and 1,104 less with 8, its postgres program
// (505,018 bytes) to 496,194, 498,512 and 499,820, libjvm.so (682,330) to
// 679,070 with 4 and 679,838 with 8. A near value is looked for among the
// first NEAR_RANKS of them: a farther one costs more in the rank's model
// than its gamma code's length says, and the search is most of a new word's
// pricing (on an earlier form, libcrypto.so.3 141,718 bytes with 16, 141,812
// with all 128, 141,844 with 8).
constexpr uint32_t NEAR_RANKS = 16;
constexpr uint32_t NEAR_MARGIN = 4;
struct qzd_near_value {
    uint32_t rank;
    uint32_t bits;
};
qzd_near_value qzd_near_of(const qzd_coder *c, uint32_t v)
{
    qzd_near_value best = {QZD_CHANGES, qzd_value_bits(v)};
    for (uint32_t r = 0; r < NEAR_RANKS && static_cast<uint32_t>(qzt_gamma_bits(r + 1)) < best.bits; r++) {
        uint32_t bits =
            static_cast<uint32_t>(qzt_gamma_bits(r + 1)) + qzd_value_bits(v - c->change[r].value) + NEAR_MARGIN;
        if (bits < best.bits)
            best = {r, bits};
    }
    return best;
}

// A new word's value must be one that plain words can say, whatever coded
// tokens would make of it.
uint32_t qzd_change_bits(const qzd_coder *c, qzd_change k)
{
    uint32_t r = qzd_rank(c, k);
    if (r < QZD_CHANGES)
        return 1 + qzt_gamma_bits(r + 1);
    if (k.kind == QZD_BYTE)
        return 10;
    return qzd_value_bits(k.value) < NO_CODE ? 3 + qzd_near_of(c, k.value).bits : NO_CODE;
}

void qzd_name_change(qzd_coder *c, qzd_change k)
{
    uint32_t r = qzd_rank(c, k);
    if (r == QZD_CHANGES)
        r = QZD_CHANGES - 1;
    memmove(c->change + 1, c->change, r * sizeof c->change[0]);
    c->change[0] = k;
}

// A word change is taken where it costs less than the place's changed bytes
// one by one, with credit for a new one: a change named once is cheap ever
// after.
constexpr uint32_t NEW_WORD_CREDIT = 20;

// The changed places of an old copy, the last changes moving on as the
// decoder's will.
// With cost, each place's bits (its gap and its change) go there too.
std::vector<qzd_place> qzd_places(qzd_coder *c, uint32_t from, uint32_t p, uint32_t len,
                                  std::vector<uint32_t> *cost = nullptr)
{
    const uint8_t *o = c->old + from, *n = c->nw + p;
    uint32_t shift = p - from;
    std::vector<qzd_place> at;
    uint32_t next = 0;
    for (uint32_t i = 0; i < len;) {
        if (o[i] == n[i]) {
            i++;
            continue;
        }
        qzd_change k = {QZD_BYTE, static_cast<uint8_t>(n[i] - o[i])};
        if (len - i >= 4) {
            uint32_t bytes_bits = 0;
            for (uint32_t j = 0; j < 4; j++)
                if (o[i + j] != n[i + j])
                    bytes_bits += 1 + qzd_change_bits(c, {QZD_BYTE, static_cast<uint8_t>(n[i + j] - o[i + j])});
            uint32_t delta = qzd_le32(n + i) - qzd_le32(o + i);
            qzd_change word = {QZD_WORD, delta}, rel = {QZD_RELATIVE, delta + shift};
            uint32_t word_bits = qzd_change_bits(c, word), rel_bits = qzd_change_bits(c, rel);
            if (rel_bits < word_bits) {
                word = rel;
                word_bits = rel_bits;
            }
            if (qzd_rank(c, word) == QZD_CHANGES)
                word_bits = word_bits > NEW_WORD_CREDIT ? word_bits - NEW_WORD_CREDIT : 0;
            if (word_bits < bytes_bits)
                k = word;
        }
        if (cost)
            cost->push_back(qzt_gamma_bits(i - next + 1) + qzd_change_bits(c, k));
        qzd_name_change(c, k);
        at.push_back({i, k});
        i += k.kind == QZD_BYTE ? 1 : 4;
        next = i;
    }
    return at;
}

uint32_t qzd_width(const qzd_place &k)
{
    return k.change.kind == QZD_BYTE ? 1 : 4;
}

// What a literal byte is reckoned to cost inside a region, and what a
// literal stretch there costs over its bytes: its run's length and the
// copy's token after it.
constexpr uint64_t LITERAL_BITS = 3;
constexpr uint64_t SWITCH_BITS = 24;

// The region r, whose copy makes new bytes from p on, as pieces in out:
// copies, with literal stretches where its changed places cost more as
// changes than their bytes as literals (a stretch of the old file that
// differs throughout, between parts that agree). Reckoned from the last
// changes as they stand, which it leaves so.
void qzd_split(qzd_coder *c, const qzd_region &r, uint32_t p, std::vector<qzd_region> *out)
{
    qzd_change before[QZD_CHANGES];
    memcpy(before, c->change, sizeof before);
    std::vector<uint32_t> cost;
    std::vector<qzd_place> at = qzd_places(c, r.from, p, r.len, &cost);
    memcpy(c->change, before, sizeof before);
    // The fewest bits up to each place, copying (the place a change) or in a
    // literal stretch (its bytes literals), and whether each came from the
    // other way.
    size_t k = at.size();
    std::vector<uint8_t> switched(k);
    uint64_t copying = 0, literal = SWITCH_BITS;
    uint32_t end = 0;
    for (size_t j = 0; j < k; j++) {
        uint32_t w = qzd_width(at[j]), gap = at[j].at - end;
        uint64_t c_stay = copying + cost[j], c_from = literal + SWITCH_BITS + cost[j];
        uint64_t l_stay = literal + LITERAL_BITS * (gap + w), l_from = copying + SWITCH_BITS + LITERAL_BITS * w;
        switched[j] = static_cast<uint8_t>((c_from < c_stay ? 1 : 0) | (l_from < l_stay ? 2 : 0));
        copying = std::min(c_stay, c_from);
        literal = std::min(l_stay, l_from);
        end = at[j].at + w;
    }
    // The bytes after the last place: copied, or literals when that is less.
    uint64_t tail = r.len - end;
    bool tail_literal = LITERAL_BITS * tail <= SWITCH_BITS;
    bool lit = literal + (tail_literal ? LITERAL_BITS * tail : SWITCH_BITS) < copying;
    // Back from the end: the literal stretches, last first.
    std::vector<std::pair<uint32_t, uint32_t>> stretches;
    uint32_t stop = tail_literal ? r.len : end;
    for (size_t j = k; j-- > 0;) {
        if (!(switched[j] & (lit ? 2 : 1)))
            continue;
        if (lit)
            stretches.push_back({at[j].at, stop});
        else
            stop = j > 0 ? at[j - 1].at + qzd_width(at[j - 1]) : 0;
        lit = !lit;
    }
    if (lit)
        stretches.push_back({0, stop});
    uint32_t done = 0;
    for (size_t i = stretches.size(); i-- > 0;) {
        out->push_back({r.from + done, stretches[i].first - done, stretches[i].second - stretches[i].first});
        done = stretches[i].second;
    }
    out->push_back({r.from + done, r.len - done, r.extra});
}

// A gamma code both ways: into the words and through the model.
void qzd_put_field(qzd_coder *c, qzd_gamma_model *g, uint32_t v)
{
    qzd_put_gamma(c->b, v);
    c->rc.gamma(g, v);
}

// An old copy of len bytes making new bytes from p on, to_end where it
// fills the block: its length code is then 1.
void qzd_put_copy(qzd_coder *c, uint32_t from, uint32_t p, uint32_t len, bool to_end)
{
    bits *b = c->b;
    qzd_tok_model *m = &c->tok;
    uint32_t offset = from - c->old_pos;
    qzd_put_gamma(b, qzd_zigzag(offset) + 1);
    bool back = offset != 0 && offset == 0u - c->last_offset;
    c->rc.bit(&m->flag[QZD_FLAG_BACK], back);
    if (!back)
        c->rc.gamma(&m->field[QZD_OFFSET], qzd_zigzag(offset) + 1);
    if (offset != 0)
        c->last_offset = offset;
    qzd_put_field(c, &m->field[QZD_LEN], to_end ? 1 : len + 1);
    qzd_change before[QZD_CHANGES];
    memcpy(before, c->change, sizeof before);
    std::vector<qzd_place> at = qzd_places(c, from, p, len);
    memcpy(c->change, before, sizeof before);
    qzd_put_field(c, &m->field[QZD_COUNT], static_cast<uint32_t>(at.size()) + 1);
    uint32_t next = 0;
    for (const qzd_place &k : at) {
        // The gap, the repeat bit and the rank through the models that the
        // last change picks, as the decoder picks them.
        uint32_t g = k.at - next + 1;
        qzd_put_field(c, &m->gap[qzd_gap_ctx(m->last_gap)], g);
        next = k.at + (k.change.kind == QZD_BYTE ? 1 : 4);
        uint32_t r = qzd_rank(c, k.change);
        // A new word's near value, from the last changes before it joins them.
        qzd_near_value near = {QZD_CHANGES, 0};
        if (r == QZD_CHANGES && k.change.kind != QZD_BYTE)
            near = qzd_near_of(c, k.change.value);
        uint32_t base = near.rank < QZD_CHANGES ? c->change[near.rank].value : 0;
        qzd_name_change(c, k.change);
        c->rc.bit(&m->repeat[qzd_repeat_ctx(m->last_change)], r < QZD_CHANGES);
        m->last_gap = g;
        if (r < QZD_CHANGES) {
            bits_put(b, 1, 1);
            qzd_put_field(c, &m->rank[qzd_rank_ctx(m->last_change, g)], r + 1);
            m->last_change = r;
            continue;
        }
        c->rc.bit(&m->flag[QZD_FLAG_WORD], k.change.kind != QZD_BYTE);
        if (k.change.kind == QZD_BYTE) {
            bits_put(b, 2, 0);
            bits_put(b, 8, k.change.value);
            c->rc.tree8(m->byte, k.change.value);
            m->last_change = QZD_LAST_NEW_BYTE;
        } else {
            bits_put(b, 3, k.change.kind == QZD_RELATIVE ? 3 : 2);
            c->rc.bit(&m->flag[QZD_FLAG_RELATIVE], k.change.kind == QZD_RELATIVE);
            // Plain words say the value itself; coded tokens may say it near
            // one of the last changes'.
            qzd_put_gamma(b, qzd_zigzag(k.change.value) + 1);
            c->rc.bit(&m->flag[QZD_FLAG_NEAR], near.rank < QZD_CHANGES);
            if (near.rank < QZD_CHANGES)
                c->rc.gamma(&m->field[QZD_NEAR_RANK], near.rank + 1);
            c->rc.gamma(&m->field[near.rank < QZD_CHANGES ? QZD_NEAR_DIFF : QZD_VALUE],
                        qzd_zigzag(k.change.value - base) + 1);
            m->last_change = QZD_LAST_NEW_WORD;
        }
    }
    c->old_pos = from + len;
}

void qzd_put_literals(qzd_coder *c, uint32_t p, uint32_t run)
{
    qzd_put_field(c, &c->tok.field[QZD_RUN], run + 1);
    c->lits.insert(c->lits.end(), c->nw + p, c->nw + p + run);
    c->runs.push_back({p, run});
    c->old_pos += run;
}

void qzd_begin_block(qzd_coder *c)
{
    c->words = mstrm_new_writer();
    c->b = bits_new(c->words);
    c->lits.clear();
    c->runs.clear();
    c->tok_section.clear();
    c->rc = {};
    c->rc.out = &c->tok_section;
    c->rc.step = QZD_TOK_MOVE;
    c->tok_before = c->tok;
}

void qzd_put16(strm *out, uint32_t v)
{
    const uint8_t be[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    strm_write(out, be, 2);
}

// The block of n bytes behind its header: its literals, coded where that
// makes them shorter, then its tokens, as a coded section where that is
// shorter than their words (else the tokens' model goes back to what it
// was, as the decoder's stays over a block of words).
void qzd_end_block(qzd_coder *c, strm *out, uint32_t n)
{
    bits_free(c->b);
    c->b = nullptr;
    c->rc.finish();
    uint32_t len;
    const uint8_t *words = mstrm_data(c->words, &len);
    // A block of literals only says so, and holds neither L nor tokens.
    auto nlits = static_cast<uint32_t>(c->lits.size());
    bool all = nlits == n;
    bool tokens = !all && c->tok_section.size() + 2 < len && c->tok_section.size() <= QZT_BLOCK;
    if (!tokens)
        c->tok = c->tok_before;
    // The runs filtered as x86 code where they hold enough calls and jumps
    // to be code. Plain blocks stand for a write and are never filtered, so
    // that data the filter makes worse costs what a write of it does.
    uint32_t moved = 0;
    if (c->lit_coder) {
        c->filtered = c->lits;
        uint8_t *at = c->filtered.data();
        for (const qzd_run &r : c->runs) {
            moved += qzd_x86(at, r.len, r.pos, true);
            at += r.len;
        }
    }
    bool x86 = moved > 0 && moved * X86_SHARE >= nlits;
    if (x86)
        c->lits.swap(c->filtered);
    uint16_t coded = c->lit_coder ? qzd_lit_code(c->lit_coder, c->lits.data(), nlits, &c->section) : 0;
    c->coded_lits = c->coded_lits || coded;
    qzd_put16(out, QZD_SYNC | coded | (tokens ? QZD_CODED_TOKENS : 0) | (x86 ? QZD_X86 : 0) | (all ? QZD_ALL_LITS : 0) |
                       c->first_sync);
    c->first_sync = 0;
    qzd_put16(out, n);
    if (!all)
        qzd_put16(out, nlits);
    if (coded) {
        qzd_put16(out, static_cast<uint32_t>(c->section.size() / 2));
        strm_write(out, c->section.data(), static_cast<int32_t>(c->section.size()));
    } else {
        strm_write(out, c->lits.data(), static_cast<int32_t>(nlits));
    }
    if (tokens) {
        qzd_put16(out, static_cast<uint32_t>(c->tok_section.size() / 2));
        strm_write(out, c->tok_section.data(), static_cast<int32_t>(c->tok_section.size()));
    } else if (!all) {
        strm_write(out, words, static_cast<int32_t>(len));
    }
    strm_release(c->words);
    c->words = nullptr;
}

// The pieces' literal stretches, the first piece's copy making new bytes
// from p on, with the near islands (qzd_near_island) among bytes that no
// coding makes shorter taken out of them as pieces of their own. Such bytes
// lie between the regions and inside them, where qzd_split leaves what
// differs throughout.
void qzd_near_islands(const qzd_coder *c, uint32_t p, std::vector<qzd_region> *pieces)
{
    std::vector<qzd_region> out;
    uint32_t chunk = UINT32_MAX;
    bool flat = false;  // whether chunk's bytes are such
    for (qzd_region r : *pieces) {
        uint32_t start = p + r.len, end = start + r.extra, old_pos = r.from + r.len;
        for (uint32_t q = start, pos, len; q < end;) {
            if (q / ISLAND_AROUND != chunk) {
                chunk = q / ISLAND_AROUND;
                flat = qzd_incompressible(c, q, NEAR_DISTINCT);
            }
            if (!flat || !qzd_near_island(c, q, end, old_pos + (q - start), &pos, &len)) {
                q++;
                continue;
            }
            out.push_back({r.from, r.len, q - start});
            r = {pos, len, end - q - len};
            start = q = q + len;
            old_pos = pos + len;
        }
        out.push_back(r);
        p = end;
    }
    pieces->swap(out);
}

// The regions' copies and new bytes into out, cut at every block's end: a
// token is literals then a copy, so the new bytes after one region's copy go
// before the next one's. The coder's state starts as the decoder's does.
// True where the old file's head went on the literal stream and no block
// came to code its literals: the head is then read for nothing.
bool qzd_code(const qzd_coder *lined_up, const std::vector<qzd_region> &regions, strm *out, bool code_literals)
{
    qzd_coder c;
    c.old = lined_up->old;
    c.old_len = lined_up->old_len;
    c.nw = lined_up->nw;
    c.new_len = lined_up->new_len;
    c.lit_coder = code_literals ? qzd_lit_coder_new() : nullptr;
    // New text says the old text's words again: its literals may match the
    // old file's head.
    bool primed = c.lit_coder && c.old_len > 0;
    if (primed) {
        qzd_lit_prime(c.lit_coder, c.old, std::min(c.old_len, QZD_WINDOW));
        c.first_sync = QZD_PRIMED;
    }
    qzd_tok_model_init(&c.tok);
    uint32_t new_len = c.new_len;

    uint32_t p = 0, block_start = 0, block_end = 0, lits = 0;
    // Room left in the block, which is begun when the last one is full.
    auto room = [&]() {
        if (p < block_end)
            return block_end - p - lits;
        if (c.b)
            qzd_end_block(&c, out, block_end - block_start);
        block_start = p;
        block_end = p + (new_len - p < QZT_BLOCK ? new_len - p : QZT_BLOCK);
        qzd_begin_block(&c);
        return block_end - p;
    };
    auto flush = [&]() {
        qzd_put_literals(&c, p, lits);
        p += lits;
        lits = 0;
    };
    std::vector<qzd_region> pieces;
    for (const qzd_region &region : regions) {
        pieces.clear();
        qzd_split(&c, region, p + lits, &pieces);
        qzd_near_islands(&c, p + lits, &pieces);
        for (const qzd_region &r : pieces) {
            for (uint32_t done = 0; done < r.len;) {
                uint32_t k = r.len - done < room() ? r.len - done : room();
                flush();
                // Literals that fill the block leave the copy to the next one.
                if (k == 0)
                    continue;
                qzd_put_copy(&c, r.from + done, p, k, p + k == block_end);
                p += k;
                done += k;
            }
            for (uint32_t left = r.extra; left > 0;) {
                uint32_t k = left < room() ? left : room();
                lits += k;
                left -= k;
                if (p + lits == block_end)
                    flush();
            }
        }
    }
    if (lits > 0)
        flush();
    if (c.b)
        qzd_end_block(&c, out, block_end - block_start);
    qzd_lit_coder_free(c.lit_coder);
    return primed && !c.coded_lits;
}

// The delta in bytes to out; where the old file's head is read for nothing,
// without the first sync word's QZD_PRIMED, so that the decoder does not
// read it: the blocks decode the same, as none of them codes literals.
void qzd_write(strm *out, const uint8_t *bytes, uint32_t len, bool head_unused)
{
    if (head_unused && len >= 2) {
        qzd_put16(out, static_cast<uint32_t>(bytes[0] << 8 | bytes[1]) & ~uint32_t{QZD_PRIMED});
        bytes += 2;
        len -= 2;
    }
    strm_write(out, bytes, static_cast<int32_t>(len));
}

// The length of a coded delta as the record's compression packs it, which
// is what the patch carries: that compression makes almost nothing of plain
// blocks that repeat, as the unchanged blocks of a file that hardly changed
// do, where coded sections stay what they are (a 300 KB text with one
// paragraph added: 216 bytes as literals alone, 198 packed; 230 bytes as
// copies, 158 packed). Its length as it stands where memory runs out.
uint32_t qzd_packed_len(strm *coded)
{
    uint32_t len;
    const uint8_t *bytes = mstrm_data(coded, &len);
    std::unique_ptr<strm, decltype(&strm_release)> packed(mstrm_new_writer(), strm_release);
    if (!packed || !qzt_encode(bytes, len, QZT_LEVEL_BEST, packed.get()))
        return len;
    mstrm_data(packed.get(), &len);
    return len;
}

// The line-ups, and the deltas coded from them, as each's tasks make them:
// task k codes the line-up coding[k].
struct qzd_ways {
    const qzd_coder *c;
    std::vector<qzd_region> way[WAYS_TRIED + 1];  // the line-ups, then the literals alone
    int coding[WAYS_TRIED + 1];
    strm *coded[WAYS_TRIED + 1];
    bool head_unused[WAYS_TRIED + 1];
    bool code_literals;
};

void qzd_line_up_way(void *ctx, int k)
{
    auto *w = static_cast<qzd_ways *>(ctx);
    w->way[k] = qzd_islands(w->c, qzd_line_up(w->c, SAVED_BITS[k]));
}

void qzd_line_up_other(void *ctx, int k)
{
    qzd_line_up_way(ctx, k + 1);
}

void qzd_code_way(void *ctx, int k)
{
    auto *w = static_cast<qzd_ways *>(ctx);
    w->head_unused[k] = qzd_code(w->c, w->way[w->coding[k]], w->coded[k], w->code_literals);
}

// task(ctx, k) for every k below count: through each, or one after the other.
void qzd_run(qzd_each_fn each, void (*task)(void *ctx, int k), void *ctx, int count)
{
    if (each) {
        each(task, ctx, count);
        return;
    }
    for (int k = 0; k < count; k++)
        task(ctx, k);
}

}  // namespace

// Each different line-up is coded into memory and the shortest delta written
// out (the first of those the same length), or a lone one straight to out.
void qzd_encode(const uint8_t *old, uint32_t old_len, const uint8_t *new_data, uint32_t new_len, strm *out,
                bool code_literals, qzd_each_fn each)
{
    qzd_coder c;
    c.old = old;
    c.old_len = old_len;
    c.nw = new_data;
    c.new_len = new_len;
    qzd_index_old(&c);
    qzd_ways w = {&c, {}, {}, {}, {}, code_literals};
    // Where a quarter of the new file or more lies between the first
    // line-up's regions as bytes that no coding makes shorter (compressed
    // members), their coding is most of the time and of the delta, and the
    // line-ups' deltas differ by little (0.02% on resources.pak, 0.03% on
    // java.base.jmod): the first alone is made and coded. Code or text
    // between the regions is no sign: clamav's sigtool has 76% of it, and
    // its second line-up is 1.3% shorter. The others come after the first,
    // at once with each: on two threads three line-ups take two turns
    // whichever way, and such a file is lined up once.
    qzd_line_up_way(&w, 0);
    bool others = qzd_flat_bytes(&c, w.way[0]) * FLAT_SHARE < new_len;
    if (others)
        qzd_run(each, qzd_line_up_other, &w, WAYS_TRIED - 1);
    int ways = others ? WAYS_TRIED : 1, literal_way = -1;
    if (code_literals && old_len <= LITERAL_WAY_MOST && new_len <= LITERAL_WAY_MOST) {
        literal_way = ways;
        w.way[ways++] = {{0, 0, new_len}};
    }
    int count = 0;
    for (int k = 0; k < ways; k++) {
        bool seen = false;
        for (int j = 0; j < count; j++)
            seen = seen || w.way[w.coding[j]] == w.way[k];
        if (!seen)
            w.coding[count++] = k;
    }
    c.index.clear();
    c.index.shrink_to_fit();
    c.tags.clear();
    c.tags.shrink_to_fit();
    c.next.clear();
    c.next.shrink_to_fit();

    // Each different one into memory, where there are several or where the
    // old file's head may be read for nothing, so that its flag can go
    // before the delta is written out; else, or without memory for them
    // all, the first alone, straight to out.
    using coded_ptr = std::unique_ptr<strm, decltype(&strm_release)>;
    std::vector<coded_ptr> coded;
    bool in_memory = count > 1 || (code_literals && old_len > 0);
    for (int k = 0; in_memory && k < count; k++) {
        coded.emplace_back(mstrm_new_writer(), strm_release);
        w.coded[k] = coded.back().get();
        in_memory = w.coded[k] != nullptr;
    }
    if (!in_memory) {
        coded.clear();
        qzd_code(&c, w.way[0], out, code_literals);
        return;
    }
    qzd_run(each, qzd_code_way, &w, count);
    int best = 0;
    uint32_t len, best_len = count > 1 ? qzd_packed_len(w.coded[0]) : 0;
    for (int k = 1; k < count; k++) {
        len = qzd_packed_len(w.coded[k]);
        // The literals alone come last, with the line-ups' best to beat.
        uint64_t gain = w.coding[k] == literal_way ? LITERAL_WAY_GAIN : 0;
        if (gain ? len * gain < best_len * (gain - 1) : len < best_len) {
            best = k;
            best_len = len;
        }
    }
    const uint8_t *bytes = mstrm_data(w.coded[best], &len);
    qzd_write(out, bytes, len, w.head_unused[best]);
}
