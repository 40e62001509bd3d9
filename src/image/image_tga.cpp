// image_tga.cpp - TGA files: the probe, the strict reader of uncompressed
// true-colour images with the version 2 footer (24- and 32-bit, stored top or
// bottom first), the reader of every type, depth and origin that
// IMAGE_READ_ANY adds, and a writer of 24- or 32-bit images under the save
// flags.
#include "image_tga.h"

#include "image_base.h"

#include "byteorder.h"
#include "pixel_memory.h"
#include "pixel_rows.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

// Pixels are moved between the buffer and the file with memcpy: the buffer's
// words hold blue, green, red, alpha in memory only on a little-endian host.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the tga codec assumes a little-endian host");

namespace {

const char signature[] = "TRUEVISION-XFILE."; // 16 characters and the full stop
const size_t signature_length = sizeof signature - 1;
const uint32_t max_side = 65535; // the header's 16-bit width and height fields

const int image_type_true_colour = 2;
const int image_type_run_length = 8; // added to the colour-mapped, true-colour and grey types
const int descriptor_alpha_bits = 0x0F;
const int descriptor_right_first = 0x10;
const int descriptor_top_first = 0x20;

struct tga_header {
    int id_length;
    int colour_map_type;
    int image_type;
    uint16_t colour_map_first;
    uint16_t colour_map_length;
    int colour_map_entry_bits;
    uint16_t width;
    uint16_t height;
    int depth;
    int descriptor;
};

int read_byte(FILE *stream)
{
    return static_cast<uint8_t>(read_int8(stream));
}

// Reads the 18 header bytes field by field; false when the file ends (or
// fails) before all of them are there.
bool read_header(FILE *stream, tga_header &h)
{
    h.id_length = read_byte(stream);
    h.colour_map_type = read_byte(stream);
    h.image_type = read_byte(stream);
    h.colour_map_first = static_cast<uint16_t>(read_int16(stream));
    h.colour_map_length = static_cast<uint16_t>(read_int16(stream));
    h.colour_map_entry_bits = read_byte(stream);
    (void)read_int16(stream); // x origin
    (void)read_int16(stream); // y origin
    h.width = static_cast<uint16_t>(read_int16(stream));
    h.height = static_cast<uint16_t>(read_int16(stream));
    h.depth = read_byte(stream);
    h.descriptor = read_byte(stream);
    return !feof(stream) && !ferror(stream);
}

// The header from the start of the stream; false when the stream cannot go
// there or ends inside it.
bool header_at_start(FILE *stream, tga_header &h)
{
    return fseek(stream, 0, SEEK_SET) == 0 && read_header(stream, h);
}

// The bytes of the colour map after the header (and the ID). An entry takes
// whole bytes: a 15-bit one is stored in two, as a 16-bit one is.
uint32_t colour_map_bytes(const tga_header &h)
{
    return h.colour_map_type == 1 ? uint32_t(h.colour_map_length) * ((h.colour_map_entry_bits + 7) / 8) : 0;
}

// What the reason says of an image type this reader refuses, beyond the
// message it prints for all of them.
const char *image_type_refusal(int image_type)
{
    switch (image_type) {
    case 0: return "tga file holds no image data";
    case 1: return "colour-mapped tga images are not supported";
    case 3: return "greyscale tga images are not supported";
    case 9: return "run-length encoded colour-mapped tga images are not supported";
    case 10: return "run-length encoded tga images are not supported";
    case 11: return "run-length encoded greyscale tga images are not supported";
    default: return "only true color tga images supported";
    }
}

// Turns n pixels of the file's bytes into buffer words.
void convert_pixels(const unsigned char *src, uint32_t *dest, size_t n, int bytes_per_pixel)
{
    if (bytes_per_pixel == 4) {
        memcpy(dest, src, n * 4); // blue, green, red, alpha: the word's own layout
        return;
    }
    pixel_rows::from_bgr(src, dest, n);
}

// The pixel in which the file ended: the bytes it has, 0xFF for each it lacks.
uint32_t partial_pixel(const unsigned char *bytes, size_t present, bool has_alpha)
{
    unsigned char b[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    memcpy(b, bytes, present);
    const uint32_t alpha = has_alpha ? b[3] : 0xFFu;
    return alpha << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0];
}

// Where the k-th row the file stores lands in the buffer.
uint32_t *stored_row(uint32_t *pixels, const tga_header &h, size_t k)
{
    const bool top_first = h.descriptor & descriptor_top_first;
    return pixels + (top_first ? k : h.height - 1 - k) * size_t(h.width);
}

// The file ended `have` bytes into the k-th row it stores (`src`): the whole
// pixels there are already in place. The pixel it ended in gets 0xFF for each
// missing byte; the rest of that row and every later stored row are 0, which
// a zeroed buffer already holds.
void finish_cut_image(uint32_t *pixels, const tga_header &h, int bytes_per_pixel, size_t k,
                      const unsigned char *src, size_t have, bool zeroed)
{
    const size_t whole = have / bytes_per_pixel;
    uint32_t *row = stored_row(pixels, h, k);
    row[whole] = partial_pixel(src + whole * bytes_per_pixel, have - whole * bytes_per_pixel, bytes_per_pixel == 4);
    if (zeroed)
        return;
    std::fill(row + whole + 1, row + h.width, 0u);
    for (size_t later = k + 1; later < h.height; ++later)
        std::fill_n(stored_row(pixels, h, later), h.width, 0u);
}

// Reads the pixel area into a buffer of width x height words (neither of them
// 0). A file that ends early keeps what it had, the rest made up as
// finish_cut_image says. False only on a read error.
bool read_pixels(FILE *stream, const tga_header &h, int bytes_per_pixel, uint32_t *pixels, bool zeroed)
{
    const size_t height = h.height;
    const size_t row_bytes = size_t(h.width) * bytes_per_pixel;

    // Many rows per read: a large fread goes straight to the file, where
    // row-sized ones would each pass through the stream's buffer. 64 KiB stays
    // in the cache and below the size at which malloc maps fresh memory, whose
    // every page a first load would pay a fault for.
    const size_t chunk_rows = std::min(height, std::max<size_t>(1, (64 * 1024) / row_bytes));
    malloc_ptr<unsigned char> scratch(static_cast<unsigned char *>(malloc(chunk_rows * row_bytes)));
    if (!scratch)
        return false;

    for (size_t first = 0; first < height; first += chunk_rows) {
        const size_t rows = std::min(chunk_rows, height - first);
        const size_t got = fread(scratch.get(), 1, rows * row_bytes, stream);
        if (got < rows * row_bytes && ferror(stream))
            return false;
        for (size_t i = 0; i < rows; ++i) {
            const unsigned char *src = scratch.get() + i * row_bytes;
            const size_t row_start = i * row_bytes;
            const size_t have = got > row_start ? std::min(got - row_start, row_bytes) : 0;
            convert_pixels(src, stored_row(pixels, h, first + i), have / bytes_per_pixel, bytes_per_pixel);
            if (have < row_bytes) {
                finish_cut_image(pixels, h, bytes_per_pixel, first + i, src, have, zeroed);
                return true;
            }
        }
    }
    return true;
}

// The reader of every type (IMAGE_READ_ANY). Its pixels are Pillow's
// (convert("RGBA")) wherever Pillow reads the file: the depth alone sets the
// bytes a pixel, whatever the descriptor's alpha bits say; 32-bit values
// carry alpha, 15- and 16-bit ones never (the top bit means nothing); an
// 8-bit grey value is opaque and a 16-bit one holds grey, then alpha. Where
// Pillow cannot read a file, the format decides: 15-bit true colour as
// 16-bit, a 15-bit colour map's entries as 16-bit ones (Pillow 9.4 takes
// each for a byte of grey), 32-bit entries with their alpha, and runs that
// go on into the next row (Pillow refuses them, but not raw packets that do).

// How a stored value becomes a word.
enum class sample : uint8_t { grey, grey_alpha, rgb15, bgr, bgra, index };

// The depths each type may have, the run-length bit left out; a colour map's
// entries are read as true-colour pixels of their size.
struct layout {
    int type, depth;
    sample kind;
};
const layout layouts[] = {
    {1, 8, sample::index}, {1, 16, sample::index},     {2, 15, sample::rgb15}, {2, 16, sample::rgb15},
    {2, 24, sample::bgr},  {2, 32, sample::bgra},      {3, 8, sample::grey},   {3, 16, sample::grey_alpha},
};

const layout *find_layout(int image_type, int depth)
{
    for (const layout &l : layouts)
        if (l.type == (image_type & ~image_type_run_length) && l.depth == depth)
            return &l;
    return nullptr;
}

bool colour_mapped(const tga_header &h)
{
    return (h.image_type & ~image_type_run_length) == 1;
}

// What keeps the reader of every type from taking the header, or null.
const char *header_fault(const tga_header &h)
{
    if (!find_layout(h.image_type, h.depth))
        return "tga image type or depth not supported";
    if (colour_mapped(h) && (h.colour_map_type != 1 || h.colour_map_length == 0 ||
                             !find_layout(image_type_true_colour, h.colour_map_entry_bits)))
        return "tga colour map missing or of an unsupported entry size";
    return nullptr;
}

// A header that only TGA files have, for a file without the footer: the
// reader takes it, the colour-map fields agree with the type, and the fields
// writers leave at 0 are 0.
bool footerless_header(const tga_header &h)
{
    const bool map_fields_fit =
        h.colour_map_type == 0 ? h.colour_map_length == 0 && h.colour_map_entry_bits == 0
                               : h.colour_map_type == 1 && find_layout(image_type_true_colour, h.colour_map_entry_bits);
    return !header_fault(h) && map_fields_fit && h.width != 0 && h.height != 0 && (h.descriptor & 0xC0) == 0 &&
           (!colour_mapped(h) || h.colour_map_first < (1u << h.depth));
}

// A 5-bit channel scaled to 8 bits, rounded down as Pillow does.
unsigned from_five_bits(unsigned v)
{
    return (v & 31) * 255 / 31;
}

uint32_t to_word(sample kind, const unsigned char *p)
{
    switch (kind) {
    case sample::grey: return 0xFF000000u | p[0] * 0x010101u;
    case sample::grey_alpha: return uint32_t(p[1]) << 24 | p[0] * 0x010101u;
    case sample::rgb15: {
        const unsigned v = p[0] | p[1] << 8;
        return pixel_rows::word(0xFF, from_five_bits(v >> 10), from_five_bits(v >> 5), from_five_bits(v));
    }
    case sample::bgr: return pixel_rows::word(0xFF, p[2], p[1], p[0]);
    case sample::bgra: return pixel_rows::word(p[3], p[2], p[1], p[0]);
    case sample::index: break; // looked up in the colour map by the caller
    }
    return 0;
}

const size_t source_block_bytes = 64 * 1024;

// The bytes after the ID (and, for a type without one, after the colour
// map), read a block at a time and handed out a few at a time.
struct byte_source {
    FILE *stream;
    malloc_ptr<unsigned char> block;
    size_t at, end;
};

// The next n bytes (at most 5), or null where the data ends or a read fails.
const unsigned char *take(byte_source &in, size_t n)
{
    if (in.end - in.at < n) {
        memmove(in.block.get(), in.block.get() + in.at, in.end - in.at);
        in.end -= in.at;
        in.at = 0;
        in.end += fread(in.block.get() + in.end, 1, source_block_bytes - in.end, in.stream);
        if (in.end < n)
            return nullptr;
    }
    in.at += n;
    return in.block.get() + in.at - n;
}

// The colour map as words, indexed by the values pixels hold: entry i of the
// file is value first + i, and the values below first are opaque black, as
// Pillow shows them. Only the values a pixel can hold are kept.
bool read_colour_map(byte_source &in, const tga_header &h, malloc_ptr<uint32_t> &map, size_t &entries)
{
    const size_t reachable = size_t(1) << h.depth;
    entries = std::min<size_t>(size_t(h.colour_map_first) + h.colour_map_length, reachable);
    map.reset(static_cast<uint32_t *>(malloc(entries * 4)));
    if (!map) {
        record_errno(ENOMEM);
        return false;
    }
    std::fill_n(map.get(), std::min<size_t>(h.colour_map_first, entries), 0xFF000000u);
    const sample kind = find_layout(image_type_true_colour, h.colour_map_entry_bits)->kind;
    const size_t entry_bytes = (h.colour_map_entry_bits + 7) / 8;
    for (size_t i = h.colour_map_first; i < size_t(h.colour_map_first) + h.colour_map_length; ++i) {
        const unsigned char *p = take(in, entry_bytes);
        if (!p) {
            if (ferror(in.stream))
                record_errno(errno);
            else
                set_image_error("the file ends inside the tga colour map");
            return false;
        }
        if (i < entries)
            map.get()[i] = to_word(kind, p);
    }
    return true;
}

// Reads the pixels of any type into a zeroed width x height buffer, in the
// order the descriptor gives (bits 5 and 4), raw data as one packet that
// never ends. A run may go on from one row into the next, never past the
// image. Where the data ends the rest stays 0, the pixel it ends in
// included. False, with the reason recorded, on a read error, a colour map
// cut short or a colour index past the map.
bool read_any_pixels(FILE *stream, const tga_header &h, uint32_t *pixels)
{
    byte_source in = {stream, malloc_ptr<unsigned char>(static_cast<unsigned char *>(malloc(source_block_bytes))),
                      0, 0};
    malloc_ptr<uint32_t> map;
    size_t entries = 0;
    if (!in.block) {
        record_errno(ENOMEM);
        return false;
    }
    if (colour_mapped(h) && !read_colour_map(in, h, map, entries))
        return false;
    const sample kind = find_layout(h.image_type, h.depth)->kind;
    const size_t bytes = (h.depth + 7) / 8, width = h.width, total = width * h.height;
    const bool right_first = h.descriptor & descriptor_right_first;
    bool bad_index = false;
    uint32_t value = 0;
    auto next_value = [&]() {
        const unsigned char *p = take(in, bytes);
        if (!p)
            return false;
        if (kind != sample::index) {
            value = to_word(kind, p);
            return true;
        }
        const size_t i = bytes == 2 ? p[0] | p[1] << 8 : p[0];
        if (i >= entries) {
            fail_with_message("tga colour index %zu is past the colour map's %zu entries", i, entries);
            bad_index = true;
            return false;
        }
        value = map.get()[i];
        return true;
    };
    // Pixels left of the current packet, whether it repeats one value, and
    // where the next pixel goes: the k-th stored row, x pixels into it.
    size_t left = h.image_type & image_type_run_length ? 0 : total, k = 0, x = 0;
    bool repeat = false;
    uint32_t *row = stored_row(pixels, h, 0);
    for (size_t stored = 0; stored < total; ++stored) {
        if (left == 0) {
            const unsigned char *c = take(in, 1);
            if (!c)
                break;
            left = (*c & 0x7F) + 1;
            repeat = *c & 0x80;
            if (repeat && !next_value())
                break;
        }
        if (!repeat && !next_value())
            break;
        row[right_first ? width - 1 - x : x] = value;
        --left;
        if (++x == width) {
            x = 0;
            if (++k < h.height)
                row = stored_row(pixels, h, k);
        }
    }
    if (bad_index)
        return false;
    if (ferror(stream)) {
        record_errno(errno);
        return false;
    }
    return true;
}

// Writes count pixels as blue, green, red and, with alpha, the alpha byte.
// Four-byte pixels are the buffer's own bytes; three-byte ones go through a
// scratch block so that each write call moves many pixels.
bool write_pixels(FILE *stream, const uint32_t *pixels, size_t count, bool alpha)
{
    if (count == 0)
        return true;
    if (alpha)
        return fwrite(pixels, 4, count, stream) == count;

    const size_t chunk = 16384;
    // One spare byte: each pixel is stored as a four-byte word whose fourth
    // byte the next pixel overwrites.
    malloc_ptr<unsigned char> scratch(static_cast<unsigned char *>(malloc(chunk * 3 + 1)));
    if (!scratch)
        return false;
    for (size_t start = 0; start < count; start += chunk) {
        const size_t n = std::min(chunk, count - start);
        unsigned char *out = scratch.get();
        for (size_t i = 0; i < n; ++i)
            memcpy(out + 3 * i, &pixels[start + i], 4);
        if (fwrite(out, 3, n, stream) != n)
            return false;
    }
    return true;
}

// Reads the header from the start of the stream and applies the reader's
// checks of it (the strict reader's, or with `any` those of the reader of
// every type), each with its message; false when one fails.
bool accepted_header(FILE *stream, tga_header &h, bool any)
{
    if (fseek(stream, 0, SEEK_SET) != 0) {
        record_errno(errno);
        return false;
    }
    if (!read_header(stream, h)) {
        if (ferror(stream))
            record_errno(errno);
        else
            set_image_error("the file ends inside the tga header");
        return false;
    }
    if (any) {
        if (const char *fault = header_fault(h)) {
            fail_with_message("%s", fault);
            return false;
        }
    } else if (h.image_type != image_type_true_colour) {
        print_message("only true color tga images supported\n");
        set_printed_image_error("%s", image_type_refusal(h.image_type));
        return false;
    } else if (h.depth != 24 && h.depth != 32) {
        // A pixel takes four bytes when the descriptor counts alpha bits and
        // three when it does not, whatever the depth field says: files
        // written here always agree with themselves. Depths other than 24
        // and 32 (15- and 16-bit colour) would only come out as noise that
        // way, so they are refused rather than shown wrong.
        fail_with_message("only 24 and 32 bit true color tga images supported");
        return false;
    }
    if (h.width == 0 || h.height == 0) {
        set_image_error("tga image has no pixels");
        return false;
    }
    return true;
}

bool read_any()
{
    return get_image_read_flags() & IMAGE_READ_ANY;
}

} // namespace

