#include "Deflate.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace overlook {

namespace {

constexpr int kStoredMax = 65535;

// Deflate's bits go least significant first; a 64-bit buffer is written out eight
// bytes at a time, of which only the whole bytes count (the rest is written again).
struct BitWriter {
    std::uint8_t* out;
    std::uint64_t buffer = 0;
    int count = 0;

    void put(std::uint32_t bits, int n) {
        buffer |= std::uint64_t(bits) << count;
        count += n;
        if (count >= 32)
            flush();
    }
    void flush() {
        std::memcpy(out, &buffer, 8);
        out += count >> 3;
        buffer >>= count & ~7;
        count &= 7;
    }
    // Pads with zero bits to the next byte and writes out everything.
    void align() {
        count = (count + 7) & ~7;
        flush();
        count = 0;
        buffer = 0;
    }
};

// Lengths of an optimal prefix code over `freq`, none longer than `limit` (a symbol
// with frequency 0 gets 0). At least two symbols get a code, as every inflater
// accepts; with one in use the second is a neighbour.
void codeLengths(const std::uint32_t* freq, int n, int limit, std::uint8_t* lengths) {
    std::fill(lengths, lengths + n, 0);
    std::vector<std::pair<std::uint32_t, int>> used; // frequency, symbol; rarest first
    for (int s = 0; s < n; ++s)
        if (freq[s])
            used.emplace_back(freq[s], s);
    if (used.size() < 2) {
        const int s = used.empty() ? 0 : used[0].second;
        lengths[s] = lengths[s == 0 ? 1 : s - 1] = 1;
        return;
    }
    std::sort(used.begin(), used.end());
    const int m = static_cast<int>(used.size());
    // In-place minimum-redundancy code (Moffat and Katajainen): a[] ends up with the
    // lengths, longest first.
    std::vector<std::uint32_t> a(m);
    for (int i = 0; i < m; ++i)
        a[i] = used[i].first;
    a[0] += a[1];
    int root = 0, leaf = 2;
    for (int next = 1; next < m - 1; ++next) {
        if (leaf >= m || a[root] < a[leaf]) {
            a[next] = a[root];
            a[root++] = next;
        } else {
            a[next] = a[leaf++];
        }
        if (leaf >= m || (root < next && a[root] < a[leaf])) {
            a[next] += a[root];
            a[root++] = next;
        } else {
            a[next] += a[leaf++];
        }
    }
    a[m - 2] = 0;
    for (int next = m - 3; next >= 0; --next)
        a[next] = a[a[next]] + 1;
    int available = 1, usedHere = 0, depth = 0;
    root = m - 2;
    int next = m - 1;
    while (available > 0) {
        while (root >= 0 && int(a[root]) == depth) {
            ++usedHere;
            --root;
        }
        while (available > usedHere) {
            a[next--] = depth;
            --available;
        }
        available = 2 * usedHere;
        ++depth;
        usedHere = 0;
    }
    // Too long codes: move leaves up in pairs and push a shorter one down, which
    // keeps the code complete (the classic JPEG adjustment).
    std::array<int, 64> count{};
    int longest = 0;
    for (int i = 0; i < m; ++i) {
        ++count[a[i]];
        longest = std::max(longest, int(a[i]));
    }
    for (int i = longest; i > limit; --i) {
        while (count[i] > 0) {
            int j = i - 2;
            while (count[j] == 0)
                --j;
            count[i] -= 2;
            count[i - 1] += 1;
            count[j + 1] += 2;
            count[j] -= 1;
        }
    }
    // Longest codes to the rarest symbols.
    int k = 0;
    for (int len = std::min(longest, limit); len >= 1; --len)
        for (int c = 0; c < count[len]; ++c)
            lengths[used[k++].second] = static_cast<std::uint8_t>(len);
}

// Canonical codes for `lengths`, bit-reversed for deflate's order.
void canonicalCodes(const std::uint8_t* lengths, int n, std::uint16_t* codes) {
    int count[16] = {};
    for (int s = 0; s < n; ++s)
        ++count[lengths[s]];
    count[0] = 0;
    int next[16] = {};
    for (int len = 1, code = 0; len < 16; ++len) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
    }
    for (int s = 0; s < n; ++s) {
        const int len = lengths[s];
        if (!len)
            continue;
        unsigned code = static_cast<unsigned>(next[len]++), reversed = 0;
        for (int b = 0; b < len; ++b, code >>= 1)
            reversed = (reversed << 1) | (code & 1);
        codes[s] = static_cast<std::uint16_t>(reversed);
    }
}

