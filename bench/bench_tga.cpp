// bench_tga.cpp - how fast 24-bit TGA files load and save, at 640 x 480 and
// 2048 x 2048, against a bare read or write of the same bytes (the floor for
// any codec) and, for loading, against stb_image's TGA reader. Prints median
// CPU times and their ratios, all measured in the same run.
#include "bench_util.h"
#include "image.h"

#include <benchmark/benchmark.h>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_TGA
#include <stb_image.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct picture {
    const char *label;
    uint32_t width, height;
    std::vector<uint32_t> pixels;
    std::string path;      // the picture saved as TGA, read by the loaders
    std::string out_path;  // where the writers write
    std::vector<unsigned char> file; // the saved file's bytes
};

picture pictures[] = {{"640x480", 640, 480, {}, {}, {}, {}}, {"2048x2048", 2048, 2048, {}, {}, {}, {}}};

std::vector<unsigned char> read_whole(const char *path)
{
    std::vector<unsigned char> out;
    if (FILE *f = fopen(path, "rb")) {
        fseek(f, 0, SEEK_END);
        out.resize(ftell(f));
        rewind(f);
        if (fread(out.data(), 1, out.size(), f) != out.size())
            out.clear();
        fclose(f);
    }
    return out;
}

void make_picture(picture &pic)
{
    pic.pixels.resize(size_t(pic.width) * pic.height);
    unsigned noise = 1;
    for (uint32_t y = 0; y < pic.height; ++y)
        for (uint32_t x = 0; x < pic.width; ++x) {
            noise = noise * 1103515245u + 12345u;
            pic.pixels[size_t(y) * pic.width + x] = 0xFF000000u | (x * 255 / pic.width) << 16 |
                                                    (y * 255 / pic.height) << 8 | (noise >> 24);
        }
    const std::string stem = "/tmp/bench_tga." + std::to_string(getpid()) + "." + pic.label;
    pic.path = stem + ".tga";
    pic.out_path = stem + ".out.tga";
    if (save_image(pic.path.c_str(), pic.pixels.data(), pic.width, pic.height, IMAGE_FORMAT_TGA) != 0)
        exit(1);
    pic.file = read_whole(pic.path.c_str());
}

// The floor for loading: the file's bytes into a fresh block, nothing more.
void bare_read(const picture &pic)
{
    FILE *f = fopen(pic.path.c_str(), "rb");
    unsigned char *block = static_cast<unsigned char *>(malloc(pic.file.size()));
    const size_t got = fread(block, 1, pic.file.size(), f);
    benchmark::DoNotOptimize(got);
    benchmark::DoNotOptimize(block);
    free(block);
    fclose(f);
}

void ours_load(const picture &pic)
{
    uint32_t w, h;
    uint32_t *pixels = load_image(pic.path.c_str(), &w, &h);
    benchmark::DoNotOptimize(pixels);
    free_image(pixels);
}

void stb_load(const picture &pic)
{
    int w, h, n;
    unsigned char *rgba = stbi_load(pic.path.c_str(), &w, &h, &n, 4);
    benchmark::DoNotOptimize(rgba);
    stbi_image_free(rgba);
}

// The floor for saving: the same bytes written to the same place.
void bare_write(const picture &pic)
{
    FILE *f = fopen(pic.out_path.c_str(), "wb");
    fwrite(pic.file.data(), 1, pic.file.size(), f);
    fclose(f);
}

void ours_save(const picture &pic)
{
    save_image(pic.out_path.c_str(), pic.pixels.data(), pic.width, pic.height, IMAGE_FORMAT_TGA);
}

using task = void (*)(const picture &);
const struct {
    const char *name;
    task fn;
} tasks[] = {{"bare_read", bare_read}, {"load_image", ours_load}, {"stb_image", stb_load},
             {"bare_write", bare_write}, {"save_image", ours_save}};

// Timing wrong results tells nothing: every contender must give the pixels
// (or the file) the others give before any clock starts.
bool results_agree(const picture &pic)
{
    uint32_t w = 0, h = 0;
    uint32_t *ours = load_image(pic.path.c_str(), &w, &h);
    bool ok = ours && w == pic.width && h == pic.height &&
              memcmp(ours, pic.pixels.data(), pic.pixels.size() * 4) == 0;
    int sw = 0, sh = 0, n = 0;
    unsigned char *rgba = stbi_load(pic.path.c_str(), &sw, &sh, &n, 4);
    ok = ok && rgba && uint32_t(sw) == w && uint32_t(sh) == h;
    for (size_t i = 0; ok && i < pic.pixels.size(); ++i) {
        const unsigned char *p = rgba + 4 * i;
        ok = (uint32_t(p[3]) << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]) == ours[i];
    }
    stbi_image_free(rgba);
    free_image(ours);
    ours_save(pic);
    return ok && read_whole(pic.out_path.c_str()) == pic.file;
}

void run_task(benchmark::State &state, task fn, const picture *pic)
{
    for (auto _ : state)
        fn(*pic);
    state.SetBytesProcessed(state.iterations() * int64_t(pic->file.size()));
}

} // namespace

int main(int argc, char **argv)
{
    for (picture &pic : pictures) {
        make_picture(pic);
        if (!results_agree(pic)) {
            fprintf(stderr, "the contenders disagree on %s\n", pic.label);
            return 1;
        }
    }
    for (const picture &pic : pictures)
        for (const auto &t : tasks)
            benchmark::RegisterBenchmark((std::string(t.name) + "/" + pic.label).c_str(), run_task, t.fn, &pic)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.2);

    median_reporter medians;
    run_interleaved(argc, argv, medians, 9);

    printf("\nmedian CPU time; ratio = ours / baseline (target against stb_image: at most 0.33)\n");
    for (const picture &pic : pictures) {
        const std::string label = pic.label;
        const double load = medians["load_image/" + label], save = medians["save_image/" + label];
        table_row("TGA load " + label, load, "bare read of the file", medians["bare_read/" + label]);
        table_row("TGA load " + label, load, "stb_image", medians["stb_image/" + label]);
        table_row("TGA save " + label, save, "bare write of the same bytes", medians["bare_write/" + label]);
        unlink(pic.path.c_str());
        unlink(pic.out_path.c_str());
    }
    return 0;
}
