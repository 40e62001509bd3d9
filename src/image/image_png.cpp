// image_png.cpp - PNG reading through libpng's classic interface. Reads 8-bit
// RGB and RGBA images (16-bit ones are reduced to 8 bits); grey and palette
// images are refused. The writer is an entry point only.
#include "image_png.h"

#include "image.h"
#include "image_base.h"

#include "pixel_memory.h"
#include "pixel_rows.h"

#include <png.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Rows are handed to libpng as the buffer's own bytes: blue, green, red, alpha
// in memory are the word 0xAARRGGBB only on a little-endian host.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the png codec assumes a little-endian host");

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
    if (start < 0 || !bytes_to_end(stream, &h->remaining))
        return false;
    unsigned char ihdr[8 + 13];
    const bool have_header = fread(ihdr, 1, sizeof ihdr, stream) == sizeof ihdr;
    if (fseek(stream, start, SEEK_SET) != 0 || !have_header)
        return false;
    if (big_endian_32(ihdr) != 13 || memcmp(ihdr + 4, "IHDR", 4) != 0)
        return false;
    h->width = big_endian_32(ihdr + 8);
    h->height = big_endian_32(ihdr + 12);
    h->depth = ihdr[16];
    h->colour_type = ihdr[17];
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

// libpng reads the image data this many bytes at a time, where the chunk
// holding it is that long (its default is 8 KiB): fewer reads and fewer calls
// into inflate.
const size_t read_buffer_bytes = size_t(1) << 20;

// Asks libpng for 8-bit samples with the passes of an interlaced image
// combined. `in_place` (interlaced images, whose passes are combined in the
// buffer itself) also asks for the final byte order, blue, green, red, alpha,
// which on this little-endian host are the bytes of the word 0xAARRGGBB, with
// an opaque alpha byte after each RGB pixel. Other rows are converted here:
// libpng's swap and filler move a byte at a time and cost a sixth of a photo's
// decode.
void ask_for_rows(png_structp png, int color_type, bool in_place)
{
#ifdef PNG_READ_SCALE_16_TO_8_SUPPORTED
    // 16-bit samples are scaled to 8 bits with rounding; 8-bit images are not touched.
    png_set_scale_16(png);
#else
    png_set_strip_16(png);
#endif
    if (!in_place)
        return;
    png_set_bgr(png);
    if (color_type == PNG_COLOR_TYPE_RGB)
        png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
}

// Records libpng's error message as the reason (print_png_error, libpng's
// error handler, calls it before it prints the message and returns through
// the jump buffer).
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

// libpng's error and warning handlers, printing what its default ones print
// through the base, so that set_image_messages silences them too. The error
// handler records the reason and returns through the jump buffer itself.
[[noreturn]] void print_png_error(png_structp png, png_const_charp message)
{
    record_png_error(png, message);
    print_message("libpng error: %s\n", message);
    png_longjmp(png, 1);
}

void print_png_warning(png_structp, png_const_charp message)
{
    print_message("libpng warning: %s\n", message);
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
    png_bytep volatile scratch = nullptr;
    if (setjmp(png_jmpbuf(png))) {
        free(pixels);
        free(scratch);
        return nullptr;
    }
    png_init_io(png, stream);
    png_set_sig_bytes(png, 8);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, unused_chunks, unused_chunk_count);
    png_set_compression_buffer_size(png, read_buffer_bytes);
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

    png_read_info(png, info);
    const png_uint_32 w = png_get_image_width(png, info);
    const png_uint_32 h = png_get_image_height(png, info);
    const int color_type = png_get_color_type(png, info);
    const bool in_place = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
    const bool widen = color_type == PNG_COLOR_TYPE_RGB && !in_place;
    const bool swap = color_type == PNG_COLOR_TYPE_RGB_ALPHA && !in_place;
    ask_for_rows(png, color_type, in_place);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    *width = w;
    *height = h;

    const bool pixel_type = color_type == PNG_COLOR_TYPE_RGB || color_type == PNG_COLOR_TYPE_RGB_ALPHA;
    const size_t row_bytes = png_get_rowbytes(png, info);
    if (!pixel_type) {
        // Grey and palette images are refused, but only once the whole file has
        // been read: a damaged one is still reported as damaged.
        if (!(scratch = static_cast<png_bytep>(malloc(row_bytes != 0 ? row_bytes : 1))))
            return nullptr;
        for (int pass = 0; pass < passes; ++pass)
            for (png_uint_32 y = 0; y < h; ++y)
                png_read_row(png, scratch, nullptr);
        png_read_end(png, info);
        free(scratch);
        scratch = nullptr;
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
    if (row_bytes != static_cast<size_t>(w) * (widen ? 3 : 4)) {
        set_image_error("libpng gives rows of %zu bytes for %u pixels of this colour type", row_bytes,
                        static_cast<unsigned>(w));
        return nullptr;
    }
    // An RGB image comes one row at a time through a scratch row that stays
    // in the cache.
    if (widen && !(scratch = static_cast<png_bytep>(malloc(row_bytes != 0 ? row_bytes : 1)))) {
        set_image_error("%s", errno_text(ENOMEM));
        return nullptr;
    }
    pixels = static_cast<uint32_t *>(allocate_pixels(count * 4));
    if (!pixels) {
        free(scratch);
        set_image_error("%s", errno_text(ENOMEM));
        return nullptr;
    }
    // Each pass of an interlaced image adds its pixels to rows that hold the
    // earlier passes', as png_read_image does.
    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < h; ++y) {
            uint32_t *out = pixels + static_cast<size_t>(y) * w;
            png_read_row(png, widen ? scratch : reinterpret_cast<png_bytep>(out), nullptr);
            if (widen)
                pixel_rows::from_rgb(scratch, out, w);
            else if (swap)
                pixel_rows::from_rgba(out, w);
        }
    png_read_end(png, info);
    free(scratch);
    scratch = nullptr;
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
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, print_png_error, print_png_warning);
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
    // The one message of the writer's that ends without a line break.
    print_message("saving png files is not implemented yet");
    set_printed_image_error("saving png files is not implemented yet");
    fclose(stream);
    return -1;
}

// Header-only reading, for image_info.

namespace {

bool refused_colour_type(int type)
{
    return type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_PALETTE || type == PNG_COLOR_TYPE_GRAY_ALPHA;
}

// The setjmp lives here, alone with plain data. Reads the chunks up to the
// image data, as read_png does before it decodes anything, and refuses the
// colour types it refuses (from the header chunk where the stream can be
// looked ahead in, as it does); the pixel limit and the amount of image
// data are left to the load.
bool read_png_header(FILE *stream, png_structp png, png_infop info, uint32_t *width, uint32_t *height)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_init_io(png, stream);
    png_set_sig_bytes(png, 8);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, unused_chunks, unused_chunk_count);
    png_header header;
    int type = peek_header(stream, &header) ? header.colour_type : PNG_COLOR_TYPE_RGB;
    if (!refused_colour_type(type)) {
        png_read_info(png, info);
        type = png_get_color_type(png, info);
    }
    if (refused_colour_type(type)) {
        set_image_error("%s PNG images are not supported", colour_type_name(type));
        return false;
    }
    *width = png_get_image_width(png, info);
    *height = png_get_image_height(png, info);
    return true;
}

} // namespace

int info_png(FILE *stream, uint32_t *width, uint32_t *height)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, print_png_error, print_png_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    const bool read = info && read_png_header(stream, png, info, width, height);
    if (!info)
        set_image_error("%s", errno_text(ENOMEM));
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(stream);
    return read ? 0 : -1;
}
