// png_writer.h - writes PNG files with libpng's own encoder, for the tests
// that need particular kinds of file.
#ifndef PNG_WRITER_H
#define PNG_WRITER_H

#include <png.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

struct png_layout {
    uint32_t width = 3, height = 2;
    int color_type = PNG_COLOR_TYPE_RGB;
    int bit_depth = 8;
    int interlace = PNG_INTERLACE_NONE;
    int level = -1;                     // zlib's compression level; -1: libpng's default
    bool unfiltered = false;            // rows stored as they are: zeros then compress furthest
    const png_color_16 *trns = nullptr; // a transparent colour
};

// Writes the image whose row y fill_row puts down: one byte a sample below
// 8 bits, two (most significant first) at 16. Palette images get four entries.
// Rows start as zeros, so without fill_row the image is all zeros. Returns
// false if the file cannot be written.
inline bool write_png(const std::string &path, const png_layout &s,
                      const std::function<void(uint32_t y, png_byte *row)> &fill_row = {})
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    if (s.level >= 0)
        png_set_compression_level(png, s.level);
    if (s.unfiltered)
        png_set_filter(png, 0, PNG_FILTER_NONE);
    png_set_IHDR(png, info, s.width, s.height, s.bit_depth, s.color_type, s.interlace, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_color palette[4] = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11, 12}};
    if (s.color_type == PNG_COLOR_TYPE_PALETTE)
        png_set_PLTE(png, info, palette, 4);
    if (s.trns)
        png_set_tRNS(png, info, nullptr, 0, s.trns);
    png_write_info(png, info);
    png_set_packing(png);
    // Whole rows on every pass: libpng picks out each pass's pixels itself.
    const int passes = png_set_interlace_handling(png);
    std::vector<png_byte> row(size_t(s.width) * 8); // room for 16-bit RGBA
    for (int pass = 0; pass < passes; ++pass)
        for (uint32_t y = 0; y < s.height; ++y) {
            if (fill_row)
                fill_row(y, row.data());
            png_write_row(png, row.data());
        }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return fclose(f) == 0;
}

#endif
