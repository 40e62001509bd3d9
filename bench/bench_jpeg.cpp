// bench_jpeg.cpp - how fast load_image reads JPEG files of three kinds (a
// JFIF file has no alpha: no RGBA kind), against a bare libjpeg-turbo decode
// of the same file straight to four-byte pixels (jpeg_stdio_src, rows written
// in place: the floor for a reader on top of it) and against stb_image's JPEG
// reader. Warm, or with --first-load fresh memory for every load (see
// load_bench.h).
#include "load_bench.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#include <stb_image.h>

#include <jpeglib.h>

namespace {

// Quality 90 with the library's default 2 x 2 chroma subsampling, as a camera
// or an image editor would write.
void write_jpeg(const std::string &path, const picture &p)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = p.width;
    c.image_height = p.height;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<unsigned char> row(size_t(p.width) * 3);
    while (c.next_scanline < c.image_height) {
        for (uint32_t x = 0; x < p.width; ++x) {
            const uint32_t px = p.pixels[size_t(c.next_scanline) * p.width + x];
            row[3 * x] = static_cast<unsigned char>(px >> 16);
            row[3 * x + 1] = static_cast<unsigned char>(px >> 8);
            row[3 * x + 2] = static_cast<unsigned char>(px);
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
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

// Ours must give the bare decode's pixels. stb_image is another decoder
// altogether (other upsampling and colour conversion, a last bit apart here
// and there), so it is timed, not compared.
bool agree(const std::string &path, const picture &p)
{
    uint32_t w = 0, h = 0, bw = 0, bh = 0;
    uint32_t *ours = load_image(path.c_str(), &w, &h);
    uint32_t *bare = bare_decode(path.c_str(), &bw, &bh);
    const bool ok = ours && w == p.width && h == p.height && bw == w && bh == h &&
                    memcmp(ours, bare, size_t(w) * h * 4) == 0;
    free_image(ours);
    free(bare);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    format_bench b;
    b.format = "JPEG";
    b.extension = ".jpg";
    b.with_rgba = false;
    b.write = write_jpeg;
    b.agree = agree;
    b.stb = stbi_load;
    b.add = [](std::vector<contender> &all, const picture &p, const std::string &path, bool) {
        all.push_back({"bare/" + p.label(), [path] {
                           uint32_t w, h;
                           uint32_t *px = bare_decode(path.c_str(), &w, &h);
                           benchmark::DoNotOptimize(px);
                           free(px);
                       }});
        add_any_loader(all, p, path);
    };
    b.comparisons = {{"JPEG", "ours", "bare", "bare libjpeg-turbo decode to BGRA"},
                     {"JPEG", "ours", "stb", "stb_image"},
                     {"JPEG with IMAGE_READ_ANY", "any", "ours", "the strict mode"}};
    return run_format_bench(argc, argv, b);
}
