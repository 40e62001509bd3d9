// image_png.cpp - PNG reading through libpng's classic interface. Reads 8-bit
// RGB and RGBA images (16-bit ones are reduced to 8 bits); grey and palette
// images are refused, and a transparent colour (tRNS) is ignored, unless the
// read flag IMAGE_READ_ANY is set: then every colour type and depth loads,
// with the transparent colour as alpha 0. The writer is an entry point only.
#include "image_png.h"

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
    bool remaining_known;
};

// Reads the header chunk and, where the stream can tell, how many bytes it
// still holds, then puts the position back. False when the stream cannot go
// back or the header is not as expected: such files are left to libpng.
bool peek_header(FILE *stream, png_header *h)
{
    const long start = ftell(stream);
    if (start < 0)
        return false;
    // A pipe cannot tell how much follows; its header is read all the same.
    h->remaining_known = bytes_to_end(stream, &h->remaining);
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
    if (!h.remaining_known)
        return false;
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

// libpng reads the image data this many bytes at a time (its default is
// 8 KiB), and reads at most max_png_bytes_after_image more once the image's
// last row is done; libpng inflates the rest of the data 1 KiB at a time, so
// what follows the last row costs at most these two blocks.
const size_t read_block_bytes = size_t(32) << 10;

// The stream as libpng reads it, through read_from_source.
struct png_source {
    FILE *stream;
    png_uint_32 height;       // 0 until libpng reads rows
    size_t bytes_after_image; // read since the last row was done
    bool stopped;             // the rest of the file was left unread
    bool any;                 // IMAGE_READ_ANY, as it was when the call began
};

// True once libpng has decoded the last row of the image. Its row counter
// reaches the height at the end of an image that is not interlaced; for an
// interlaced one it starts again at each pass, and the pass counter goes past
// the last pass (6) at the end.
bool image_done(png_structp png, const png_source &source)
{
    return source.height != 0 &&
           (png_get_current_pass_number(png) > 6 || png_get_current_row_number(png) >= source.height);
}

// Reads for libpng as its own stdio reader does, but stops the read past the
// allowance after the image, returning through the jump buffer with the
// pixels complete.
void read_from_source(png_structp png, png_bytep data, size_t length)
{
    png_source *source = static_cast<png_source *>(png_get_io_ptr(png));
    if (image_done(png, *source) && (source->bytes_after_image += length) > max_png_bytes_after_image) {
        source->stopped = true;
        png_longjmp(png, 1);
    }
    if (fread(data, 1, length, source->stream) != length)
        png_error(png, "Read Error"); // libpng's words for a short read
}

// libpng's error handler: prints the message as libpng's own handler does,
// records it as the reason, and returns through the jump buffer. "Read Error"
// only says that fewer bytes came than were wanted; the stream says whether
// the file ended or the system failed.
void report_png_error(png_structp png, png_const_charp message)
{
    print_message("libpng error: %s\n", message);
    const png_source *source = static_cast<const png_source *>(png_get_io_ptr(png));
    const bool short_read = source && strcmp(message, "Read Error") == 0;
    if (short_read && feof(source->stream))
        set_printed_image_error("%s: the file ends too early", message);
    else if (short_read && ferror(source->stream))
        set_printed_image_error("%s: %s", message, errno_text(errno));
    else
        set_printed_image_error("%s", message);
    png_longjmp(png, 1);
}

// libpng's warnings, as its own handler prints them; a load shows only the
// first few.
void report_png_warning(png_structp, png_const_charp message)
{
    print_warning("libpng warning: %s\n", message);
}

// How rows reach the pixel buffer. The passes of an interlaced image are
// combined in the buffer itself, so libpng must give them in their final
// bytes: blue, green, red, alpha, which on this little-endian host are the
// word 0xAARRGGBB, with an opaque alpha byte after each RGB pixel. Other
// images skip libpng's swap and filler, which move a byte at a time and cost a
// sixth of a photo's decode: RGBA rows are read into the buffer and swapped
// there, RGB rows come through a scratch row that stays in the cache. What
// only IMAGE_READ_ANY reads: grey and palette images of 8 bits or fewer come
// as one byte a pixel through the scratch row, each byte looked up in a table
// of the words it stands for (libpng's expansion, three passes a byte at a
// time, made a grey image cost half as much again as an RGB one of its size);
// libpng expands the rest (grey and alpha, 16-bit grey, a transparent colour,
// interlaced images) into the final bytes.
enum class row_route { final_bytes, rgba_swapped, rgb_widened, looked_up };

// The word of each sample value (1 << depth of them) of a grey image, or of
// each palette index: a transparent grey (compared at the image's depth, as
// libpng does) or palette entry gets its alpha; libpng gives an index past the
// palette's end opaque black.
void fill_colours(png_structp png, png_infop info, uint32_t *colours)
{
    const unsigned values = 1u << png_get_bit_depth(png, info);
    png_colorp palette = nullptr;
    png_bytep alpha = nullptr;
    png_color_16p key = nullptr;
    int entries = 0, alphas = 0;
    png_get_PLTE(png, info, &palette, &entries);
    png_get_tRNS(png, info, &alpha, &alphas, &key);
    const bool grey = png_get_color_type(png, info) == PNG_COLOR_TYPE_GRAY;
    for (unsigned i = 0; i < values; ++i) {
        const unsigned v = i * 255 / (values - 1);
        if (grey)
            colours[i] = pixel_rows::word(key && (key->gray & (values - 1)) == i ? 0 : 0xFF, v, v, v);
        else
            colours[i] = int(i) >= entries ? 0xFF000000u
                                           : pixel_rows::word(int(i) < alphas ? alpha[i] : 0xFF, palette[i].red,
                                                              palette[i].green, palette[i].blue);
    }
}

// Chooses the route and asks libpng for 8-bit samples, with the passes of an
// interlaced image combined, in the bytes the route wants.
row_route ask_for_rows(png_structp png, png_infop info, bool any, uint32_t *colours)
{
#ifdef PNG_READ_SCALE_16_TO_8_SUPPORTED
    // 16-bit samples are scaled to 8 bits with rounding; 8-bit images are not touched.
    png_set_scale_16(png);
#else
    png_set_strip_16(png);
#endif
    const int type = png_get_color_type(png, info);
    const bool expanded = any && (type == PNG_COLOR_TYPE_PALETTE || !(type & PNG_COLOR_MASK_COLOR) ||
                                  png_get_valid(png, info, PNG_INFO_tRNS));
    const bool interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
    if (!expanded && !interlaced)
        return type == PNG_COLOR_TYPE_RGB ? row_route::rgb_widened : row_route::rgba_swapped;
    if (!interlaced && (type == PNG_COLOR_TYPE_PALETTE || type == PNG_COLOR_TYPE_GRAY) &&
        png_get_bit_depth(png, info) <= 8) {
        png_set_packing(png);
        fill_colours(png, info, colours);
        return row_route::looked_up;
    }
    if (expanded) {
        // Palette entries, samples of 1, 2 or 4 bits and the transparent
        // colour (compared before any scaling) become RGB or RGBA samples.
        png_set_expand(png);
        png_set_gray_to_rgb(png);
    }
    png_set_bgr(png);
    // Only rows still without alpha get the filler.
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    return row_route::final_bytes;
}

// What read_png builds. It lives with read_png's caller, outside the frame
// libpng's errors jump back into, so its latest state is always there: to
// release after a failure, or to finish when the read stops after the image.
struct png_rows {
    uint32_t *pixels;
    png_bytep scratch; // the row of the RGB and looked-up routes
    row_route route;
    uint32_t colours[256]; // the looked-up route's words
    png_uint_32 width;
    uint32_t *unfinished; // the row png_read_row fills, until turned into words
};

// Turns the row libpng has just given into pixel words, as its route needs.
void finish_row(png_rows *rows)
{
    if (rows->route == row_route::rgb_widened)
        pixel_rows::from_rgb(rows->scratch, rows->unfinished, rows->width);
    else if (rows->route == row_route::looked_up)
        for (const png_byte *in = rows->scratch, *end = in + rows->width; in != end; ++in)
            *rows->unfinished++ = rows->colours[*in];
    else if (rows->route == row_route::rgba_swapped)
        pixel_rows::from_rgba(rows->unfinished, rows->width);
    rows->unfinished = nullptr;
}

// True, with the reason recorded, for the valid colour types the strict mode
// does not read; libpng itself refuses the values that are not valid.
bool colour_type_refused(int type, bool any)
{
    const char *kind = type == PNG_COLOR_TYPE_GRAY         ? "grey"
                       : type == PNG_COLOR_TYPE_GRAY_ALPHA ? "grey and alpha"
                       : type == PNG_COLOR_TYPE_PALETTE    ? "palette"
                                                           : nullptr;
    if (any || !kind)
        return false;
    set_image_error("%s PNG images are not supported", kind);
    return true;
}

// What read_up_to_data checks: the header alone (image_info), or also what a
// whole load must afford.
enum class checks { header, whole_load };

// Reads the chunks up to the image data, under the caller's setjmp, with the
// load's checks of what they say. Where the stream can be looked ahead in,
// they come before libpng decodes anything: an image of a colour type this
// loader refuses, or (for a load) above the pixel limit or claiming far more
// than the file holds, fails at once. A stream that could not be looked ahead
// in is checked from what libpng read of its header.
bool read_up_to_data(png_structp png, png_infop info, png_source *source, checks wanted)
{
    const bool load = wanted == checks::whole_load;
    // Through the source, past the signature the probe read, without the
    // chunks nothing here uses.
    png_set_read_fn(png, source, read_from_source);
    png_set_sig_bytes(png, 8);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, unused_chunks, unused_chunk_count);
    png_set_compression_buffer_size(png, read_block_bytes);
#ifdef PNG_SET_USER_LIMITS_SUPPORTED
    // PNG allows 2^31 - 1 pixels a side, libpng's default a million: the
    // pixel limit alone decides.
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
#endif
    png_header header;
    const bool header_seen = peek_header(source->stream, &header);
    if (header_seen) {
        if (colour_type_refused(header.colour_type, source->any) ||
            (load && !image_size_allowed(header.width, header.height)))
            return false;
        if (load && cannot_hold_image(header)) {
            char message[96];
            snprintf(message, sizeof message, "Not enough image data for a %u x %u image",
                     static_cast<unsigned>(header.width), static_cast<unsigned>(header.height));
            png_error(png, message); // prints it and returns through the jump buffer
        }
    }
    png_read_info(png, info);
    return header_seen || (!colour_type_refused(png_get_color_type(png, info), source->any) &&
                           (!load || image_size_allowed(png_get_image_width(png, info),
                                                        png_get_image_height(png, info))));
}

