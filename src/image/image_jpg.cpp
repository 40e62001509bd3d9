// image_jpg.cpp - JFIF JPEG reading through libjpeg. Bad data makes the load
// fail with libjpeg's own message instead of ending the process, and files
// whose claims would cost far more than they hold (huge sizes, data that ends
// early, endless scans) are refused before the work is done. Where the
// library can write 4-byte pixel rows itself (libjpeg-turbo), rows are decoded
// straight into the pixel buffer; otherwise one RGB row at a time is packed.
// The writer is an entry point only.
#include "image_jpg.h"

#include "image_base.h"

#include "pixel_memory.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

namespace {

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
// standard handler of trace messages, which watch_message passes them to.
struct error_jump {
    jpeg_error_mgr mgr;
    jmp_buf back;
    void (*standard_emit)(j_common_ptr, int);
    bool data_ended;
};

// Prints libjpeg's message as its standard manager does, one line of the
// formatted text, through the base's printer: as a warning (which a load
// shows only the first few of) or as a message.
void print_jpeg_message(j_common_ptr cinfo, bool warning)
{
    char message[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, message);
    if (warning)
        print_warning("%s\n", message);
    else
        print_message("%s\n", message);
}

// libjpeg's output_message: its errors, and the trace messages asked for.
void output_jpeg_message(j_common_ptr cinfo)
{
    print_jpeg_message(cinfo, false);
}

// True when `scans` scans covering `scan_blocks` blocks of an image of
// `image_blocks` are within the limits; otherwise says which is exceeded.
bool scans_within_limits(int scans, uint64_t scan_blocks, uint64_t image_blocks)
{
    if (scans > max_jpeg_scans) {
        fail_with_message("jpeg file has more than %d scans", max_jpeg_scans);
        return false;
    }
    if (image_blocks != 0 && scan_blocks > max_jpeg_coverage * image_blocks) {
        fail_with_message("jpeg scans go over the image more than %d times", static_cast<int>(max_jpeg_coverage));
        return false;
    }
    return true;
}

// Replaces the standard error_exit, which would print and then end the whole
// process: print the same message, then unwind to the load that failed.
[[noreturn]] void jump_back(j_common_ptr cinfo)
{
    (*cinfo->err->output_message)(cinfo);
    char message[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, message);
    set_printed_image_error("%s", message);
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
    fail_with_message("jpeg data ends too early for its %u x %u image", static_cast<unsigned>(cinfo->image_width),
                      static_cast<unsigned>(cinfo->image_height));
    longjmp(reinterpret_cast<error_jump *>(cinfo->err)->back, 1);
}

// True for the warnings that say the coded data has run out: the file ended,
// a marker stood where Huffman-coded data should have gone on, or a scan
// ended (the next marker is not a restart marker) while its restart intervals
// were still to come. Arithmetic-coded data may meet a marker early: its
// encoder leaves out the zero bytes at the end of each interval, which is how
// a flat image of any size fits in a hundred bytes.
bool says_data_ended(const jpeg_error_mgr &mgr)
{
    if (mgr.msg_code == JWRN_JPEG_EOF || mgr.msg_code == JWRN_HIT_MARKER)
        return true;
    const int found = mgr.msg_parm.i[0];
    return mgr.msg_code == JWRN_MUST_RESYNC && found >= 0xC0 && !(found >= 0xD0 && found <= 0xD7);
}

// Prints libjpeg's messages as its standard manager does and watches the
// warnings: those saying the data has run out feed the rule above, and a
// progression that refines what no earlier scan sent (AC coefficients before
// any DC scan, say) ends the load. No encoder writes one; it is how a few
// bytes of end-of-block runs would make a decoder go through a huge image.
void watch_message(j_common_ptr cinfo, int msg_level)
{
    error_jump *err = reinterpret_cast<error_jump *>(cinfo->err);
    if (msg_level < 0 && err->mgr.msg_code == JWRN_BOGUS_PROGRESSION)
        jump_back(cinfo);
    if (msg_level >= 0) {
        err->standard_emit(cinfo, msg_level);
    } else {
        // As libjpeg's standard manager does, only the first warning of a
        // decode is shown; all are counted.
        if (err->mgr.num_warnings == 0)
            print_jpeg_message(cinfo, true);
        err->mgr.num_warnings++;
    }
    if (msg_level < 0 && says_data_ended(err->mgr)) {
        err->data_ended = true;
        if (cinfo->is_decompressor)
            give_up_if_mostly_missing(reinterpret_cast<j_decompress_ptr>(cinfo), true);
    }
}

// The progress monitor and what it has seen of the scans so far.
struct scan_watch {
    jpeg_progress_mgr mgr;
    int scan;              // the scan last counted
    uint64_t image_blocks; // blocks of every component, 0 until counted
    uint64_t scan_blocks;  // blocks of every scan so far
};

// Called by libjpeg before each row of blocks it reads or outputs, so it sees
// each scan start before any of its data is decoded. The census below has
// already counted the scans from the file's markers; this counts them as
// libjpeg takes them, whatever the file's bytes looked like to the census.
void watch_progress(j_common_ptr cinfo)
{
    if (!cinfo->is_decompressor)
        return;
    j_decompress_ptr d = reinterpret_cast<j_decompress_ptr>(cinfo);
    scan_watch *watch = reinterpret_cast<scan_watch *>(d->progress);
    if (d->input_scan_number != watch->scan) {
        watch->scan = d->input_scan_number;
        if (watch->image_blocks == 0)
            for (int c = 0; c < d->num_components; ++c)
                watch->image_blocks += uint64_t(d->comp_info[c].width_in_blocks) * d->comp_info[c].height_in_blocks;
        for (int c = 0; c < d->comps_in_scan; ++c)
            watch->scan_blocks += uint64_t(d->cur_comp_info[c]->width_in_blocks) * d->cur_comp_info[c]->height_in_blocks;
        if (!scans_within_limits(watch->scan, watch->scan_blocks, watch->image_blocks))
            longjmp(reinterpret_cast<error_jump *>(cinfo->err)->back, 1);
    }
    give_up_if_mostly_missing(d, reinterpret_cast<error_jump *>(cinfo->err)->data_ended);
}

// Marker codes, the byte after 0xFF.
namespace marker {
const int sof0 = 0xC0, dht = 0xC4, jpg = 0xC8, dac = 0xCC, sof15 = 0xCF, rst0 = 0xD0, rst7 = 0xD7;
const int soi = 0xD8, eoi = 0xD9, sos = 0xDA, dqt = 0xDB, dnl = 0xDC, dri = 0xDD, dhp = 0xDE, exp = 0xDF;
const int app0 = 0xE0, app15 = 0xEF, com = 0xFE;
} // namespace marker

// Reads a stream in large blocks for the census.
struct byte_reader {
    FILE *stream;
    std::vector<unsigned char> block = std::vector<unsigned char>(64 * 1024);
    size_t pos = 0, len = 0;