void storedBlocks(BitWriter& w, const std::uint8_t* bytes, std::size_t size) {
    for (std::size_t at = 0; at < size; at += kStoredMax) {
        const std::size_t n = std::min<std::size_t>(kStoredMax, size - at);
        w.put(0, 3); // not final, stored
        w.align();
        const std::uint8_t head[4] = {std::uint8_t(n), std::uint8_t(n >> 8), std::uint8_t(~n), std::uint8_t(~n >> 8)};
        std::memcpy(w.out, head, 4);
        std::memcpy(w.out + 4, bytes + at, n);
        w.out += 4 + n;
    }
}

// The length and distance codes of deflate: base values and extra bits.
constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDistanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,    65,    97,    129,
                                             193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr int kWindow = 32768;
constexpr int kMaxMatch = 258;
constexpr int kHashBits = 15;
constexpr std::size_t kInsertWithin = 16;
constexpr std::size_t kLazyBelow = 32;

struct CodeTables {
    std::uint8_t lengthCode[kMaxMatch + 1] = {};
    std::uint8_t distanceCode[kWindow + 1] = {};
    CodeTables() {
        for (int k = 0; k < 29; ++k)
            for (int len = kLengthBase[k]; len < (k == 28 ? 259 : kLengthBase[k] + (1 << kLengthExtra[k])); ++len)
                lengthCode[len] = static_cast<std::uint8_t>(k);
        for (int k = 0; k < 30; ++k)
            for (int d = kDistanceBase[k]; d < kDistanceBase[k] + (1 << kDistanceExtra[k]) && d <= kWindow; ++d)
                distanceCode[d] = static_cast<std::uint8_t>(k);
    }
};
const CodeTables& codeTables() {
    static const CodeTables tables;
    return tables;
}

// A block's Huffman codes and the header that describes them.
struct BlockCodes {
    std::uint8_t litLengths[286] = {}, distLengths[30] = {};
    std::uint16_t litCodes[286] = {}, distCodes[30] = {};
    int litCount = 257, distCount = 1;
    struct Op {
        std::uint8_t symbol, extra;
    };
    std::vector<Op> ops; // the code lengths, run-length coded
    std::uint8_t clLengths[19] = {};
    std::uint16_t clCodes[19] = {};
    int clCount = 19;
    std::size_t headerBits = 0;

    static constexpr std::uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    static int extraBits(int symbol) { return symbol == 16 ? 2 : symbol == 17 ? 3 : symbol == 18 ? 7 : 0; }

