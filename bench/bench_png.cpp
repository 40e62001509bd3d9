// bench_png.cpp - how fast load_image reads PNG files of four kinds, against
// a bare libpng decode through its classic interface (png_read_png, the rows
// libpng allocates, nothing copied: the floor for a reader on top of it) and
// against stb_image's PNG reader. Each opaque kind is also read with
// IMAGE_READ_ANY, as RGB (against the strict mode) and as grey and palette
// files of the same size (against the RGB file). Warm, or with --first-load
// fresh memory for every load (see load_bench.h).
#include "load_bench.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb_image.h>

#include <png.h>

namespace {

// The grey and palette files' pixels: luma, and red, green and blue cut to
// 3, 3 and 2 bits, an index into a palette of all 256 such colours.
png_byte grey_of(uint32_t px)
{
    return png_byte(((px >> 16 & 0xFF) * 77 + (px >> 8 & 0xFF) * 150 + (px & 0xFF) * 29) >> 8);
}

png_byte index_of(uint32_t px)
{
    return png_byte((px >> 16 & 0xE0) | (px >> 11 & 0x1C) | (px >> 6 & 0x03));
}

uint32_t palette_colour(unsigned i)
{
    return pack(255, (i >> 5) * 255 / 7, (i >> 2 & 7) * 255 / 7, (i & 3) * 255 / 3);
}

// libpng's defaults throughout (compression level, filter choice, 8 KiB data
// chunks), as most programs that write PNG files leave them. The picture as
// RGB or RGBA, or as grey or palette samples.
void write_png_of_type(const std::string &path, const picture &p, int type)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, p.width, p.height, 8, type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_color palette[256];
    for (unsigned i = 0; i < 256; ++i)
        palette[i] = {png_byte(palette_colour(i) >> 16), png_byte(palette_colour(i) >> 8), png_byte(palette_colour(i))};
    if (type == PNG_COLOR_TYPE_PALETTE)
        png_set_PLTE(png, info, palette, 256);
    png_write_info(png, info);
    const int channels = type == PNG_COLOR_TYPE_RGB_ALPHA ? 4 : type == PNG_COLOR_TYPE_RGB ? 3 : 1;
    std::vector<png_byte> row(size_t(p.width) * channels);
    for (uint32_t y = 0; y < p.height; ++y) {
        for (uint32_t x = 0; x < p.width; ++x) {
            const uint32_t px = p.pixels[size_t(y) * p.width + x];
            png_byte *o = &row[size_t(x) * channels];
            o[0] = type == PNG_COLOR_TYPE_GRAY ? grey_of(px) : type == PNG_COLOR_TYPE_PALETTE ? index_of(px) : png_byte(px >> 16);
            if (channels >= 3) {
                o[1] = png_byte(px >> 8);
                o[2] = png_byte(px);
            }
            if (channels == 4)
                o[3] = png_byte(px >> 24);
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    fclose(f);
}

void write_png(const std::string &path, const picture &p)
{
    write_png_of_type(path, p, p.alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB);
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

// The grey and palette files, removed at exit.
struct extra_files {
    std::vector<std::string> paths;
    ~extra_files()
    {
        for (const std::string &path : paths)
            unlink(path.c_str());
    }
} extra;

// Writes the picture as a grey or palette file, checks that it loads as it
// should with IMAGE_READ_ANY, and adds the contender that times the load.
void add_expanded(std::vector<contender> &all, const picture &p, const std::string &path, int type)
{
    const std::string name = type == PNG_COLOR_TYPE_GRAY ? "grey" : "palette";
    const std::string file = path + "." + name + ".png";
    extra.paths.push_back(file);
    write_png_of_type(file, p, type);
    uint32_t w = 0, h = 0;
    uint32_t *pixels = load_any(file, &w, &h);
    bool ok = pixels && w == p.width && h == p.height;
    for (size_t i = 0; ok && i < p.pixels.size(); ++i) {
        const png_byte g = grey_of(p.pixels[i]);
        ok = pixels[i] == (type == PNG_COLOR_TYPE_GRAY ? pack(255, g, g, g) : palette_colour(index_of(p.pixels[i])));
    }
    free_image(pixels);
    if (!ok) {
        fprintf(stderr, "the %s file of %s loads wrong\n", name.c_str(), p.label().c_str());
        exit(1);
    }
    all.push_back({name + "/" + p.label(), [file] {
                       uint32_t w, h;
                       uint32_t *px = load_any(file, &w, &h);
                       benchmark::DoNotOptimize(px);
                       free_image(px);
                   }});
    // libpng's own decode of a grey file: its rows are unfiltered a byte at a
    // time, where three- and four-byte pixels go through its vector code.
    if (type == PNG_COLOR_TYPE_GRAY)
        all.push_back({"bare-grey/" + p.label(), [file] { bare_decode(file.c_str()); }});
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
        if (p.alpha)
            return;
        add_any_loader(all, p, path);
        add_expanded(all, p, path, PNG_COLOR_TYPE_GRAY);
        add_expanded(all, p, path, PNG_COLOR_TYPE_PALETTE);
    };
    b.comparisons = {{"PNG", "ours", "bare", "bare libpng, png_read_png"},
                     {"PNG", "ours", "stb", "stb_image"},
                     {"PNG with IMAGE_READ_ANY", "any", "ours", "the strict mode"},
                     {"grey PNG with IMAGE_READ_ANY", "grey", "ours", "RGB PNG of its size"},
                     {"grey PNG with IMAGE_READ_ANY", "grey", "bare-grey", "bare libpng, the grey file"},
                     {"palette PNG with IMAGE_READ_ANY", "palette", "ours", "RGB PNG of its size"}};
    return run_format_bench(argc, argv, b);
}