// The setjmp lives here, alone with plain data: libpng's longjmp must not skip
// any destructor. Reads the chunks up to the image data with the checks
// wanted, and for a load the rows. True when the size is known and, for a
// load, rows->pixels holds the whole image; the caller releases what rows
// holds, destroys libpng's structures and closes the stream.
bool read_png(png_structp png, png_infop info, png_source *source, checks wanted, png_rows *rows, uint32_t *width,
              uint32_t *height)
{
    if (setjmp(png_jmpbuf(png))) {
        // A read stopped after the image leaves it whole, but for turning its
        // last row into words when the stop came inside png_read_row.
        if (!source->stopped)
            return false;
        if (rows->unfinished)
            finish_row(rows);
        return true;
    }
    if (!read_up_to_data(png, info, source, wanted))
        return false;
    const png_uint_32 w = *width = png_get_image_width(png, info);
    const png_uint_32 h = *height = png_get_image_height(png, info);
    if (wanted == checks::header)
        return true;
    rows->route = ask_for_rows(png, info, source->any, rows->colours);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);

    const size_t row_bytes = png_get_rowbytes(png, info);
    const bool scratch = rows->route == row_route::rgb_widened || rows->route == row_route::looked_up;
    if (row_bytes != static_cast<size_t>(w) * (rows->route == row_route::rgb_widened ? 3 : scratch ? 1 : 4)) {
        set_image_error("libpng gives rows of %zu bytes for %u pixels of this colour type", row_bytes,
                        static_cast<unsigned>(w));
        return false;
    }
    const size_t bytes = pixel_buffer_bytes(w, h);
    if (bytes == 0 ||
        (scratch && !(rows->scratch = static_cast<png_bytep>(malloc(row_bytes != 0 ? row_bytes : 1)))) ||
        !(rows->pixels = static_cast<uint32_t *>(allocate_pixels(bytes)))) {
        record_errno(ENOMEM);
        return false;
    }
    rows->width = w;
    source->height = h;
    // Each pass of an interlaced image adds its pixels to rows that hold the
    // earlier passes', as png_read_image does.
    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < h; ++y) {
            rows->unfinished = rows->pixels + static_cast<size_t>(y) * w;
            png_read_row(png, scratch ? rows->scratch : reinterpret_cast<png_bytep>(rows->unfinished), nullptr);
            finish_row(rows);
        }
    png_read_end(png, info);
    return true;
}

