// Encoding choices for PNG screenshots, measured on real pictures: row filter,
// deflate implementation and level, zlib strategy, and compressing in parallel
// parts joined at sync points. Every output is decoded again with libpng and
// compared with the source. The last line per picture is the shipping encoder.
//   build-png/bench/bench_png_encode [runs] picture.png...
#include "Tessera/Deflate.h"
#include "Tessera/ImagePng.h"

#include <libdeflate.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace overlook;

namespace {

struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels; // opaque 0xFFRRGGBB
};

bool readPng(const char* path, Picture& out) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path))
        return false;
    image.format = PNG_FORMAT_BGRA;
    out.width = int(image.width), out.height = int(image.height);
    out.pixels.resize(std::size_t(out.width) * out.height);
    const bool ok = png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr);
    for (auto& p : out.pixels)
        p |= 0xFF000000u;
    return ok;
}

// Filtered RGB rows, each led by its filter byte.
enum class Filter { Sub, Up, Paeth, MinSum };

std::vector<std::uint8_t> filterRows(const Picture& p, Filter filter) {
    const std::size_t rowBytes = std::size_t(p.width) * 3;
    std::vector<std::uint8_t> out((rowBytes + 1) * p.height), rgb(rowBytes), prior(rowBytes, 0), cand[3];
    for (auto& c : cand)
        c.resize(rowBytes);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            const std::uint32_t v = p.pixels[std::size_t(y) * p.width + x];
            rgb[3 * x] = std::uint8_t(v >> 16), rgb[3 * x + 1] = std::uint8_t(v >> 8), rgb[3 * x + 2] = std::uint8_t(v);
        }
        for (std::size_t i = 0; i < rowBytes; ++i) {
            const int a = i >= 3 ? rgb[i - 3] : 0, b = prior[i], c = i >= 3 ? prior[i - 3] : 0;
            cand[0][i] = std::uint8_t(rgb[i] - a);
            cand[1][i] = std::uint8_t(rgb[i] - b);
            const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
            cand[2][i] = std::uint8_t(rgb[i] - (pa <= pb && pa <= pc ? a : pb <= pc ? b : c));
        }
        int pick = filter == Filter::Sub ? 0 : filter == Filter::Up ? 1 : 2;
        if (filter == Filter::MinSum) {
            long best = -1;
            for (int k = 0; k < 3; ++k) {
                long sum = 0;
                for (auto v : cand[k])
                    sum += v < 128 ? v : 256 - v;
                if (best < 0 || sum < best)
                    best = sum, pick = k;
            }
        }
        std::uint8_t* row = out.data() + (rowBytes + 1) * y;
        row[0] = std::uint8_t(pick == 0 ? 1 : pick == 1 ? 2 : 4);
        std::memcpy(row + 1, cand[pick].data(), rowBytes);
        prior = rgb;
    }
    return out;
}

// A zlib stream of `data` in `parts` raw deflate pieces, each but the last ending
// with a sync flush, compressed on one thread each.
std::vector<std::uint8_t> zlibParts(const std::vector<std::uint8_t>& data, int level, int strategy, int parts) {
    std::vector<std::vector<std::uint8_t>> pieces(parts);
    auto work = [&](int k) {
        const std::size_t from = data.size() * k / parts, to = data.size() * (k + 1) / parts;
        z_stream z{};
        deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy);
        pieces[k].resize(deflateBound(&z, uLong(to - from)) + 64);
        z.next_in = const_cast<Bytef*>(data.data() + from);
        z.avail_in = uInt(to - from);
        z.next_out = pieces[k].data();
        z.avail_out = uInt(pieces[k].size());
        deflate(&z, k == parts - 1 ? Z_FINISH : Z_SYNC_FLUSH);
        pieces[k].resize(z.total_out);
        deflateEnd(&z);
    };
    std::vector<std::thread> threads;
    for (int k = 1; k < parts; ++k)
        threads.emplace_back(work, k);
    work(0);
    const uLong adler = adler32(1, data.data(), uInt(data.size()));
    for (auto& t : threads)
        t.join();
    std::vector<std::uint8_t> out = {0x78, 0x01};
    for (auto& piece : pieces)
        out.insert(out.end(), piece.begin(), piece.end());
    for (int s = 24; s >= 0; s -= 8)
        out.push_back(std::uint8_t(adler >> s));
    return out;
}

