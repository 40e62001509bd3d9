// png_write.cpp - the tools' RGB PNG writer.
#include "png_write.h"

#include <png.h>

#include <cstdio>

namespace {

// Kept apart so that the setjmp frame holds no object with a destructor.
bool write_png_stream(FILE *f, int width, int height, const unsigned char *rgb)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y)
        png_write_row(png, rgb + static_cast<size_t>(y) * width * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

} // namespace

bool write_rgb_png(const char *path, int width, int height, const unsigned char *rgb)
{
    FILE *f = fopen(path, "wb");
    bool ok = f && write_png_stream(f, width, height, rgb);
    // A failed flush is a failed write too: the file would be cut short.
    if (f && fclose(f) != 0)
        ok = false;
    if (!ok)
        fprintf(stderr, "cannot write %s\n", path);
    return ok;
}