    bool fill()
    {
        pos = 0;
        len = fread(block.data(), 1, block.size(), stream);
        return len != 0;
    }
    int next()
    {
        if (pos == len && !fill())
            return -1;
        return block[pos++];
    }
    // Moves past the next 0xFF byte; false at the end of the stream.
    bool past_next_ff()
    {
        for (;;) {
            if (pos == len && !fill())
                return false;
            const void *ff = memchr(block.data() + pos, 0xFF, len - pos);
            if (ff) {
                pos = static_cast<const unsigned char *>(ff) - block.data() + 1;
                return true;
            }
            pos = len;
        }
    }
    bool read(unsigned char *out, size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            const int c = next();
            if (c < 0)
                return false;
            out[i] = static_cast<unsigned char>(c);
        }
        return true;
    }
    bool skip(size_t n)
    {
        while (n > 0) {
            if (pos == len && !fill())
                return false;
            const size_t step = std::min(n, len - pos);
            pos += step;
            n -= step;
        }
        return true;
    }
};

// The frame's components and the scans so far, as the census counts them.
struct scan_census {
    struct component {
        int id;
        uint64_t blocks;
    };
    std::vector<component> components; // empty until the frame header
    uint64_t image_blocks = 0, scan_blocks = 0;
    int scans = 0;
    bool started = false; // the start-of-image marker has been met
};

// The code of the next marker, found as libjpeg's marker reader finds it:
// past any bytes that are not 0xFF, then past the fill bytes (0xFF) before
// the code. -1 at the end of the stream.
int next_marker_code(byte_reader &in)
{
    if (!in.past_next_ff())
        return -1;
    int code;
    while ((code = in.next()) == 0xFF) {
    }
    return code;
}