// The shipping coder in one part, a block per 128 KiB: every byte a literal
// (`matches` false), or greedy matches with the block before in reach.
std::vector<std::uint8_t> ownZlib(const std::vector<std::uint8_t>& data, bool matches) {
    constexpr std::size_t kBlock = 128u << 10;
    std::vector<std::uint8_t> out(2 + overlook::DeflateWriter::bound(data.size(), data.size() / kBlock + 1) + 4);
    out[0] = 0x78, out[1] = 0x01;
    overlook::DeflateWriter writer(out.data() + 2);
    for (std::size_t at = 0; at < data.size(); at += kBlock) {
        const std::size_t n = std::min(kBlock, data.size() - at);
        if (matches)
            writer.matches(data.data() + at, n, at);
        else
            writer.literals(data.data() + at, n);
    }
    out.resize(2 + writer.finish(true));
    const uLong adler = adler32(1, data.data(), uInt(data.size()));
    for (int s = 24; s >= 0; s -= 8)
        out.push_back(std::uint8_t(adler >> s));
    return out;
}

std::vector<std::uint8_t> libdeflateZlib(const std::vector<std::uint8_t>& data, int level) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    std::vector<std::uint8_t> out(libdeflate_zlib_compress_bound(c, data.size()));
    out.resize(libdeflate_zlib_compress(c, data.data(), data.size(), out.data(), out.size()));
    libdeflate_free_compressor(c);
    return out;
}

void putBig32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    for (int s = 24; s >= 0; s -= 8)
        v.push_back(std::uint8_t(x >> s));
}

void chunk(std::vector<std::uint8_t>& file, const char* type, const std::uint8_t* data, std::size_t size) {
    putBig32(file, std::uint32_t(size));
    const std::size_t start = file.size();
    file.insert(file.end(), type, type + 4);
    file.insert(file.end(), data, data + size);
    putBig32(file, std::uint32_t(crc32(0, file.data() + start, uInt(size + 4))));
}

std::vector<std::uint8_t> pngFile(const Picture& p, const std::vector<std::uint8_t>& zlib) {
    std::vector<std::uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::uint8_t ihdr[13] = {};
    for (int i = 0; i < 4; ++i)
        ihdr[i] = std::uint8_t(p.width >> (24 - 8 * i)), ihdr[4 + i] = std::uint8_t(p.height >> (24 - 8 * i));
    ihdr[8] = 8, ihdr[9] = 2;
    chunk(file, "IHDR", ihdr, 13);
    chunk(file, "IDAT", zlib.data(), zlib.size());
    chunk(file, "IEND", nullptr, 0);
    return file;
}

bool decodesTo(const std::vector<std::uint8_t>& file, const Picture& p) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size()))
        return false;
    image.format = PNG_FORMAT_BGRA;
    std::vector<std::uint32_t> back(std::size_t(p.width) * p.height);
    if (!png_image_finish_read(&image, nullptr, back.data(), 0, nullptr))
        return false;
    return back == p.pixels;
}

// Median and fastest run: on a shared machine the fastest shows the code, the
// median what a user may see.
struct Timing {
    double median = 0, fastest = 0;
};

Timing time(int runs, const std::function<std::vector<std::uint8_t>()>& encode, std::vector<std::uint8_t>& file) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        file = encode();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times.front()};
}

} // namespace