int check_tga(FILE *stream)
{
    unsigned char tail[18];
    if (fseek(stream, -18, SEEK_END) == 0 && fread(tail, 1, sizeof tail, stream) == sizeof tail &&
        memcmp(tail, signature, signature_length) == 0)
        return 1;
    // Without the footer only the header tells, and other formats are
    // probed first: take only headers that no reader of TGA would doubt.
    tga_header h;
    return read_any() && header_at_start(stream, h) && footerless_header(h);
}

uint32_t *load_tga(FILE *stream, uint32_t *width, uint32_t *height)
{
    file_ptr file(stream);
    const bool any = read_any();
    tga_header h;
    if (!accepted_header(stream, h, any))
        return nullptr;
    // What the strict reader takes goes its way in either mode, and as fast;
    // the reader of every type takes the rest, mirrored rows included. Only
    // the bytes a pixel differ: the strict reader counts them by the alpha
    // bits, the other by the depth.
    const bool plain = !any || (h.image_type == image_type_true_colour && (h.depth == 24 || h.depth == 32) &&
                                !(h.descriptor & descriptor_right_first));
    const int bytes_per_pixel = any ? (h.depth + 7) / 8 : (h.descriptor & descriptor_alpha_bits) != 0 ? 4 : 3;
    const bool skip_map = plain || !colour_mapped(h);
    if (fseek(stream, long(h.id_length) + long(skip_map ? colour_map_bytes(h) : 0), SEEK_CUR) != 0) {
        record_errno(errno);
        return nullptr;
    }

    if (!image_size_allowed(h.width, h.height))
        return nullptr;
    // At most 65535 x 65535 words, which fits size_t on the 64-bit host;
    // checked all the same.
    const size_t count = size_t(h.width) * h.height;
    if (pixel_buffer_bytes(h.width, h.height) == 0) {
        record_errno(ENOMEM);
        return nullptr;
    }
    // A file short of its pixel area still loads, the pixels it lacks made
    // up, unless it lacks more than a reader may make up: a 44-byte header
    // and footer would otherwise load as gigabytes of zeros. The pixel the
    // file ends in counts as given, and run-length data counts as the most
    // its bytes could give: a packet of tga_run_pixels for every 1 + bytes a
    // pixel. A short file gets a zeroed buffer, so that the missing part
    // costs no memory beyond the pages written. A file that holds the whole
    // area writes every pixel: zeroing first would only cost a pass over the
    // buffer (should the file shrink while we read, the reader zeroes what it
    // did not get).
    uint64_t remaining = 0;
    (void)bytes_to_end(stream, &remaining);
    // A colour map still ahead gives no pixels: counted as run-length data,
    // its 256 KiB at most would pass for 16 million of them.
    const uint64_t map_ahead = skip_map ? 0 : colour_map_bytes(h);
    remaining = remaining > map_ahead ? remaining - map_ahead : 0;
    const uint64_t given = h.image_type & image_type_run_length
                               ? (remaining + bytes_per_pixel) / (1 + bytes_per_pixel) * tga_run_pixels
                               : (remaining + bytes_per_pixel - 1) / bytes_per_pixel;
    const bool short_file = given < count || !plain;
    if (given < count && count - given > max_invented_pixels) {
        fail_with_message("tga data ends too early for its %u x %u image", unsigned(h.width), unsigned(h.height));
        return nullptr;
    }
    malloc_ptr<uint32_t> pixels(static_cast<uint32_t *>(
        short_file ? calloc(count, 4) : allocate_pixels(count * 4)));
    if (!pixels) {
        record_errno(ENOMEM);
        return nullptr;
    }
    if (!plain) {
        if (!read_any_pixels(stream, h, pixels.get()))
            return nullptr;
    } else if (!read_pixels(stream, h, bytes_per_pixel, pixels.get(), short_file)) {
        // A failed read leaves errno set, as does a scratch block that could not be had.
        record_errno(errno);
        return nullptr;
    }

    *width = h.width;
    *height = h.height;
    return pixels.release();
}