// Reads a segment's length field less its own two bytes, as libjpeg computes
// it: negative for a field below 2. False at the end of the stream.
bool read_segment_length(byte_reader &in, long *length)
{
    const int high = in.next(), low = in.next();
    if (low < 0)
        return false;
    *length = long(high << 8 | low) - 2;
    return true;
}

// Counts the components of a frame header (the segment after its length) in
// blocks, each rounded up as libjpeg does. False for a header libjpeg
// refuses: a second one, no components, or a length that does not match them.
bool count_frame(const std::vector<unsigned char> &segment, scan_census &census)
{
    if (segment.size() < 6 || !census.components.empty())
        return false;
    const uint64_t height = segment[1] << 8 | segment[2], width = segment[3] << 8 | segment[4];
    const size_t count = segment[5];
    if (count == 0 || segment.size() != 6 + 3 * count)
        return false;
    int max_h = 1, max_v = 1;
    for (size_t i = 0; i < count; ++i) {
        max_h = std::max(max_h, segment[7 + 3 * i] >> 4);
        max_v = std::max(max_v, segment[7 + 3 * i] & 15);
    }
    for (size_t i = 0; i < count; ++i) {
        const int h = segment[7 + 3 * i] >> 4, v = segment[7 + 3 * i] & 15;
        const uint64_t across = (width * h + 8 * max_h - 1) / (8 * max_h);
        const uint64_t down = (height * v + 8 * max_v - 1) / (8 * max_v);
        census.components.push_back({segment[6 + 3 * i], across * down});
        census.image_blocks += across * down;
    }
    return true;
}

// The blocks of the component a scan names by `id`. Should two components of
// the frame share an id, libjpeg takes one of them (which one depends on its
// version), and an id no component has may stand for one it renamed: the
// largest candidate counts, so that the census never counts less than libjpeg
// decodes.
uint64_t blocks_of(const scan_census &census, int id)
{
    uint64_t named = 0, largest = 0;
    bool found = false;
    for (const scan_census::component &c : census.components) {
        largest = std::max(largest, c.blocks);
        if (c.id == id) {
            named = std::max(named, c.blocks);
            found = true;
        }
    }
    return found ? named : largest;
}

// Adds a scan header's blocks (the segment after its length). False for a
// header libjpeg refuses: before the frame, or not one to four components
// with the length that holds them.
bool count_scan(const std::vector<unsigned char> &segment, scan_census &census)
{
    if (census.components.empty() || segment.empty())
        return false;
    const size_t count = segment[0];
    if (count < 1 || count > 4 || segment.size() != 4 + 2 * count)
        return false;
    ++census.scans;
    for (size_t i = 0; i < count; ++i)
        census.scan_blocks += blocks_of(census, segment[1 + 2 * i]);
    return true;
}

// Takes the segment after a marker of the given kind whose length field
// (less its own two bytes) is `length`: a frame or scan header is read into
// `segment`, any other is passed over. False where libjpeg stops reading: the
// stream ends, or a table, frame or scan claims a length below 2.
bool take_segment(byte_reader &in, jpeg_marker kind, long length, std::vector<unsigned char> &segment)
{
    if (kind == jpeg_marker::skipped)
        return length <= 0 || in.skip(size_t(length)); // libjpeg skips nothing for a field below 2
    if (length < 0)
        return false;
    if (kind == jpeg_marker::table)
        return in.skip(size_t(length)); // libjpeg reads it whole, and refuses one its contents do not fill
    segment.resize(size_t(length));
    return in.read(segment.data(), segment.size());
}

// Counts the scans from the file's markers before anything is decoded, and
// fails as soon as they exceed the limits: the progress monitor alone would
// see the scans only as libjpeg reaches them, after paying for a pass over the
// image for each one allowed. Segments are read as libjpeg's marker reader
// reads them, and everything between them (coded data, stray bytes) is passed
// over as it passes over it. Where libjpeg stops with an error the count ends
// too, as libjpeg reads no scan beyond that point. Leaves the stream's
// position undefined.
bool census_allows_scans(FILE *stream)
{
    byte_reader in{stream};
    scan_census census;
    std::vector<unsigned char> segment;
    for (int code; (code = next_marker_code(in)) >= 0;) {
        const jpeg_marker kind = jpeg_marker_kind(code);
        if (kind == jpeg_marker::no_segment)
            continue;
        if (kind == jpeg_marker::start && !census.started) {
            census.started = true;
            continue;
        }
        if (kind == jpeg_marker::start || kind == jpeg_marker::end || kind == jpeg_marker::refused)
            return true;
        long length;
        if (!read_segment_length(in, &length) || !take_segment(in, kind, length, segment))
            return true;
        if (kind == jpeg_marker::frame && !count_frame(segment, census))
            return true;
        if (kind == jpeg_marker::scan) {
            if (!count_scan(segment, census))
                return true;
            if (!scans_within_limits(census.scans, census.scan_blocks, census.image_blocks))
                return false;
        }
    }
    return true;
}