    BlockCodes(const std::uint32_t* litFreq, const std::uint32_t* distFreq) {
        codeLengths(litFreq, 286, 15, litLengths);
        codeLengths(distFreq, 30, 15, distLengths); // with no distance in use, two codes of one bit
        while (litCount < 286 && std::any_of(litLengths + litCount, litLengths + 286, [](auto l) { return l; }))
            ++litCount;
        for (int d = 29; d >= 0; --d)
            if (distLengths[d]) {
                distCount = d + 1;
                break;
            }
        canonicalCodes(litLengths, 286, litCodes);
        canonicalCodes(distLengths, 30, distCodes);
        // The lengths of both codes as one sequence (runs may cross from one to
        // the other). 16: repeat the last 3-6 times, 17: 3-10 zeros, 18: 11-138 zeros.
        std::uint8_t lengths[286 + 30];
        std::memcpy(lengths, litLengths, litCount);
        std::memcpy(lengths + litCount, distLengths, distCount);
        const int n = litCount + distCount;
        for (int at = 0; at < n;) {
            const std::uint8_t v = lengths[at];
            int run = 1;
            while (at + run < n && lengths[at + run] == v)
                ++run;
            int rest = run;
            if (v == 0) {
                for (; rest >= 11; rest -= std::min(rest, 138))
                    ops.push_back({18, std::uint8_t(std::min(rest, 138) - 11)});
                if (rest >= 3) {
                    ops.push_back({17, std::uint8_t(rest - 3)});
                    rest = 0;
                }
            } else {
                ops.push_back({v, 0});
                for (--rest; rest >= 3; rest -= std::min(rest, 6))
                    ops.push_back({16, std::uint8_t(std::min(rest, 6) - 3)});
            }
            for (; rest > 0; --rest)
                ops.push_back({v, 0});
            at += run;
        }
        std::uint32_t clFreq[19] = {};
        for (const Op& op : ops)
            ++clFreq[op.symbol];
        codeLengths(clFreq, 19, 7, clLengths);
        canonicalCodes(clLengths, 19, clCodes);
        while (clCount > 4 && clLengths[kOrder[clCount - 1]] == 0)
            --clCount;
        headerBits = 3 + 5 + 5 + 4 + 3 * std::size_t(clCount);
        for (const Op& op : ops)
            headerBits += clLengths[op.symbol] + extraBits(op.symbol);
    }

    void writeHeader(BitWriter& w) const {
        w.put(0b100, 3); // not final, dynamic codes
        w.put(static_cast<std::uint32_t>(litCount - 257), 5);
        w.put(static_cast<std::uint32_t>(distCount - 1), 5);
        w.put(static_cast<std::uint32_t>(clCount - 4), 4);
        for (int k = 0; k < clCount; ++k)
            w.put(clLengths[kOrder[k]], 3);
        for (const Op& op : ops) {
            w.put(clCodes[op.symbol], clLengths[op.symbol]);
            if (op.symbol >= 16)
                w.put(op.extra, extraBits(op.symbol));
        }
    }
};

std::size_t storedBits(std::size_t size) { return 8 * (size + 5 * (size / kStoredMax + 1)); }

} // namespace

struct DeflateWriter::State {
    explicit State(std::uint8_t* out) : w{out}, start(out) {}
    BitWriter w;
    std::uint8_t* start;
    std::uint64_t taken = 0; // bytes of input so far: the positions in the hash table count from here
    std::vector<std::uint32_t> head; // per hash of four bytes, 1 + the last two positions seen
    std::vector<std::uint32_t> symbols; // a literal byte, or distance << 16 | length
};

std::size_t DeflateWriter::bound(std::size_t size, std::size_t blocks) {
    return size + 5 * (size / kStoredMax + blocks + 1) + 16;
}

DeflateWriter::DeflateWriter(std::uint8_t* out) : state_(std::make_unique<State>(out)) {}

DeflateWriter::~DeflateWriter() = default;

