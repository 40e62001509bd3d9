// image_png.cpp - PNG reading through libpng's classic interface. Reads 8-bit
// RGB and RGBA images (16-bit ones are reduced to 8 bits); grey and palette
// images are refused. The writer is an entry point only.
#include "image_png.h"

#include "image_internal.h"
#include "image_limits.h"

#include <png.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Deflate gives back at most 1032 bytes for each byte it reads: a 258-byte
// match coded in two bits is the best it can do.
const uint64_t max_inflate_ratio = 1032;

uint32_t big_endian_32(const unsigned char *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// What the header chunk after the signature says, read before libpng is
// given the stream.
struct png_header {
    png_uint_32 width, height;
    int depth, colour_type;
    uint64_t remaining; // bytes from the header chunk to the end of the stream
};

// Reads the header chunk and how many bytes the stream still holds, then puts
// the position back. False when the stream cannot seek or the header is not
// as expected: such files are left to libpng.
bool peek_header(FILE *stream, png_header *h)
{
    const long start = ftell(stream);
    if (start < 0)
        return false;
    unsigned char ihdr[8 + 13];
    const bool have_header = fread(ihdr, 1, sizeof ihdr, stream) == sizeof ihdr;
    const bool have_end = have_header && fseek(stream, 0, SEEK_END) == 0;
    const long end = have_end ? ftell(stream) : -1;
    if (fseek(stream, start, SEEK_SET) != 0 || end < start)
        return false;
    if (big_endian_32(ihdr) != 13 || memcmp(ihdr + 4, "IHDR", 4) != 0)
        return false;
    h->width = big_endian_32(ihdr + 8);
    h->height = big_endian_32(ihdr + 12);
    h->depth = ihdr[16];
    h->colour_type = ihdr[17];
    h->remaining = static_cast<uint64_t>(end - start);
    return true;
}

// True only when the stream's remaining bytes could not hold the image's
// samples even at deflate's best ratio: a small file claiming an enormous
// image would otherwise have libpng allocate every row before finding out
// that the data is missing.
bool cannot_hold_image(const png_header &h)
{
    int channels;
    switch (h.colour_type) {
    case PNG_COLOR_TYPE_RGB: channels = 3; break;
    case PNG_COLOR_TYPE_GRAY_ALPHA: channels = 2; break;
    case PNG_COLOR_TYPE_RGB_ALPHA: channels = 4; break;
    default: channels = 1; break;
    }
    // Every pixel is stored once, interlaced or not, so the samples alone
    // (filter bytes left out) are a lower bound on the inflated size.
    const uint64_t row_bits = uint64_t(h.width) * channels * h.depth;
    const uint64_t max_bits = (h.remaining + 1) * max_inflate_ratio * 8;
    return row_bits != 0 && h.height > max_bits / row_bits;
}

// Ancillary chunks that libpng reads whole into memory, none of which this
// loader uses. libpng lets a chunk claim more than its size limit with only a
// warning, so a few bytes claiming a 2 GB text chunk would cost 2 GB before
// the file runs out; treated as unwanted, their bytes are just read past (and
// their checksums still checked).
const png_byte unused_chunks[] = "tEXt\0zTXt\0iTXt\0iCCP\0sPLT\0eXIf\0pCAL\0sCAL";
const int unused_chunk_count = sizeof unused_chunks / 5;

// libpng's error handler, called before its default one, which prints the
// message and returns through the jump buffer: the message becomes the reason.
// "Read Error" only says that fewer bytes came than were wanted; the stream
// says whether the file ended or the system failed.
void record_png_error(png_structp png, png_const_charp message)
{
    FILE *stream = static_cast<FILE *>(png_get_io_ptr(png));
    if (stream && strcmp(message, "Read Error") == 0 && feof(stream))
        set_printed_image_error("%s: the file ends too early", message);
    else if (stream && strcmp(message, "Read Error") == 0 && ferror(stream))
        set_printed_image_error("%s: %s", message, errno_text(errno));
    else
        set_printed_image_error("%s", message);
}

const char *colour_type_name(int color_type)
{
    switch (color_type) {
    case PNG_COLOR_TYPE_GRAY: return "grey";
    case PNG_COLOR_TYPE_GRAY_ALPHA: return "grey and alpha";
    case PNG_COLOR_TYPE_PALETTE: return "palette";
    default: return "this colour type's";
    }
}

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
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, unused_chunks, unused_chunk_count);
    // What the header says is checked before libpng decodes anything: an
    // image of a colour type this loader refuses, or above the pixel limit,
    // would otherwise be decoded whole first.
    png_header header;
    const bool header_seen = peek_header(stream, &header);
    if (header_seen) {
        // Only the valid types: libpng tells what is wrong with the others.
        const int type = header.colour_type;
        if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_PALETTE || type == PNG_COLOR_TYPE_GRAY_ALPHA) {
            set_image_error("%s PNG images are not supported", colour_type_name(type));
            return nullptr;
        }
        if (!image_size_allowed(header.width, header.height))
            return nullptr;
        if (cannot_hold_image(header)) {
            char message[96];
            snprintf(message, sizeof message, "Not enough image data for a %u x %u image",
                     static_cast<unsigned>(header.width), static_cast<unsigned>(header.height));
            png_error(png, message); // prints it and returns through the jump buffer
        }
    }

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
    if (color_type != PNG_COLOR_TYPE_RGB && color_type != PNG_COLOR_TYPE_RGB_ALPHA) {
        set_image_error("%s PNG images are not supported", colour_type_name(color_type));
        return nullptr;
    }
    // Checked again for a stream the header could not be looked ahead in:
    // costly then, but no image above the limit is ever returned.
    if (!header_seen && !image_size_allowed(w, h))
        return nullptr;

    const size_t count = static_cast<size_t>(w) * h;
    if ((w != 0 && count / w != h) || count > SIZE_MAX / 4) {
        set_image_error("%s", errno_text(ENOMEM));
        return nullptr;
    }
    pixels = static_cast<uint32_t *>(malloc(count != 0 ? count * 4 : 1));
    if (!pixels) {
        set_image_error("%s", errno_text(ENOMEM));
        return nullptr;
    }

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
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, record_png_error, nullptr);
    if (!png) {
        set_image_error("%s", errno_text(ENOMEM));
        fclose(stream);
        return nullptr;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        set_image_error("%s", errno_text(ENOMEM));
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
    set_printed_image_error("saving png files is not implemented yet");
    fclose(stream);
    return -1;
}
