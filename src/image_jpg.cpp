// image_jpg.cpp - JFIF JPEG reading through libjpeg. Bad data makes the load
// fail with libjpeg's own message instead of ending the process. Where the
// library can write 4-byte pixel rows itself (libjpeg-turbo), rows are decoded
// straight into the pixel buffer; otherwise one RGB row at a time is packed.
// The writer is an entry point only.
#include "image_jpg.h"

#include "pixel_memory.h"

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <jpeglib.h>
#include <jerror.h>

namespace {

struct file_closer {
    void operator()(FILE *stream) const { fclose(stream); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

#ifdef JCS_ALPHA_EXTENSIONS
// The colour space whose bytes in memory are the pixel word 0xAARRGGBB; the
// library sets the alpha byte to 0xFF.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr J_COLOR_SPACE pixel_space = JCS_EXT_ARGB;
#else
constexpr J_COLOR_SPACE pixel_space = JCS_EXT_BGRA;
#endif
constexpr bool have_pixel_space = true;
#else
constexpr bool have_pixel_space = false;
#endif

// libjpeg's standard error manager with somewhere to jump back to, and the
// standard message printer, which watch_message calls before looking.
struct error_jump {
    jpeg_error_mgr mgr;
    jmp_buf back;
    void (*standard_emit)(j_common_ptr, int);
    bool data_ended;
};

// When the coded data ends early libjpeg goes on making every remaining row
// from nothing, which is how a cut-off download still shows its top. For a few
// bytes claiming 65500 x 65500 pixels that is 17 GB of rows and most of a
// minute; so once the data has ended with more than this many pixels still to
// come (an 8192 x 8192 image's worth), the load fails instead. A complete file
// never meets the rule.
const uint64_t max_invented_pixels = uint64_t(1) << 26;

// Replaces the standard error_exit, which would print and then end the whole
// process: print the same message, then unwind to the load that failed.
[[noreturn]] void jump_back(j_common_ptr cinfo)
{
    (*cinfo->err->output_message)(cinfo);
    longjmp(reinterpret_cast<error_jump *>(cinfo->err)->back, 1);
}

// Fails the load when the data has ended and a large part of the image is
// still to be decoded. The input side's position is the one that counts: in
// a file of several scans all of them are read before the first row is output.
void give_up_if_mostly_missing(j_decompress_ptr cinfo, bool data_ended)
{
    if (!data_ended || cinfo->total_iMCU_rows == 0)
        return;
    // The row being decoded when the data ended may have had its data.
    const JDIMENSION done = cinfo->input_iMCU_row + 1;
    if (done >= cinfo->total_iMCU_rows)
        return;
    const uint64_t missing_rows =
        uint64_t(cinfo->total_iMCU_rows - done) * cinfo->image_height / cinfo->total_iMCU_rows;
    if (missing_rows * cinfo->image_width <= max_invented_pixels)
        return;
    fprintf(stderr, "jpeg data ends too early for its %u x %u image\n",
            static_cast<unsigned>(cinfo->image_width), static_cast<unsigned>(cinfo->image_height));
    longjmp(reinterpret_cast<error_jump *>(cinfo->err)->back, 1);
}

// Prints libjpeg's messages as its standard manager does, and notes the two
// warnings that say the coded data has run out: the file ended, or a marker
// stood where the Huffman-coded data should have gone on.
void watch_message(j_common_ptr cinfo, int msg_level)
{
    error_jump *err = reinterpret_cast<error_jump *>(cinfo->err);
    err->standard_emit(cinfo, msg_level);
    if (msg_level < 0 && (err->mgr.msg_code == JWRN_JPEG_EOF || err->mgr.msg_code == JWRN_HIT_MARKER)) {
        err->data_ended = true;
        if (cinfo->is_decompressor)
            give_up_if_mostly_missing(reinterpret_cast<j_decompress_ptr>(cinfo), true);
    }
}

// Called by libjpeg before each block of rows it reads or outputs. The
// arithmetic decoder makes up data without a warning once it meets a marker
// other than a restart marker; it reads only as it goes, so such a marker
// means its data for this scan has run out. That holds only until the next
// scan starts, which takes the marker.
void watch_progress(j_common_ptr cinfo)
{
    if (!cinfo->is_decompressor)
        return;
    j_decompress_ptr d = reinterpret_cast<j_decompress_ptr>(cinfo);
    const int marker = d->unread_marker;
    const bool restart = marker >= 0xD0 && marker <= 0xD7;
    const bool arithmetic_ended = d->arith_code && marker != 0 && !restart;
    give_up_if_mostly_missing(d, arithmetic_ended || reinterpret_cast<error_jump *>(cinfo->err)->data_ended);
}

// The file is handed to libjpeg in blocks this big (jpeg_stdio_src uses
// 4 KiB). libjpeg-turbo decodes Huffman data with its fast decoder only while
// its buffer holds enough bytes for a whole unit of blocks, and falls back to
// the slow one near every block's end: fewer ends, fewer slow stretches.
const size_t source_block_bytes = size_t(64) << 10;

// A source manager reading the stream as jpeg_stdio_src's does, in larger
// blocks: the same end-of-file handling (an empty file is an error; a file
// ending early gets a warning and an end-of-image marker) and the same skips.
struct stream_source {
    jpeg_source_mgr pub;
    FILE *stream;
    JOCTET *block;
    bool at_start;
};

void source_init(j_decompress_ptr cinfo)
{
    reinterpret_cast<stream_source *>(cinfo->src)->at_start = true;
}

boolean source_fill(j_decompress_ptr cinfo)
{
    stream_source *src = reinterpret_cast<stream_source *>(cinfo->src);
    size_t got = fread(src->block, 1, source_block_bytes, src->stream);
    if (got == 0) {
        if (src->at_start)
            ERREXIT(cinfo, JERR_INPUT_EMPTY);
        WARNMS(cinfo, JWRN_JPEG_EOF);
        src->block[0] = 0xFF;
        src->block[1] = JPEG_EOI;
        got = 2;
    }
    src->pub.next_input_byte = src->block;
    src->pub.bytes_in_buffer = got;
    src->at_start = false;
    return TRUE;
}

void source_skip(j_decompress_ptr cinfo, long count)
{
    jpeg_source_mgr *src = cinfo->src;
    if (count <= 0)
        return;
    while (count > static_cast<long>(src->bytes_in_buffer)) {
        count -= static_cast<long>(src->bytes_in_buffer);
        (void)source_fill(cinfo); // never suspends
    }
    src->next_input_byte += count;
    src->bytes_in_buffer -= count;
}

void source_term(j_decompress_ptr) {}

// Sets cinfo up to read from source's stream into its block (of
// source_block_bytes); the caller keeps both until cinfo is destroyed.
void use_stream_source(j_decompress_ptr cinfo, stream_source *src)
{
    src->at_start = true;
    src->pub.init_source = source_init;
    src->pub.fill_input_buffer = source_fill;
    src->pub.skip_input_data = source_skip;
    src->pub.resync_to_restart = jpeg_resync_to_restart;
    src->pub.term_source = source_term;
    src->pub.bytes_in_buffer = 0;
    src->pub.next_input_byte = nullptr;
    cinfo->src = &src->pub;
}

// width x height pixels of `bytes` each, or 0 when that does not fit size_t.
size_t buffer_size(JDIMENSION width, JDIMENSION height, size_t bytes)
{
    const size_t count = static_cast<size_t>(width) * height;
    if (width != 0 && count / width != height)
        return 0;
    if (count > SIZE_MAX / bytes)
        return 0;
    return count * bytes;
}

// The pixel buffer and how many of its rows exist so far. It lives with the
// caller of decode, outside the frame libjpeg's errors jump back into, so its
// latest state is always there to release.
struct pixel_buffer {
    uint32_t *data;
    size_t rows;       // rows allocated
    size_t row_pixels; // pixels per row
    size_t total_rows;
};

// Images up to this size get their whole buffer at once. A larger one grows
// its buffer as rows come, doubling, so that a small file claiming a huge
// image costs memory only for the rows it really yields (glibc moves large
// blocks without copying).
const size_t whole_buffer_bytes = size_t(256) << 20;
const size_t first_rows_bytes = size_t(16) << 20;

// Makes rows 0 to needed - 1 available; false when memory runs out.
bool hold_rows(pixel_buffer *b, size_t needed)
{
    if (needed <= b->rows)
        return true;
    size_t rows = std::max(needed, b->rows * 2);
    rows = std::min(rows, b->total_rows);
    // The first block is a fresh pixel buffer; only an image too big to get
    // its whole buffer at once grows it later.
    const size_t bytes = rows * b->row_pixels * 4;
    void *grown = b->data ? realloc(b->data, bytes) : allocate_pixels(bytes);
    if (!grown)
        return false;
    b->data = static_cast<uint32_t *>(grown);
    b->rows = rows;
    return true;
}

// Reads the rows as red, green, blue into `row` and packs each into pixels.
bool read_rgb_rows(j_decompress_ptr cinfo, JSAMPROW row, pixel_buffer *pixels)
{
    while (cinfo->output_scanline < cinfo->output_height) {
        jpeg_read_scanlines(cinfo, &row, 1);
        const JDIMENSION s = cinfo->output_scanline;
        if (s == 0)
            continue;
        if (!hold_rows(pixels, s))
            return false;
        uint32_t *out = pixels->data + static_cast<size_t>(s - 1) * cinfo->output_width;
        for (JDIMENSION x = 0; x < cinfo->output_width; ++x) {
            const JSAMPLE *p = row + 3 * static_cast<size_t>(x);
            out[x] = 0xFF000000u | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
        }
    }
    return true;
}

// Lets the library write finished pixels straight into their rows, as many
// rows per call as it will take (up to one band of upsampled rows).
bool read_pixel_rows(j_decompress_ptr cinfo, pixel_buffer *pixels)
{
    enum { band = 32 };
    JSAMPROW rows[band];
    while (cinfo->output_scanline < cinfo->output_height) {
        const JDIMENSION first = cinfo->output_scanline;
        JDIMENSION count = cinfo->output_height - first;
        if (count > band)
            count = band;
        if (!hold_rows(pixels, size_t(first) + count))
            return false;
        for (JDIMENSION i = 0; i < count; ++i)
            rows[i] = reinterpret_cast<JSAMPROW>(pixels->data + static_cast<size_t>(first + i) * cinfo->output_width);
        jpeg_read_scanlines(cinfo, rows, count);
    }
    return true;
}

// The whole decode. Holds the setjmp, so nothing here has a destructor: a
// libjpeg error jumps back into it, the scratch row is released, and null is
// returned; the caller releases the pixels, destroys `cinfo` (zeroed
// beforehand, so destroying is safe even if creation never finished) and
// closes the stream.
bool decode(j_decompress_ptr cinfo, jpeg_progress_mgr *progress, stream_source *source, pixel_buffer *pixels,
            uint32_t *width, uint32_t *height, bool direct)
{
    JSAMPROW volatile row = nullptr;
    if (setjmp(reinterpret_cast<error_jump *>(cinfo->err)->back)) {
        free(row);
        return false;
    }
    jpeg_create_decompress(cinfo);
    cinfo->progress = progress; // after creation, which clears it
    use_stream_source(cinfo, source);
    jpeg_read_header(cinfo, TRUE);
#ifdef JCS_ALPHA_EXTENSIONS
    cinfo->out_color_space = direct ? pixel_space : JCS_RGB;
#else
    (void)direct;
    cinfo->out_color_space = JCS_RGB;
#endif

    const size_t pixel_bytes = buffer_size(cinfo->image_width, cinfo->image_height, 4);
    const size_t row_bytes = buffer_size(cinfo->image_width, 1, 3);
    if (pixel_bytes == 0 || row_bytes == 0)
        return false;
    if (!direct && !(row = static_cast<JSAMPROW>(malloc(row_bytes))))
        return false;
    pixels->row_pixels = cinfo->image_width;
    pixels->total_rows = cinfo->image_height;
    const size_t row_pixel_bytes = pixels->row_pixels * 4;
    const size_t first_rows = pixel_bytes <= whole_buffer_bytes ? pixels->total_rows
                                                                : std::max<size_t>(first_rows_bytes / row_pixel_bytes, 32);
    if (!hold_rows(pixels, first_rows)) {
        free(row);
        return false;
    }
    *width = cinfo->image_width;
    *height = cinfo->image_height;

    jpeg_start_decompress(cinfo);
    const bool read = direct ? read_pixel_rows(cinfo, pixels) : read_rgb_rows(cinfo, row, pixels);
    if (read)
        jpeg_finish_decompress(cinfo);
    free(row);
    return read;
}

uint32_t *load(FILE *raw_stream, uint32_t *width, uint32_t *height, bool direct)
{
    file_ptr stream(raw_stream);
    if (fseek(stream.get(), 0, SEEK_SET) != 0)
        return nullptr;
    jpeg_decompress_struct cinfo;
    error_jump err;
    memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jump_back;
    err.standard_emit = err.mgr.emit_message;
    err.mgr.emit_message = watch_message;
    err.data_ended = false;
    jpeg_progress_mgr progress;
    memset(&progress, 0, sizeof progress);
    progress.progress_monitor = watch_progress;
    std::unique_ptr<JOCTET[]> block(new (std::nothrow) JOCTET[source_block_bytes]);
    if (!block)
        return nullptr;
    stream_source source;
    source.stream = stream.get();
    source.block = block.get();
    pixel_buffer pixels = {nullptr, 0, 0, 0};
    const bool decoded = decode(&cinfo, &progress, &source, &pixels, width, height, direct);
    jpeg_destroy_decompress(&cinfo);
    if (!decoded) {
        free(pixels.data);
        return nullptr;
    }
    return pixels.data;
}

} // namespace

int check_jpeg(FILE *stream)
{
    unsigned char head[10];
    if (fseek(stream, 0, SEEK_SET) != 0 || fread(head, 1, sizeof head, stream) != sizeof head)
        return 0;
    // Start of image, then an APP0 segment whose name begins "JFIF" (its
    // first letter and the segment length are not looked at).
    static const unsigned char soi_app0[4] = {0xFF, 0xD8, 0xFF, 0xE0};
    return memcmp(head, soi_app0, 4) == 0 && memcmp(head + 7, "FIF", 3) == 0;
}

uint32_t *load_jpeg(FILE *stream, uint32_t *width, uint32_t *height)
{
    return load(stream, width, height, have_pixel_space);
}

uint32_t *load_jpeg_rgb(FILE *stream, uint32_t *width, uint32_t *height)
{
    return load(stream, width, height, false);
}

int jpeg_decodes_direct(void)
{
    return have_pixel_space;
}

int save_jpeg(FILE *stream, const uint32_t *, uint32_t, uint32_t)
{
    fputs("saving jpeg files is not implemented yet\n", stderr);
    fclose(stream);
    return -1;
}