void DeflateWriter::literals(const std::uint8_t* bytes, std::size_t size) {
    State& s = *state_;
    s.taken += size;
    if (size == 0)
        return;
    BitWriter& w = s.w;
    // Four tables so that runs of one byte value do not wait on one counter.
    std::uint32_t histogram[4][256] = {};
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        ++histogram[0][bytes[i]];
        ++histogram[1][bytes[i + 1]];
        ++histogram[2][bytes[i + 2]];
        ++histogram[3][bytes[i + 3]];
    }
    for (; i < size; ++i)
        ++histogram[0][bytes[i]];
    std::uint32_t litFreq[286] = {}, distFreq[30] = {};
    for (int b = 0; b < 256; ++b)
        litFreq[b] = histogram[0][b] + histogram[1][b] + histogram[2][b] + histogram[3][b];
    litFreq[256] = 1;
    const BlockCodes codes(litFreq, distFreq);
    std::size_t bits = codes.headerBits + codes.litLengths[256];
    for (int b = 0; b < 256; ++b)
        bits += std::size_t(litFreq[b]) * codes.litLengths[b];
    if (bits > storedBits(size)) {
        storedBlocks(w, bytes, size); // nothing to gain: noise
        return;
    }
    codes.writeHeader(w);
    // Code and length in one word; three codes (at most 45 bits) go into the buffer
    // between writes, which leave fewer than 8 bits behind.
    std::uint32_t table[256];
    for (int b = 0; b < 256; ++b)
        table[b] = codes.litCodes[b] | std::uint32_t(codes.litLengths[b]) << 16;
    w.flush();
    std::uint8_t* o = w.out;
    std::uint64_t buffer = w.buffer;
    int count = w.count;
    std::size_t k = 0;
    for (; k + 3 <= size; k += 3) {
        const std::uint32_t a = table[bytes[k]], b = table[bytes[k + 1]], c = table[bytes[k + 2]];
        buffer |= std::uint64_t(a & 0xFFFF) << count;
        count += int(a >> 16);
        buffer |= std::uint64_t(b & 0xFFFF) << count;
        count += int(b >> 16);
        buffer |= std::uint64_t(c & 0xFFFF) << count;
        count += int(c >> 16);
        std::memcpy(o, &buffer, 8);
        o += count >> 3;
        buffer >>= count & ~7;
        count &= 7;
    }
    w.out = o;
    w.buffer = buffer;
    w.count = count;
    for (; k < size; ++k)
        w.put(codes.litCodes[bytes[k]], codes.litLengths[bytes[k]]);
    w.put(codes.litCodes[256], codes.litLengths[256]);
}