int main(int argc, char** argv) {
    int first = 1, runs = 9;
    if (argc > 1 && std::atoi(argv[1]) > 0)
        runs = std::atoi(argv[1]), first = 2;
    for (int a = first; a < argc; ++a) {
        Picture p;
        if (!readPng(argv[a], p)) {
            std::fprintf(stderr, "cannot read %s\n", argv[a]);
            return 1;
        }
        std::printf("%s (%dx%d), median of %d runs\n", argv[a], p.width, p.height, runs);
        std::printf("%-36s %9s %8s %11s\n", "variant", "median ms", "min ms", "bytes");
        struct Variant {
            const char* name;
            Filter filter;
            std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>&)> compress;
        };
        const std::vector<Variant> variants = {
            {"SUB   zlib 1", Filter::Sub, [](auto& d) { return zlibParts(d, 1, Z_DEFAULT_STRATEGY, 1); }},
            {"SUB   zlib 1, 2 parts", Filter::Sub, [](auto& d) { return zlibParts(d, 1, Z_DEFAULT_STRATEGY, 2); }},
            {"SUB   zlib 1, 4 parts", Filter::Sub, [](auto& d) { return zlibParts(d, 1, Z_DEFAULT_STRATEGY, 4); }},
            {"SUB   zlib 2", Filter::Sub, [](auto& d) { return zlibParts(d, 2, Z_DEFAULT_STRATEGY, 1); }},
            {"SUB   zlib 1 Z_RLE", Filter::Sub, [](auto& d) { return zlibParts(d, 1, Z_RLE, 1); }},
            {"SUB   own literals", Filter::Sub, [](auto& d) { return ownZlib(d, false); }},
            {"SUB   own greedy matches", Filter::Sub, [](auto& d) { return ownZlib(d, true); }},
            {"SUB   zlib 1 Z_HUFFMAN_ONLY", Filter::Sub, [](auto& d) { return zlibParts(d, 1, Z_HUFFMAN_ONLY, 1); }},
            {"SUB   libdeflate 1", Filter::Sub, [](auto& d) { return libdeflateZlib(d, 1); }},
            {"SUB   libdeflate 2", Filter::Sub, [](auto& d) { return libdeflateZlib(d, 2); }},
            {"SUB   libdeflate 4", Filter::Sub, [](auto& d) { return libdeflateZlib(d, 4); }},
            {"UP    zlib 1", Filter::Up, [](auto& d) { return zlibParts(d, 1, Z_DEFAULT_STRATEGY, 1); }},
            {"UP    zlib 1 Z_RLE", Filter::Up, [](auto& d) { return zlibParts(d, 1, Z_RLE, 1); }},
            {"PAETH zlib 1", Filter::Paeth, [](auto& d) { return zlibParts(d, 1, Z_DEFAULT_STRATEGY, 1); }},
            {"min-sum/row zlib 1", Filter::MinSum, [](auto& d) { return zlibParts(d, 1, Z_DEFAULT_STRATEGY, 1); }},
            {"min-sum/row libdeflate 1", Filter::MinSum, [](auto& d) { return libdeflateZlib(d, 1); }},
        };
        // Compression alone: the reference filters here are plain loops, not the
        // shipping SIMD one, so their cost is shown apart, once per filter.
        for (const auto& v : variants) {
            std::vector<std::uint8_t> rows, file;
            const Timing filter = time(runs, [&] { return filterRows(p, v.filter); }, rows);
            const Timing t = time(runs, [&] { return pngFile(p, v.compress(rows)); }, file);
            std::printf("%-36s %9.1f %8.1f %11zu   (filter %.1f ms)%s\n", v.name, t.median, t.fastest, file.size(),
                        filter.median,
                        decodesTo(file, p) ? "" : "  DECODES WRONG");
        }
        const RenderDestination source{reinterpret_cast<std::uint8_t*>(p.pixels.data()), p.width, p.height, p.width * 4};
        PngData png;
        std::vector<std::uint8_t> unused;
        const Timing t = time(runs, [&] {
            png = encodePng(source);
            return std::vector<std::uint8_t>();
        }, unused);
        const std::vector<std::uint8_t> file(png.data(), png.data() + png.size);
        std::printf("%-36s %9.1f %8.1f %11zu%s\n\n", "encodePng (shipping, with its filter)", t.median, t.fastest,
                    png.size,
                    decodesTo(file, p) ? "" : "  DECODES WRONG");
    }
}
