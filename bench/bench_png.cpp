// bench_png.cpp - how fast load_image reads PNG files, against a bare libpng
// decode of the same file (the floor for any reader on top of it) and against
// stb_image's PNG reader. Prints median CPU times and their ratios, all
// measured in the same run.
#include "bench_util.h"
#include "image.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb_image.h>

#include <png.h>

#include <cstdlib>
#include <cstring>

namespace {

struct picture {
    const char *label;
    uint32_t width, height;
    int color_type;
    std::string path;
};

picture pictures[] = {{"640x480 RGB", 640, 480, PNG_COLOR_TYPE_RGB, {}},
                      {"2048x2048 RGB", 2048, 2048, PNG_COLOR_TYPE_RGB, {}},
                      {"2048x2048 RGBA", 2048, 2048, PNG_COLOR_TYPE_RGB_ALPHA, {}}};

// Smooth gradients with a little noise: compresses like a rendered picture.
void write_picture(picture &pic, int index)
{
    pic.path = "/tmp/bench_png." + std::to_string(getpid()) + "." + std::to_string(index) + ".png";
    FILE *f = fopen(pic.path.c_str(), "wb");
    if (!f)
        abort();
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, pic.width, pic.height, 8, pic.color_type, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const int channels = pic.color_type == PNG_COLOR_TYPE_RGB ? 3 : 4;
    std::vector<png_byte> row(static_cast<size_t>(pic.width) * channels);
    unsigned noise = 1;
    for (uint32_t y = 0; y < pic.height; ++y) {
        for (uint32_t x = 0; x < pic.width; ++x) {
            noise = noise * 1103515245u + 12345u;
            png_byte *p = &row[static_cast<size_t>(x) * channels];
            p[0] = static_cast<png_byte>(x * 255 / pic.width + (noise >> 29));
            p[1] = static_cast<png_byte>(y * 255 / pic.height);
            p[2] = static_cast<png_byte>((x ^ y) & 0x3F);
            if (channels == 4)
                p[3] = static_cast<png_byte>(255 - (noise >> 28));
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    fclose(f);
}

// The baseline: libpng's own simplified reader straight to blue, green, red,
// alpha, into a buffer it is handed, as a caller using libpng alone would.
uint32_t *bare_decode(const char *path, uint32_t *width, uint32_t *height)
{
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path))
        return nullptr;
    image.format = PNG_FORMAT_BGRA;
    uint32_t *pixels = static_cast<uint32_t *>(malloc(PNG_IMAGE_SIZE(image)));
    if (!pixels || !png_image_finish_read(&image, nullptr, pixels, 0, nullptr)) {
        free(pixels);
        png_image_free(&image);
        return nullptr;
    }
    *width = image.width;
    *height = image.height;
    return pixels;
}

uint32_t *stb_decode(const char *path, uint32_t *width, uint32_t *height)
{
    int w, h, n;
    unsigned char *rgba = stbi_load(path, &w, &h, &n, 4);
    if (!rgba)
        return nullptr;
    *width = w;
    *height = h;
    return reinterpret_cast<uint32_t *>(rgba); // red first: compared by value below
}

const struct {
    const char *name;
    file_decoder fn;
} decoders[] = {{"bare_libpng", bare_decode}, {"load_image", load_image}, {"stb_image", stb_decode}};

uint32_t swap_red_blue(uint32_t p) { return (p & 0xFF00FF00u) | (p >> 16 & 0xFF) | (p & 0xFF) << 16; }

// A benchmark that times wrong pixels times nothing worth knowing.
void check_agreement()
{
    for (const picture &pic : pictures) {
        uint32_t w = 0, h = 0;
        uint32_t *expected = bare_decode(pic.path.c_str(), &w, &h);
        for (const auto &dec : decoders)
            if (!decodes_to(dec.fn, pic.path, expected, w, h, dec.fn == stb_decode ? swap_red_blue : nullptr)) {
                fprintf(stderr, "%s gives other pixels than libpng for %s\n", dec.name, pic.label);
                exit(1);
            }
        free(expected);
    }
}

} // namespace

int main(int argc, char **argv)
{
    int index = 0;
    for (picture &pic : pictures)
        write_picture(pic, index++);
    check_agreement();
    for (const picture &pic : pictures)
        for (const auto &dec : decoders)
            register_decoder(dec.name, pic.label, dec.fn, pic.path, int64_t(pic.width) * pic.height);
    median_reporter medians;
    run_interleaved(argc, argv, medians);

    printf("\nmedian CPU time; ratio = load_image / baseline (below 1: load_image is faster)\n");
    for (const picture &pic : pictures) {
        const std::string label = pic.label;
        table_row("PNG load " + label, medians["load_image/" + label], "bare libpng (simplified API, BGRA)",
                  medians["bare_libpng/" + label]);
        table_row("PNG load " + label, medians["load_image/" + label], "stb_image", medians["stb_image/" + label]);
    }
    for (const picture &pic : pictures)
        unlink(pic.path.c_str());
    return 0;
}