void DeflateWriter::matches(const std::uint8_t* data, std::size_t size, std::size_t history) {
    State& s = *state_;
    const CodeTables& tables = codeTables();
    if (s.head.empty())
        s.head.assign(std::size_t(2) << kHashBits, 0);
    const std::uint64_t base = s.taken; // the position of data[0]
    s.taken += size;
    if (size == 0)
        return;
    const std::size_t reach = std::min<std::size_t>(history, kWindow);
    std::uint32_t litFreq[286] = {}, distFreq[30] = {};
    std::vector<std::uint32_t>& symbols = s.symbols;
    symbols.clear();
    const auto load32 = [](const std::uint8_t* p) {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    };
    const auto matchLength = [&](std::size_t i, std::uint64_t distance) -> std::size_t {
        const std::uint8_t* a = data + i - distance;
        const std::uint8_t* b = data + i;
        const std::size_t longest = std::min<std::size_t>(kMaxMatch, size - i);
        std::size_t len = 0;
        for (;;) {
            if (len + 8 > longest) {
                while (len < longest && a[len] == b[len])
                    ++len;
                return len;
            }
            std::uint64_t x, y;
            std::memcpy(&x, a + len, 8);
            std::memcpy(&y, b + len, 8);
            if (x != y)
                return len + static_cast<std::size_t>(__builtin_ctzll(x ^ y) >> 3);
            len += 8;
        }
    };
    // Greedy: the longer match at the last two places with the same four bytes, if
    // near enough, else a literal.
    const auto insert = [&](std::size_t k) {
        std::uint32_t* bucket = &s.head[2 * ((load32(data + k) * 2654435761u) >> (32 - kHashBits))];
        bucket[1] = bucket[0];
        bucket[0] = static_cast<std::uint32_t>(base + k + 1);
    };
    // The longer match at the last two places with the same four bytes as at `at`
    // (if near enough), and `at` remembered.
    struct Found {
        std::size_t len = 0;
        std::uint64_t distance = 0;
    };
    const auto find = [&](std::size_t at) {
        const std::uint32_t v = load32(data + at);
        std::uint32_t* bucket = &s.head[2 * ((v * 2654435761u) >> (32 - kHashBits))];
        const std::uint64_t here = base + at, limit = std::min<std::uint64_t>(kWindow, at + reach);
        Found best;
        for (int c = 0; c < 2; ++c) {
            const std::uint64_t seen = bucket[c], d = here + 1 - seen;
            if (!seen || d > limit || load32(data + at - d) != v)
                continue;
            const std::size_t l = matchLength(at, d);
            if (l > best.len)
                best = {l, d};
        }
        bucket[1] = bucket[0];
        bucket[0] = static_cast<std::uint32_t>(here + 1);
        return best;
    };
    std::size_t i = 0;
    while (i + 4 <= size) {
        Found match = find(i);
        std::size_t remembered = i + 1; // the first place not yet in the table
        // A short match may hide a longer one a byte later: then a literal first.
        if (match.len >= 4 && match.len < kLazyBelow && i + 5 <= size) {
            const Found next = find(i + 1);
            remembered = i + 2;
            if (next.len > match.len) {
                symbols.push_back(data[i]);
                ++litFreq[data[i]];
                ++i;
                match = next;
            }
        }
        if (match.len >= 4) {
            const std::size_t len = match.len;
            const std::uint64_t distance = match.distance;
            symbols.push_back(static_cast<std::uint32_t>(distance << 16 | len));
            ++litFreq[257 + tables.lengthCode[len]];
            ++distFreq[tables.distanceCode[distance]];
            // The places inside a short match go into the table too (glyphs
            // repeat in pieces); a long one is a run, whose inside finds nothing new.
            if (len <= kInsertWithin)
                for (std::size_t k = remembered; k < i + len && k + 4 <= size; ++k)
                    insert(k);
            i += len;
            continue;
        }
        symbols.push_back(data[i]);
        ++litFreq[data[i]];
        ++i;
    }
    for (; i < size; ++i) {
        symbols.push_back(data[i]);
        ++litFreq[data[i]];
    }
    litFreq[256] = 1;
    const BlockCodes codes(litFreq, distFreq);
    std::size_t bits = codes.headerBits;
    for (int c = 0; c < 286; ++c)
        bits += std::size_t(litFreq[c]) * (codes.litLengths[c] + (c >= 257 ? kLengthExtra[c - 257] : 0));
    for (int d = 0; d < 30; ++d)
        bits += std::size_t(distFreq[d]) * (codes.distLengths[d] + kDistanceExtra[d]);
    BitWriter& w = s.w;
    if (bits > storedBits(size)) {
        storedBlocks(w, data, size);
        return;
    }
    codes.writeHeader(w);
    for (const std::uint32_t symbol : symbols) {
        if (symbol < 256) {
            w.put(codes.litCodes[symbol], codes.litLengths[symbol]);
            continue;
        }
        const unsigned len = symbol & 0xFFFF, distance = symbol >> 16;
        const int l = tables.lengthCode[len], d = tables.distanceCode[distance];
        w.put(codes.litCodes[257 + l], codes.litLengths[257 + l]);
        if (kLengthExtra[l])
            w.put(len - kLengthBase[l], kLengthExtra[l]);
        w.put(codes.distCodes[d], codes.distLengths[d]);
        if (kDistanceExtra[d])
            w.put(distance - kDistanceBase[d], kDistanceExtra[d]);
    }
    w.put(codes.litCodes[256], codes.litLengths[256]);
}

std::size_t DeflateWriter::finish(bool last) {
    BitWriter& w = state_->w;
    // An empty stored block ends the data on a byte boundary.
    w.put(last ? 1 : 0, 3);
    w.align();
    static constexpr std::uint8_t kEmpty[4] = {0, 0, 0xFF, 0xFF};
    std::memcpy(w.out, kEmpty, 4);
    w.out += 4;
    return static_cast<std::size_t>(w.out - state_->start);
}

} // namespace overlook
