// load_bench.h - what the benchmarks share: the four kinds of
// picture they encode, the allocator pinned for the mode being measured, and
// rounds in which every contender runs once, in a shuffled order, so that each
// ratio compares two times taken moments apart. Prints, per comparison, the
// median of the per-round ratios and their spread, as table rows that
// bench/all.sh gathers.
//
// Modes (one per process, chosen on the command line):
//   warm        freed memory is reused: no block is ever given back to the
//               system, so no load pays page faults for memory another one
//               just freed (the order contenders run in cannot weigh).
//   --first-load every block of 128 KiB or more is fresh from the system and
//               given back when freed, so every load pays for first touching
//               its memory, as a program's first load does.
#ifndef LOAD_BENCH_H
#define LOAD_BENCH_H

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>
#include "image.h"

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>

// ---- pictures -----------------------------------------------------------

struct picture {
    std::string kind;  // photo, noise, screenshot, rgba
    uint32_t width, height;
    bool alpha;
    std::vector<uint32_t> pixels; // 0xAARRGGBB
    std::string label() const { return kind + " " + std::to_string(width) + "x" + std::to_string(height); }
};

inline uint32_t pack(int a, int r, int g, int b)
{
    auto clamp = [](int v) { return uint32_t(std::min(255, std::max(0, v))); };
    return clamp(a) << 24 | clamp(r) << 16 | clamp(g) << 8 | clamp(b);
}

// Smooth shading in broad shapes with a little sensor noise on top: filters
// and entropy coders meet roughly the work a camera picture gives them.
inline void paint_photo(picture &p, bool alpha)
{
    unsigned noise = 7;
    const double w = p.width, h = p.height;
    for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < p.width; ++x) {
            const double u = x / w, v = y / h;
            const double d = std::sqrt((u - 0.4) * (u - 0.4) + (v - 0.6) * (v - 0.6));
            noise = noise * 1103515245u + 12345u;
            const int n = int(noise >> 29) - 4;
            const int r = int(120 + 70 * std::sin(u * 9 + v * 3) + 40 * std::cos(d * 25)) + n;
            const int g = int(110 + 60 * std::sin(v * 11 - u * 2) + 30 * std::sin(d * 40)) + n;
            const int b = int(100 + 50 * std::cos(u * 5 + v * 7) + 35 * std::sin(u * v * 30)) + n;
            const int a = alpha ? int(255 - 200 * std::min(1.0, d * 1.5)) + n : 255;
            p.pixels[size_t(y) * p.width + x] = pack(a, r, g, b);
        }
}

// Every byte random: nothing for deflate to find, the most for JPEG's coder.
inline void paint_noise(picture &p)
{
    unsigned noise = 11;
    for (uint32_t &px : p.pixels) {
        noise = noise * 1103515245u + 12345u;
        px = 0xFF000000u | (noise >> 8);
    }
}

// A desktop: flat panels, a title bar, lines of small dark glyphs drawn from
// a set of 32, a few icons. Long runs and repeats, as screenshots have.
inline void paint_screenshot(picture &p)
{
    std::fill(p.pixels.begin(), p.pixels.end(), 0xFFF2F2F2u);
    auto fill = [&](uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1, uint32_t c) {
        for (uint32_t y = y0; y < std::min(y1, p.height); ++y)
            for (uint32_t x = x0; x < std::min(x1, p.width); ++x)
                p.pixels[size_t(y) * p.width + x] = c;
    };
    fill(0, 0, p.width, 24, 0xFF2B3A55u);                      // title bar
    fill(0, 24, p.width / 5, p.height, 0xFFE0E4EAu);            // side panel
    fill(p.width / 5 + 16, 40, p.width - 16, 120, 0xFFFFFFFFu); // a card
    unsigned seed = 5;
    for (uint32_t top = 140; top + 12 < p.height; top += 14) {
        const uint32_t left = p.width / 5 + 20;
        seed = seed * 1103515245u + 12345u;
        const uint32_t length = (p.width - left - 40) * (64 + (seed >> 26)) / 128;
        for (uint32_t gx = left; gx + 6 < left + length; gx += 7) {
            seed = seed * 1103515245u + 12345u;
            const unsigned glyph = seed >> 27; // one of 32 shapes
            if (glyph == 0)
                continue; // a space
            for (uint32_t row = 0; row < 9; ++row)
                for (uint32_t col = 0; col < 5; ++col)
                    if ((glyph * 2654435761u >> ((row * 5 + col) % 29)) & 1)
                        p.pixels[size_t(top + row) * p.width + gx + col] = 0xFF1E1E1Eu;
        }
    }
    for (uint32_t i = 0; i < 8; ++i) // icons in the side panel
        fill(12, 40 + i * 40, 40, 68 + i * 40, pack(255, 40 * i, 200 - 20 * i, 120));
}

