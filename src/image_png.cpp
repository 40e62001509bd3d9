// image_png.cpp - PNG reading through libpng's classic interface. Reads 8-bit
// RGB and RGBA images (16-bit ones are reduced to 8 bits); grey and palette
// images are refused. The writer is an entry point only.
#include "image_png.h"

#include <png.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// The setjmp lives here, alone with plain data: libpng's longjmp must not skip
// any destructor. Returns the pixel buffer or null; the caller closes the stream.
uint32_t *read_png(FILE *stream, png_structp png, png_infop info, uint32_t *width, uint32_t *height)
{
    uint32_t *volatile pixels = nullptr;
    if (setjmp(png_jmpbuf(png))) {
        free(pixels);
        return nullptr;
    }
    png_init_io(png, stream);
    png_set_sig_bytes(png, 8);

    int transforms = PNG_TRANSFORM_BGR;
#ifdef PNG_TRANSFORM_SCALE_16
    // 16-bit samples are scaled to 8 bits with rounding; 8-bit images are not touched.
    transforms |= PNG_TRANSFORM_SCALE_16;
#else
    transforms |= PNG_TRANSFORM_STRIP_16;
#endif
    png_read_png(png, info, transforms, nullptr);

    png_uint_32 w = 0, h = 0;
    int bit_depth = 0, color_type = 0, interlace = 0, compression = 0, filter = 0;
    png_get_IHDR(png, info, &w, &h, &bit_depth, &color_type, &interlace, &compression, &filter);
    *width = w;
    *height = h;
    if (color_type != PNG_COLOR_TYPE_RGB && color_type != PNG_COLOR_TYPE_RGB_ALPHA)
        return nullptr;

    const size_t count = static_cast<size_t>(w) * h;
    if (w != 0 && count / w != h)
        return nullptr;
    if (count > SIZE_MAX / 4)
        return nullptr;
    pixels = static_cast<uint32_t *>(malloc(count != 0 ? count * 4 : 1));
    if (!pixels)
        return nullptr;

    png_bytepp rows = png_get_rows(png, info);
    for (png_uint_32 y = 0; y < h; ++y) {
        const png_byte *row = rows[y];
        uint32_t *out = pixels + static_cast<size_t>(y) * w;
        if (color_type == PNG_COLOR_TYPE_RGB_ALPHA) {
            // Blue, green, red, alpha in memory is the pixel layout itself.
            memcpy(out, row, static_cast<size_t>(w) * 4);
        } else {
            for (png_uint_32 x = 0; x < w; ++x) {
                const png_byte *p = row + 3 * static_cast<size_t>(x);
                out[x] = 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
            }
        }
    }
    return pixels;
}

} // namespace

int check_png(FILE *stream)
{
    png_byte sig[8];
    if (fread(sig, 1, 8, stream) != 8)
        return 0;
    return png_sig_cmp(sig, 0, 8) == 0;
}

uint32_t *load_png(FILE *stream, uint32_t *width, uint32_t *height)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) {
        fclose(stream);
        return nullptr;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        fclose(stream);
        return nullptr;
    }
    uint32_t *pixels = read_png(stream, png, info, width, height);
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(stream);
    return pixels;
}

int save_png(FILE *stream, const uint32_t *, uint32_t, uint32_t)
{
    fputs("saving png files is not implemented yet", stderr);
    fclose(stream);
    return -1;
}