bool tga_can_hold(uint32_t width, uint32_t height)
{
    if (width > max_side || height > max_side) {
        fail_with_message("tga images cannot be larger than %u x %u pixels", max_side, max_side);
        return false;
    }
    // The header could say 0, but other readers refuse such a file: a save
    // that cannot be read back is no save.
    if (width == 0 || height == 0) {
        fail_with_message("tga images cannot be smaller than 1 x 1 pixels");
        return false;
    }
    return true;
}

int save_tga(FILE *stream, const uint32_t *pixels, uint32_t width, uint32_t height)
{
    file_ptr file(stream);
    if (!tga_can_hold(width, height))
        return -1;
    const int flags = get_image_save_flags();
    errno = 0; // so that a failed write's errno can be told from an older one
    const bool alpha = flags & IMAGE_SAVE_ALPHA;
    int descriptor = alpha ? 0x28 : 0x20;
    if (flags & IMAGE_SAVE_FLIP)
        descriptor ^= descriptor_top_first;

    write_int8(stream, 0); // ID length
    write_int8(stream, 0); // colour-map type
    write_int8(stream, image_type_true_colour);
    write_int16(stream, 0); // colour-map first index
    write_int16(stream, 0); // colour-map length
    write_int8(stream, 0);  // colour-map entry size
    write_int16(stream, 0); // x origin
    write_int16(stream, 0); // y origin
    write_int16(stream, static_cast<int16_t>(width));
    write_int16(stream, static_cast<int16_t>(height));
    write_int8(stream, alpha ? 32 : 24);
    write_int8(stream, descriptor);

    bool ok = write_pixels(stream, pixels, size_t(width) * height, alpha);

    write_int32(stream, 0); // extension area offset
    write_int32(stream, 0); // developer directory offset
    (void)fwrite(signature, 1, signature_length, stream);
    write_int8(stream, 0);

    // The byte-order writes report nothing; the stream's error state and the
    // result of closing it (which flushes the last block) tell whether every
    // byte reached the file.
    ok = fflush(stream) == 0 && !ferror(stream) && ok;
    const int error = errno; // the failed write's, if one failed
    ok = fclose(file.release()) == 0 && ok;
    if (!ok) {
        record_errno(error != 0 ? error : errno);
        return -1;
    }
    return 0;
}