inline std::vector<picture> make_pictures(bool with_rgba = true)
{
    std::vector<picture> out;
    for (uint32_t side : {0u, 1u}) {
        const uint32_t w = side ? 2048 : 640, h = side ? 2048 : 480;
        for (const char *kind : {"photo", "noise", "screenshot", "rgba"}) {
            if (!with_rgba && strcmp(kind, "rgba") == 0)
                continue;
            picture p{kind, w, h, strcmp(kind, "rgba") == 0, std::vector<uint32_t>(size_t(w) * h)};
            if (p.kind == "noise")
                paint_noise(p);
            else if (p.kind == "screenshot")
                paint_screenshot(p);
            else
                paint_photo(p, p.alpha);
            out.push_back(std::move(p));
        }
    }
    return out;
}

inline std::string temp_path(const std::string &stem, const picture &p, const char *ext)
{
    return "/tmp/" + stem + "." + std::to_string(getpid()) + "." + p.kind + "." + std::to_string(p.width) + ext;
}

inline long file_size(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return -1;
    fseek(f, 0, SEEK_END);
    const long n = ftell(f);
    fclose(f);
    return n;
}

// ---- modes --------------------------------------------------------------

// Pins glibc's allocator for the mode named on the command line (and takes
// the option out of it). Returns true for first loads.
inline bool pin_allocator(int &argc, char **argv)
{
    bool first = false;
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "--first-load") == 0) {
            first = true;
            std::copy(argv + i + 1, argv + argc, argv + i);
            --argc;
            break;
        }
    if (first) {
        // A fixed threshold: glibc would otherwise raise it after the first
        // large free and serve later loads from reused memory.
        mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    } else {
        mallopt(M_MMAP_MAX, 0);
        mallopt(M_TRIM_THRESHOLD, -1);
    }
    return first;
}

// ---- rounds -------------------------------------------------------------

struct contender {
    std::string name; // "who/label"
    std::function<void()> run;
};

// stb_image's loader, as each benchmark compiles it for its one format.
using stb_loader = unsigned char *(*)(const char *, int *, int *, int *, int);

// Adds load_image ("ours/LABEL") and stb_image ("stb/LABEL") reading path.
inline void add_loaders(std::vector<contender> &all, const picture &p, const std::string &path, stb_loader stb)
{
    all.push_back({"ours/" + p.label(), [path] {
                       uint32_t w, h;
                       uint32_t *px = load_image(path.c_str(), &w, &h);
                       benchmark::DoNotOptimize(px);
                       free_image(px);
                   }});
    all.push_back({"stb/" + p.label(), [path, stb] {
                       int w, h, n;
                       unsigned char *px = stb(path.c_str(), &w, &h, &n, 4);
                       benchmark::DoNotOptimize(px);
                       free(px); // stb_image's own release is free()
                   }});
}

// A load with IMAGE_READ_ANY, the strict mode set again after it: the other
// contenders load in the strict mode.
inline uint32_t *load_any(const std::string &path, uint32_t *w, uint32_t *h)
{
    set_image_read_flags(IMAGE_READ_ANY);
    uint32_t *pixels = load_image(path.c_str(), w, h);
    set_image_read_flags(0);
    return pixels;
}

// Adds load_image with IMAGE_READ_ANY ("any/LABEL") reading path: a file the
// strict mode reads must load as fast in either mode.
inline void add_any_loader(std::vector<contender> &all, const picture &p, const std::string &path)
{
    all.push_back({"any/" + p.label(), [path] {
                       uint32_t w, h;
                       uint32_t *px = load_any(path, &w, &h);
                       benchmark::DoNotOptimize(px);
                       free_image(px);
                   }});
}

// Keeps every run's CPU time per iteration, in seconds, by name, in the order
// the rounds ran.
class round_collector : public benchmark::BenchmarkReporter {
public:
    std::map<std::string, std::vector<double>> times;
    bool ReportContext(const Context &) override { return true; }
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred)
                times[r.run_name.function_name].push_back(r.GetAdjustedCPUTime() /
                                                          benchmark::GetTimeUnitMultiplier(r.time_unit));
    }
};