// libjpeg's own memory for the whole-image coefficient buffers that files of
// several scans need: two bytes a sample, at most three full-resolution
// components (no colour space with more turns into RGB), with room to spare
// for rounding up to whole blocks and for the working rows. With this ceiling
// the largest image within the pixel limit still decodes, and whatever slips
// past the checks above cannot take more; libjpeg has no backing store to fall
// back on, so going over it fails the load.
long memory_ceiling()
{
    const uint64_t pixels = get_image_max_pixels();
    if (pixels == 0)
        return 0; // libjpeg's "no limit"
    const uint64_t per_pixel = 8, spare = segment_bytes;
    const uint64_t most = uint64_t(LONG_MAX - spare) / per_pixel;
    return static_cast<long>(std::min(pixels, most) * per_pixel + spare);
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
    cinfo->mem->max_memory_to_use = memory_ceiling();
    use_stream_source(cinfo, source);
    jpeg_read_header(cinfo, TRUE);
    if (!image_size_allowed(cinfo->image_width, cinfo->image_height))
        return false;
#ifdef JCS_ALPHA_EXTENSIONS
    cinfo->out_color_space = direct ? pixel_space : JCS_RGB;
#else
    (void)direct;
    cinfo->out_color_space = JCS_RGB;
#endif

    const size_t pixel_bytes = pixel_buffer_bytes(cinfo->image_width, cinfo->image_height, 4);
    const size_t row_bytes = pixel_buffer_bytes(cinfo->image_width, 1, 3);
    if (pixel_bytes == 0 || row_bytes == 0 || (!direct && !(row = static_cast<JSAMPROW>(malloc(row_bytes))))) {
        record_errno(ENOMEM);
        return false;
    }
    pixels->row_pixels = cinfo->image_width;
    pixels->total_rows = cinfo->image_height;
    const size_t row_pixel_bytes = pixels->row_pixels * 4;
    const size_t first_rows = pixel_bytes <= whole_buffer_bytes ? pixels->total_rows
                                                                : std::max<size_t>(first_rows_bytes / row_pixel_bytes, 32);
    if (!hold_rows(pixels, first_rows)) {
        record_errno(ENOMEM);
        free(row);
        return false;
    }
    *width = cinfo->image_width;
    *height = cinfo->image_height;

    jpeg_start_decompress(cinfo);
    const bool read = direct ? read_pixel_rows(cinfo, pixels) : read_rgb_rows(cinfo, row, pixels);
    if (read)
        jpeg_finish_decompress(cinfo);
    else
        record_errno(ENOMEM); // the buffer could not grow
    free(row);
    return read;
}

// Zeroes cinfo (so that destroying it is safe even if creation never
// finishes) and gives it the standard error manager, printing through the
// base and jumping back instead of ending the process.
void catch_errors(jpeg_decompress_struct *cinfo, error_jump *err)
{
    memset(cinfo, 0, sizeof *cinfo);
    cinfo->err = jpeg_std_error(&err->mgr);
    err->mgr.error_exit = jump_back;
    err->mgr.output_message = output_jpeg_message;
}