// Header-only reading, for image_info and for the front end's streams that
// cannot seek.

namespace {

// Header fields past which a file is no TGA image of any kind.
bool plausible_header(const tga_header &h)
{
    const int type = h.image_type & ~8; // the run-length encoded types are 9 to 11
    const bool mapped = type == 1;
    return (type >= 1 && type <= 3) && (h.colour_map_type == 0 || h.colour_map_type == 1) &&
           (!mapped || h.colour_map_type == 1) && h.width != 0 && h.height != 0 &&
           (h.depth == 8 || h.depth == 15 || h.depth == 16 || h.depth == 24 || h.depth == 32);
}

} // namespace

int info_tga(FILE *stream, uint32_t *width, uint32_t *height)
{
    file_ptr file(stream);
    tga_header h;
    if (!accepted_header(stream, h, read_any()))
        return -1;
    *width = h.width;
    *height = h.height;
    return 0;
}

int looks_like_tga(FILE *stream)
{
    // The reader of every type takes whatever header check_tga takes: to it
    // the rest are no TGA images.
    tga_header h;
    return !read_any() && header_at_start(stream, h) && plausible_header(h);
}

int tga_size_bound(FILE *stream, uint64_t *bytes, uint64_t *pixels)
{
    tga_header h;
    if (!header_at_start(stream, h))
        return 0;
    const uint64_t colour_map = colour_map_bytes(h);
    const uint64_t header_bytes = 18, footer_bytes = 26;
    *pixels = uint64_t(h.width) * h.height;
    // Four bytes a pixel: no depth stores more. Run-length data, which the
    // reader of every type takes, can take one more: a raw packet of a
    // single pixel.
    const uint64_t per_pixel = read_any() && (h.image_type & image_type_run_length) ? tga_most_bytes_per_pixel : 4;
    *bytes = header_bytes + h.id_length + colour_map + per_pixel * *pixels + tga_extra_bytes + footer_bytes;
    return 1;
}