// Runs every contender once per round, in an order shuffled anew each round
// (with a fixed seed, so that runs are alike), for `rounds` rounds.
inline round_collector run_rounds(int argc, char **argv, const std::vector<contender> &all, int rounds)
{
    benchmark::Initialize(&argc, argv);
    round_collector collector;
    std::mt19937 shuffle_seed(12);
    std::vector<const contender *> order;
    for (const contender &c : all)
        order.push_back(&c);
    for (int round = 0; round < rounds; ++round) {
        fprintf(stderr, "round %d of %d\n", round + 1, rounds);
        std::shuffle(order.begin(), order.end(), shuffle_seed);
        benchmark::ClearRegisteredBenchmarks();
        for (const contender *c : order)
            benchmark::RegisterBenchmark(c->name.c_str(),
                                         [c](benchmark::State &state) {
                                             for (auto _ : state)
                                                 c->run();
                                         })
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.1);
        benchmark::RunSpecifiedBenchmarks(&collector);
    }
    benchmark::Shutdown();
    return collector;
}

inline double median_of(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One row: our median time, the baseline's, the median of the per-round
// ratios ours / baseline, and the lowest and highest of those ratios.
inline void ratio_row(const round_collector &c, const std::string &what, const std::string &ours,
                      const std::string &baseline_label, const std::string &baseline)
{
    const auto a = c.times.find(ours), b = c.times.find(baseline);
    if (a == c.times.end() || b == c.times.end() || a->second.size() != b->second.size())
        return;
    std::vector<double> ratios;
    for (size_t i = 0; i < a->second.size(); ++i)
        ratios.push_back(a->second[i] / b->second[i]);
    const auto [lo, hi] = std::minmax_element(ratios.begin(), ratios.end());
    printf("| %s | %.3f ms | %s | %.3f ms | %.2f | %.2f-%.2f |\n", what.c_str(), median_of(a->second) * 1e3,
           baseline_label.c_str(), median_of(b->second) * 1e3, median_of(ratios), *lo, *hi);
}

// ---- one format's benchmark ---------------------------------------------

// A comparison printed for every picture: contender names are these
// prefixes and the picture's label; `what` heads the row ahead of it.
struct comparison {
    std::string what, ours, baseline, baseline_label;
};

// What each format's benchmark supplies.
struct format_bench {
    std::string format, extension;
    bool with_rgba;
    void (*write)(const std::string &path, const picture &p);
    bool (*agree)(const std::string &path, const picture &p); // every contender's result is right
    stb_loader stb;
    // Adds the format's own contenders (its bare baseline and the like).
    std::function<void(std::vector<contender> &, const picture &, const std::string &path, bool first)> add;
    std::vector<comparison> comparisons;
};

// Writes the pictures, checks the contenders agree on each, times them in
// rounds and prints the table rows. Pass the command line: --first-load
// chooses the mode, and benchmark's own options are taken.
inline int run_format_bench(int argc, char **argv, const format_bench &b)
{
    const bool first = pin_allocator(argc, argv);
    const std::vector<picture> pictures = make_pictures(b.with_rgba);
    std::vector<std::string> paths;
    std::vector<contender> all;
    for (const picture &p : pictures) {
        const std::string path = temp_path("bench_" + b.format, p, b.extension.c_str());
        b.write(path, p);
        paths.push_back(path);
        if (!b.agree(path, p)) {
            fprintf(stderr, "the %s contenders disagree on %s\n", b.format.c_str(), p.label().c_str());
            return 1;
        }
        fprintf(stderr, "%s: %ld bytes, %.1f : 1\n", p.label().c_str(), file_size(path),
                double(p.pixels.size()) * (p.alpha ? 4 : 3) / file_size(path));
        add_loaders(all, p, path, b.stb);
        b.add(all, p, path, first);
    }
    const round_collector c = run_rounds(argc, argv, all, 7);
    for (const picture &p : pictures)
        for (const comparison &k : b.comparisons) {
            const std::string l = p.label();
            ratio_row(c, k.what + " " + l + ", " + (first ? "first load" : "warm"), k.ours + "/" + l,
                      k.baseline_label, k.baseline + "/" + l);
        }
    for (const std::string &path : paths) {
        unlink(path.c_str());
        unlink((path + ".out").c_str()); // where a save benchmark wrote
    }
    return 0;
}

#endif
