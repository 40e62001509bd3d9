// bench_jpeg.cpp - how fast load_image reads JPEG files, against a bare
// libjpeg-turbo decode of the same file straight to four-byte pixels (the
// floor for any reader on top of it), against stb_image's JPEG reader, and
// against the codec's own RGB route. Prints the median times and their
// ratios, all measured in the same run.
#include "bench_util.h"
#include "image.h"
#include "image_jpg.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#include <stb_image.h>

#include <jpeglib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct picture {
    const char *label;
    int width, height;
    std::string path;
};

picture pictures[] = {{"640x480", 640, 480, {}}, {"2048x2048", 2048, 2048, {}}};

// Smooth shading with some fine detail on top, at the quality and sampling a
// camera or an image editor would use: roughly the work a real photo makes.
void write_picture(picture &pic)
{
    char name[] = "/tmp/bench_jpeg.XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0)
        abort();
    FILE *f = fdopen(fd, "wb");
    pic.path = name;
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = pic.width;
    c.image_height = pic.height;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<unsigned char> row(pic.width * 3);
    unsigned noise = 1;
    while (c.next_scanline < c.image_height) {
        const int y = c.next_scanline;
        for (int x = 0; x < pic.width; ++x) {
            noise = noise * 1103515245u + 12345u;
            const int n = (noise >> 16) & 15;
            row[3 * x] = static_cast<unsigned char>(x * 255 / pic.width + n);
            row[3 * x + 1] = static_cast<unsigned char>(y * 255 / pic.height + n);
            row[3 * x + 2] = static_cast<unsigned char>(((x / 16 + y / 16) & 1) * 96 + n * 4);
        }
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&c, &p, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    fclose(f);
}

// The baseline: what a caller writing straight to libjpeg-turbo would do to
// get the same pixels, including allocating the buffer they land in.
uint32_t *bare_decode(const char *path, uint32_t *width, uint32_t *height)
{
    FILE *f = fopen(path, "rb");
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_stdio_src(&d, f);
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_EXT_BGRA;
    jpeg_start_decompress(&d);
    *width = d.output_width;
    *height = d.output_height;
    uint32_t *pixels = static_cast<uint32_t *>(malloc(static_cast<size_t>(d.output_width) * d.output_height * 4));
    while (d.output_scanline < d.output_height) {
        JSAMPROW rows[32];
        JDIMENSION n = d.output_height - d.output_scanline;
        if (n > 32)
            n = 32;
        for (JDIMENSION i = 0; i < n; ++i)
            rows[i] = reinterpret_cast<JSAMPROW>(pixels + static_cast<size_t>(d.output_scanline + i) * d.output_width);
        jpeg_read_scanlines(&d, rows, n);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    fclose(f);
    return pixels;
}

uint32_t *rgb_route(const char *path, uint32_t *width, uint32_t *height)
{
    FILE *f = fopen(path, "rb");
    return f ? load_jpeg_rgb(f, width, height) : nullptr;
}

// A different decoder altogether: its pixels differ slightly in the last bit
// (other upsampling and colour conversion), so it is timed, not compared.
uint32_t *stb_decode(const char *path, uint32_t *width, uint32_t *height)
{
    int w, h, n;
    unsigned char *rgba = stbi_load(path, &w, &h, &n, 4);
    *width = w;
    *height = h;
    return reinterpret_cast<uint32_t *>(rgba);
}

const struct {
    const char *name;
    file_decoder fn;
} decoders[] = {{"bare_bgra", bare_decode}, {"load_image", load_image}, {"rgb_route", rgb_route}},
  others[] = {{"stb_image", stb_decode}};

// A benchmark that times wrong pixels times nothing worth knowing.
void check_agreement()
{
    for (const picture &pic : pictures) {
        uint32_t w = 0, h = 0;
        uint32_t *expected = bare_decode(pic.path.c_str(), &w, &h);
        for (const auto &dec : decoders)
            if (!decodes_to(dec.fn, pic.path, expected, w, h)) {
                fprintf(stderr, "%s gives other pixels than the bare decode of %s\n", dec.name, pic.label);
                exit(1);
            }
        free(expected);
    }
}

} // namespace

int main(int argc, char **argv)
{
    for (picture &pic : pictures)
        write_picture(pic);
    check_agreement();

    for (const picture &pic : pictures) {
        for (const auto &dec : decoders)
            register_decoder(dec.name, pic.label, dec.fn, pic.path, int64_t(pic.width) * pic.height);
        for (const auto &dec : others)
            register_decoder(dec.name, pic.label, dec.fn, pic.path, int64_t(pic.width) * pic.height);
    }
    median_reporter medians;
    run_interleaved(argc, argv, medians);

    printf("\nmedian CPU time; ratio = ours / baseline (target against the bare decode: at most 1.05)\n");
    for (const picture &pic : pictures) {
        const std::string label = pic.label, ours = "load_image/" + label;
        table_row("JPEG load " + label, medians[ours], "bare libjpeg-turbo decode to BGRA", medians["bare_bgra/" + label]);
        table_row("JPEG load " + label, medians[ours], "stb_image", medians["stb_image/" + label]);
        table_row("JPEG load " + label, medians[ours], "the codec's own RGB route", medians["rgb_route/" + label]);
    }
    for (const picture &pic : pictures)
        unlink(pic.path.c_str());
    return 0;
}