// What the load and the header reading share: libpng's structures, made and
// destroyed here, and the stream, closed here on every path. rows->pixels is
// the image after a load, null after a failure.
bool read_stream(FILE *stream, checks wanted, png_rows *rows, uint32_t *width, uint32_t *height)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, report_png_error, report_png_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    png_source source = {stream, 0, 0, false, (get_image_read_flags() & IMAGE_READ_ANY) != 0};
    const bool read = info && read_png(png, info, &source, wanted, rows, width, height);
    if (!info)
        record_errno(ENOMEM);
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(stream);
    free(rows->scratch);
    if (!read) {
        free(rows->pixels);
        rows->pixels = nullptr;
    }
    return read;
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
    png_rows rows = {};
    return read_stream(stream, checks::whole_load, &rows, width, height) ? rows.pixels : nullptr;
}

int info_png(FILE *stream, uint32_t *width, uint32_t *height)
{
    png_rows rows = {};
    return read_stream(stream, checks::header, &rows, width, height) ? 0 : -1;
}

int save_png(FILE *stream, const uint32_t *, uint32_t, uint32_t)
{
    // The one message of the writer's that ends without a line break.
    print_message("saving png files is not implemented yet");
    set_printed_image_error("saving png files is not implemented yet");
    fclose(stream);
    return -1;
}
