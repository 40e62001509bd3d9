// bench_png.cpp - how fast load_image reads PNG files of four kinds, against
// a bare libpng decode through its classic interface (png_read_png, the rows
// libpng allocates, nothing copied: the floor for a reader on top of it) and
// against stb_image's PNG reader. Warm, or with --first-load fresh memory for
// every load (see load_bench.h).
#include "load_bench.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb_image.h>

#include <png.h>

namespace {

// libpng's defaults throughout (compression level, filter choice, 8 KiB data
// chunks), as most programs that write PNG files leave them.
void write_png(const std::string &path, const picture &p)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, p.width, p.height, 8, p.alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const int channels = p.alpha ? 4 : 3;
    std::vector<png_byte> row(size_t(p.width) * channels);
    for (uint32_t y = 0; y < p.height; ++y) {
        for (uint32_t x = 0; x < p.width; ++x) {
            const uint32_t px = p.pixels[size_t(y) * p.width + x];
            png_byte *o = &row[size_t(x) * channels];
            o[0] = png_byte(px >> 16);
            o[1] = png_byte(px >> 8);
            o[2] = png_byte(px);
            if (p.alpha)
                o[3] = png_byte(px >> 24);
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    fclose(f);
}

// The baseline: the classic interface's one-call read, blue first, into the
// rows libpng allocates; they are released with the read structure.
bool bare_decode(const char *path, png_bytepp rows_out = nullptr)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    bool ok = false;
    if (!setjmp(png_jmpbuf(png))) {
        png_init_io(png, f);
        png_read_png(png, info, PNG_TRANSFORM_BGR | PNG_TRANSFORM_SCALE_16, nullptr);
        png_bytepp rows = png_get_rows(png, info);
        benchmark::DoNotOptimize(rows);
        if (rows_out) // the caller wants them: hand them over whole
            for (uint32_t y = 0; y < png_get_image_height(png, info); ++y) {
                const size_t n = png_get_rowbytes(png, info);
                rows_out[y] = static_cast<png_bytep>(malloc(n));
                memcpy(rows_out[y], rows[y], n);
            }
        ok = true;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(f);
    return ok;
}

// All three give the same pixels, or timing them says nothing.
bool agree(const std::string &path, const picture &p)
{
    uint32_t w = 0, h = 0;
    uint32_t *ours = load_image(path.c_str(), &w, &h);
    bool ok = ours && w == p.width && h == p.height && memcmp(ours, p.pixels.data(), p.pixels.size() * 4) == 0;
    free_image(ours);
    int sw, sh, n;
    unsigned char *rgba = stbi_load(path.c_str(), &sw, &sh, &n, 4);
    for (size_t i = 0; ok && rgba && i < p.pixels.size(); ++i) {
        const unsigned char *q = rgba + 4 * i;
        ok = (uint32_t(q[3]) << 24 | uint32_t(q[0]) << 16 | uint32_t(q[1]) << 8 | q[2]) == p.pixels[i];
    }
    ok = ok && rgba;
    stbi_image_free(rgba);
    std::vector<png_bytep> rows(p.height);
    ok = ok && bare_decode(path.c_str(), rows.data());
    const int channels = p.alpha ? 4 : 3;
    for (uint32_t y = 0; ok && y < p.height; ++y)
        for (uint32_t x = 0; ok && x < p.width; ++x) {
            const png_byte *q = rows[y] + size_t(x) * channels;
            const uint32_t a = p.alpha ? q[3] : 0xFF;
            ok = (a << 24 | uint32_t(q[2]) << 16 | uint32_t(q[1]) << 8 | q[0]) == p.pixels[size_t(y) * p.width + x];
        }
    for (png_bytep r : rows)
        free(r);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    format_bench b;
    b.format = "PNG";
    b.extension = ".png";
    b.with_rgba = true;
    b.write = write_png;
    b.agree = agree;
    b.stb = stbi_load;
    b.add = [](std::vector<contender> &all, const picture &p, const std::string &path, bool) {
        all.push_back({"bare/" + p.label(), [path] { bare_decode(path.c_str()); }});
    };
    b.comparisons = {{"PNG", "ours", "bare", "bare libpng, png_read_png"}, {"PNG", "ours", "stb", "stb_image"}};
    return run_format_bench(argc, argv, b);
}