uint32_t *load(FILE *raw_stream, uint32_t *width, uint32_t *height, bool direct)
{
    file_ptr stream(raw_stream);
    if (fseek(stream.get(), 0, SEEK_SET) != 0) {
        record_errno(errno);
        return nullptr;
    }
    if (!census_allows_scans(stream.get())) // says why itself
        return nullptr;
    if (fseek(stream.get(), 0, SEEK_SET) != 0) {
        record_errno(errno);
        return nullptr;
    }
    jpeg_decompress_struct cinfo;
    error_jump err;
    catch_errors(&cinfo, &err);
    err.standard_emit = err.mgr.emit_message;
    err.mgr.emit_message = watch_message;
    err.data_ended = false;
    scan_watch watch;
    memset(&watch, 0, sizeof watch);
    watch.mgr.progress_monitor = watch_progress;
    std::unique_ptr<JOCTET[]> block(new (std::nothrow) JOCTET[source_block_bytes]);
    if (!block) {
        record_errno(ENOMEM);
        return nullptr;
    }
    stream_source source;
    source.stream = stream.get();
    source.block = block.get();
    pixel_buffer pixels = {nullptr, 0, 0, 0};
    const bool decoded = decode(&cinfo, &watch.mgr, &source, &pixels, width, height, direct);
    jpeg_destroy_decompress(&cinfo);
    if (!decoded) {
        free(pixels.data);
        return nullptr;
    }
    return pixels.data;
}

} // namespace

jpeg_marker jpeg_marker_kind(int code)
{
    // Below the frame markers: 0x00 (a stuffed zero in coded data), TEM and
    // the reserved codes, which libjpeg refuses between segments but passes
    // over while it looks for a restart marker in coded data.
    if (code < marker::sof0 || (code >= marker::rst0 && code <= marker::rst7))
        return jpeg_marker::no_segment;
    switch (code) {
    case marker::dht:
    case marker::dac:
    case marker::dqt:
    case marker::dri: return jpeg_marker::table;
    case marker::jpg:
    case marker::dhp:
    case marker::exp: return jpeg_marker::refused;
    case marker::soi: return jpeg_marker::start;
    case marker::eoi: return jpeg_marker::end;
    case marker::sos: return jpeg_marker::scan;
    case marker::dnl:
    case marker::com: return jpeg_marker::skipped;
    }
    if (code <= marker::sof15)
        return jpeg_marker::frame;
    if (code >= marker::app0 && code <= marker::app15)
        return jpeg_marker::skipped;
    return jpeg_marker::refused; // JPGn, 0xF0 to 0xFD
}

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
    fail_with_message("saving jpeg files is not implemented yet");
    fclose(stream);
    return -1;
}

// Header-only reading, for image_info.

namespace {

// The setjmp lives here, alone with plain data: reads the markers up to the
// first scan, which libjpeg checks (precision, sizes, sampling), and refuses
// the colour spaces the decoder cannot turn into RGB, with the message it
// would give. The scans are not looked at.
bool read_jpeg_header(j_decompress_ptr cinfo, stream_source *source, uint32_t *width, uint32_t *height)
{
    if (setjmp(reinterpret_cast<error_jump *>(cinfo->err)->back))
        return false;
    jpeg_create_decompress(cinfo);
    use_stream_source(cinfo, source);
    jpeg_read_header(cinfo, TRUE);
    const J_COLOR_SPACE space = cinfo->jpeg_color_space;
    if (space != JCS_GRAYSCALE && space != JCS_YCbCr && space != JCS_RGB)
        ERREXIT(cinfo, JERR_CONVERSION_NOTIMPL);
    // The decoder upsamples by whole factors only: a component whose sampling
    // factors do not divide the largest ones fails the decode's start, before
    // any data is read, and so fails here.
    for (int c = 0; c < cinfo->num_components; ++c) {
        const jpeg_component_info &comp = cinfo->comp_info[c];
        if (cinfo->max_h_samp_factor % comp.h_samp_factor != 0 || cinfo->max_v_samp_factor % comp.v_samp_factor != 0)
            ERREXIT(cinfo, JERR_FRACT_SAMPLE_NOTIMPL);
    }
    *width = cinfo->image_width;
    *height = cinfo->image_height;
    return true;
}

} // namespace

int info_jpeg(FILE *raw_stream, uint32_t *width, uint32_t *height)
{
    file_ptr stream(raw_stream);
    if (fseek(stream.get(), 0, SEEK_SET) != 0) {
        record_errno(errno);
        return -1;
    }
    jpeg_decompress_struct cinfo;
    error_jump err;
    catch_errors(&cinfo, &err);
    std::unique_ptr<JOCTET[]> block(new (std::nothrow) JOCTET[source_block_bytes]);
    if (!block) {
        record_errno(ENOMEM);
        return -1;
    }
    stream_source source;
    source.stream = stream.get();
    source.block = block.get();
    const bool read = read_jpeg_header(&cinfo, &source, width, height);
    jpeg_destroy_decompress(&cinfo);
    return read ? 0 : -1;
}
