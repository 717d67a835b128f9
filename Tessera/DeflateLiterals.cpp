#include "DeflateLiterals.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace overlook {

namespace {

constexpr int kLiteralCodes = 257; // the 256 byte values and the end of the block
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

} // namespace

std::size_t deflateLiteralsBound(std::size_t size) { return size + 5 * (size / kStoredMax + 2) + 16; }

std::size_t deflateLiterals(const std::uint8_t* bytes, std::size_t size, bool last, std::uint8_t* out) {
    BitWriter w{out};
    if (size > 0) {
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
        std::uint32_t freq[kLiteralCodes];
        for (int s = 0; s < 256; ++s)
            freq[s] = histogram[0][s] + histogram[1][s] + histogram[2][s] + histogram[3][s];
        freq[256] = 1;
        std::uint8_t lengths[kLiteralCodes + 2];
        codeLengths(freq, kLiteralCodes, 15, lengths);
        lengths[kLiteralCodes] = lengths[kLiteralCodes + 1] = 1; // two distance codes, never used

        // The lengths themselves, run-length coded (16: repeat the last 3-6 times,
        // 17: 3-10 zeros, 18: 11-138 zeros), then Huffman coded.
        struct Op {
            std::uint8_t symbol, extra;
        };
        std::vector<Op> ops;
        constexpr int n = kLiteralCodes + 2;
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
        std::uint32_t lengthFreq[19] = {};
        for (const Op& op : ops)
            ++lengthFreq[op.symbol];
        std::uint8_t lengthLengths[19];
        codeLengths(lengthFreq, 19, 7, lengthLengths);
        std::uint16_t lengthCodes[19] = {};
        canonicalCodes(lengthLengths, 19, lengthCodes);
        static constexpr std::uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        int lengthCount = 19;
        while (lengthCount > 4 && lengthLengths[kOrder[lengthCount - 1]] == 0)
            --lengthCount;

        std::size_t bits = 3 + 5 + 5 + 4 + 3 * std::size_t(lengthCount) + lengths[256];
        for (const Op& op : ops)
            bits += lengthLengths[op.symbol] + (op.symbol == 16 ? 2 : op.symbol == 17 ? 3 : op.symbol == 18 ? 7 : 0);
        for (int s = 0; s < 256; ++s)
            bits += std::size_t(freq[s]) * lengths[s];
        if (bits > 8 * (size + 5 * (size / kStoredMax + 1))) {
            storedBlocks(w, bytes, size); // nothing to gain: noise
        } else {
            std::uint16_t codes[kLiteralCodes] = {};
            canonicalCodes(lengths, kLiteralCodes, codes);
            w.put(0b100, 3); // not final, dynamic codes
            w.put(0, 5);     // 257 literal/length codes
            w.put(1, 5);     // 2 distance codes
            w.put(static_cast<std::uint32_t>(lengthCount - 4), 4);
            for (int k = 0; k < lengthCount; ++k)
                w.put(lengthLengths[kOrder[k]], 3);
            for (const Op& op : ops) {
                w.put(lengthCodes[op.symbol], lengthLengths[op.symbol]);
                if (op.symbol >= 16)
                    w.put(op.extra, op.symbol == 16 ? 2 : op.symbol == 17 ? 3 : 7);
            }
            // Code and length in one word; three codes (at most 45 bits) go into the
            // buffer between writes, which leave fewer than 8 bits behind.
            std::uint32_t table[256];
            for (int s = 0; s < 256; ++s)
                table[s] = codes[s] | std::uint32_t(lengths[s]) << 16;
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
                w.put(codes[bytes[k]], lengths[bytes[k]]);
            w.put(codes[256], lengths[256]);
        }
    }
    // An empty stored block ends the data on a byte boundary.
    w.put(last ? 1 : 0, 3);
    w.align();
    static constexpr std::uint8_t kEmpty[4] = {0, 0, 0xFF, 0xFF};
    std::memcpy(w.out, kEmpty, 4);
    w.out += 4;
    return static_cast<std::size_t>(w.out - out);
}

} // namespace overlook
