// image_jpg.cpp - JPEG reading through libjpeg: JFIF files, and with
// IMAGE_READ_ANY whatever libjpeg decodes (Exif, Adobe, CMYK). Bad data makes
// the load fail with libjpeg's own message instead of ending the process, and
// files whose claims would cost far more than they hold (huge sizes, data that
// ends early, endless scans) are refused before the work is done. Rows are
// decoded into their places in the pixel buffer: as pixel words where the
// library can write them itself (libjpeg-turbo), otherwise as RGB or CMYK
// turned into pixels in place. The writer is an entry point only.
#include "image_jpg.h"

#include "image_base.h"
#include "image_jpg_census.h"

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
constexpr J_COLOR_SPACE pixel_space = JCS_RGB; // not used: there is only the RGB route
constexpr bool have_pixel_space = false;
#endif

// libjpeg's standard error manager with somewhere to jump back to, and
// whether the data has run out.
struct error_jump {
    jpeg_error_mgr mgr;
    jmp_buf back;
    bool data_ended;
};

// Replaces the standard error_exit, which would print and then end the whole
// process: print the same message, then unwind to the load that failed.
[[noreturn]] void jump_back(j_common_ptr cinfo)
{
    char message[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, message);
    fail_with_message("%s", message);
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

// Prints libjpeg's warnings, as its standard manager does but through the
// base's cap, and watches them: those saying the data has run out feed the
// rule above, and a progression that refines what no earlier scan sent (AC
// coefficients before any DC scan, say) ends the load. No encoder writes one;
// it is how a few bytes of end-of-block runs would make a decoder go through a
// huge image.
void watch_message(j_common_ptr cinfo, int msg_level)
{
    error_jump *err = reinterpret_cast<error_jump *>(cinfo->err);
    if (msg_level >= 0)
        return; // trace: the standard manager shows level 0 alone, and libjpeg's decoder has none
    if (err->mgr.msg_code == JWRN_BOGUS_PROGRESSION)
        jump_back(cinfo);
    char message[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, message);
    print_warning("%s\n", message); // the base shows the first few and counts the rest
    if (says_data_ended(err->mgr)) {
        err->data_ended = true;
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
// each scan start before any of its data is decoded. The census has already
// counted the scans from the file's markers; this counts them as libjpeg
// takes them, whatever the file's bytes looked like to the census.
void watch_progress(j_common_ptr cinfo)
{
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

// libjpeg's own memory for the whole-image coefficient buffers that files of
// several scans need: two bytes a sample of each full-resolution component
// (three, or the four of CMYK, which IMAGE_READ_ANY turns into RGB) and two
// bytes a pixel to spare for rounding up to whole blocks and for the working
// rows. With this ceiling the largest image within the pixel limit still
// decodes, and whatever slips past the checks above cannot take more; libjpeg
// has no backing store to fall back on, so going over it fails the load.
long memory_ceiling(int components)
{
    const uint64_t pixels = get_image_max_pixels();
    if (pixels == 0)
        return 0; // libjpeg's "no limit"
    const uint64_t per_pixel = 2 * (std::max(components, 3) + 1), spare = segment_bytes;
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
// A read that fails is no end of the file, as it is to jpeg_stdio_src: the
// rest of the image would be made up and the load said to succeed. It fails
// the load with the system's reason.
struct stream_source {
    jpeg_source_mgr pub;
    FILE *stream;
    JOCTET *block;
    bool at_start;
};

boolean source_fill(j_decompress_ptr cinfo)
{
    stream_source *src = reinterpret_cast<stream_source *>(cinfo->src);
    clearerr(src->stream); // a failure of the census's reads is not this one's
    size_t got = fread(src->block, 1, source_block_bytes, src->stream);
    if (got == 0 && ferror(src->stream)) {
        record_errno(errno);
        longjmp(reinterpret_cast<error_jump *>(cinfo->err)->back, 1);
    }
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
    while (count > static_cast<long>(src->bytes_in_buffer)) {
        count -= static_cast<long>(src->bytes_in_buffer);
        (void)source_fill(cinfo); // never suspends
    }
    if (count > 0) {
        src->next_input_byte += count;
        src->bytes_in_buffer -= count;
    }
}

void source_nothing(j_decompress_ptr) {}

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
    const size_t rows = std::min(std::max(needed, b->rows * 2), b->total_rows);
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

// Spreads the red, green and blue bytes libjpeg wrote at the start of a row's
// pixels over the pixels, from the end back, so that no byte is overwritten
// before it is read.
void spread_rgb(uint32_t *row, size_t width)
{
    const unsigned char *rgb = reinterpret_cast<const unsigned char *>(row);
    for (size_t x = width; x-- > 0;) {
        const unsigned char *p = rgb + 3 * x;
        row[x] = 0xFF000000u | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    }
}

// Turns the CMYK bytes libjpeg wrote over a row's pixels into pixel words, in
// place. Adobe's programs, which write most CMYK JPEG files, store the inks
// inverted (255 is no ink); libjpeg hands the bytes on as stored, and Pillow
// and ImageMagick take every CMYK JPEG file as inverted, Adobe marker or not:
// so do we. For YCCK libjpeg gives the same inverted CMYK. With the inks C and
// K, red is (255 - C)(255 - K) / 255, as ImageMagick computes it, rounded to
// the nearest as its 16-bit result comes out in 8 bits (Pillow 9.4 rounds the
// same product alike; PIL's old additive 255 - min(255, C + K) differs).
void from_cmyk(uint32_t *row, size_t width)
{
    const unsigned char *cmyk = reinterpret_cast<const unsigned char *>(row);
    for (size_t x = 0; x < width; ++x) {
        const unsigned char *p = cmyk + 4 * x;
        const auto light = [k = p[3]](unsigned stored) { return (stored * k + 127) / 255; };
        row[x] = 0xFF000000u | light(p[0]) << 16 | light(p[1]) << 8 | light(p[2]);
    }
}

// Has libjpeg write the rows into their places in the pixel buffer, as many
// a call as it will take (up to one band of upsampled rows), then has
// `finish` turn each into pixel words, unless libjpeg wrote them so.
bool read_rows(j_decompress_ptr cinfo, pixel_buffer *pixels, void (*finish)(uint32_t *, size_t))
{
    enum { band = 32 };
    JSAMPROW rows[band];
    const size_t width = cinfo->output_width;
    while (cinfo->output_scanline < cinfo->output_height) {
        const JDIMENSION first = cinfo->output_scanline;
        const JDIMENSION count = std::min<JDIMENSION>(cinfo->output_height - first, band);
        if (!hold_rows(pixels, size_t(first) + count))
            return false;
        uint32_t *start = pixels->data + first * width;
        for (JDIMENSION i = 0; i < count; ++i)
            rows[i] = reinterpret_cast<JSAMPROW>(start + i * width);
        const JDIMENSION got = jpeg_read_scanlines(cinfo, rows, count);
        for (JDIMENSION i = 0; finish && i < got; ++i)
            finish(start + i * width, width);
    }
    return true;
}

// ---- the header, and the checks libjpeg makes as decoding starts ----

// Checks Huffman table `number`, for DC or AC coefficients, as libjpeg does
// when a scan that uses it starts and it builds its lookup tables. A file may
// leave out tables 0 and 1 (Motion JPEG frames do): libjpeg-turbo's
// sequential decoder then uses the standard ones.
void check_huffman_table(j_decompress_ptr cinfo, bool dc, int number, bool standard_tables)
{
    const JHUFF_TBL *table = number < NUM_HUFF_TBLS ? (dc ? cinfo->dc_huff_tbl_ptrs : cinfo->ac_huff_tbl_ptrs)[number]
                                                     : nullptr;
    if (!table) {
        if (standard_tables && number < 2)
            return;
        ERREXIT1(cinfo, JERR_NO_HUFF_TABLE, number);
    }
    // The codes of each length must leave room for one more, as none may be
    // all ones; DC symbols are bit counts of at most 15.
    unsigned codes = 0, symbols = 0;
    for (int length = 1; length <= 16; ++length, codes <<= 1) {
        symbols += table->bits[length];
        if ((codes += table->bits[length]) >= 1u << length)
            ERREXIT(cinfo, JERR_BAD_HUFF_TABLE);
    }
    for (unsigned i = 0; dc && i < symbols; ++i)
        if (table->huffval[i] > 15)
            ERREXIT(cinfo, JERR_BAD_HUFF_TABLE);
}

// What libjpeg checks of the first scan's header when decoding starts, before
// it reads any of the scan's data: the blocks of an interleaved scan's unit,
// the quantisation tables, a progressive scan's band and bits, the Huffman
// tables. Same order, same messages (libjpeg's own, from its table): a header
// read alone fails where the load would.
void check_first_scan(j_decompress_ptr cinfo)
{
    const int count = cinfo->comps_in_scan;
    jpeg_component_info *const *scanned = cinfo->cur_comp_info;
    int blocks = 0; // in a unit of the scan, when it is interleaved
    for (int i = 0; i < count; ++i)
        blocks += scanned[i]->h_samp_factor * scanned[i]->v_samp_factor;
    if (count > 1 && blocks > D_MAX_BLOCKS_IN_MCU)
        ERREXIT(cinfo, JERR_BAD_MCU_SIZE);
    for (int i = 0; i < count; ++i) {
        const int table = scanned[i]->quant_tbl_no;
        if (table < 0 || table >= NUM_QUANT_TBLS || !cinfo->quant_tbl_ptrs[table])
            ERREXIT1(cinfo, JERR_NO_QUANT_TABLE, table);
    }
    const int ss = cinfo->Ss, se = cinfo->Se, ah = cinfo->Ah, al = cinfo->Al;
    const bool progressive = cinfo->progressive_mode, dc_band = ss == 0;
    if (progressive) {
        const bool bad_band = dc_band ? se != 0 : ss > se || se >= DCTSIZE2 || count != 1;
        if (bad_band || (ah != 0 && al != ah - 1) || al > 13)
            ERREXIT4(cinfo, JERR_BAD_PROGRESSION, ss, se, ah, al);
        // No scan comes before the first: AC coefficients or a refinement
        // are a bogus progression, which the load refuses (watch_message).
        if (!dc_band || ah != 0)
            WARNMS2(cinfo, JWRN_BOGUS_PROGRESSION, scanned[0]->component_index, 0);
    }
    for (int i = 0; i < count && !cinfo->arith_code; ++i) { // any arithmetic-coding table a scan names exists
        if (!progressive || dc_band)
            check_huffman_table(cinfo, true, scanned[i]->dc_tbl_no, !progressive);
        if (!progressive || !dc_band)
            check_huffman_table(cinfo, false, scanned[i]->ac_tbl_no, !progressive);
    }
}

// Reads the markers up to the first scan, which libjpeg checks (precision,
// sizes, sampling), then makes the checks libjpeg makes as decoding starts,
// before any data is read: the colour space, the sampling factors, the first
// scan. Sets the colour space to decode to: CMYK for CMYK and YCCK files,
// which only `any` reads, else the pixel words (direct) or RGB. Grey becomes
// R = G = B. An Exif orientation is not applied, as Pillow's open does not.
void read_header(j_decompress_ptr cinfo, bool direct, bool any)
{
    jpeg_read_header(cinfo, TRUE);
    const J_COLOR_SPACE space = cinfo->jpeg_color_space;
    const bool cmyk = any && (space == JCS_CMYK || space == JCS_YCCK);
    if (!cmyk && space != JCS_GRAYSCALE && space != JCS_YCbCr && space != JCS_RGB)
        ERREXIT(cinfo, JERR_CONVERSION_NOTIMPL);
    cinfo->out_color_space = cmyk ? JCS_CMYK : direct ? pixel_space : JCS_RGB;
    // The decoder upsamples by whole factors only.
    for (int c = 0; c < cinfo->num_components; ++c) {
        const jpeg_component_info &comp = cinfo->comp_info[c];
        if (cinfo->max_h_samp_factor % comp.h_samp_factor != 0 || cinfo->max_v_samp_factor % comp.v_samp_factor != 0)
            ERREXIT(cinfo, JERR_FRACT_SAMPLE_NOTIMPL);
    }
    check_first_scan(cinfo);
}

// ---- reading a file ----

// One read of a file: libjpeg's state (zeroed, so that destroying it is safe
// even if creation never finishes), the error manager that brings its errors
// back here, the progress monitor, the source and the stream, all released
// on every path.
struct jpeg_read {
    jpeg_decompress_struct cinfo;
    error_jump err;
    scan_watch watch;
    stream_source source;
    std::unique_ptr<JOCTET[]> block;
    file_ptr stream;

    explicit jpeg_read(FILE *s) : cinfo(), err(), watch(), source(), stream(s) {}
    ~jpeg_read() { jpeg_destroy_decompress(&cinfo); }
};

bool to_start(FILE *stream)
{
    if (fseek(stream, 0, SEEK_SET) == 0)
        return true;
    record_errno(errno);
    return false;
}

// Sets `r` up to read its stream from the start, with libjpeg's messages
// printed through the base (emit_message and error_exit are the only callers
// of output_message) and its errors jumping back to the read instead of
// ending the process. False, with the reason, when it cannot.
bool set_up(jpeg_read &r)
{
    if (!to_start(r.stream.get()))
        return false;
    r.block.reset(new (std::nothrow) JOCTET[source_block_bytes]);
    if (!r.block) {
        record_errno(ENOMEM);
        return false;
    }
    r.cinfo.err = jpeg_std_error(&r.err.mgr);
    r.err.mgr.error_exit = jump_back;
    r.err.mgr.emit_message = watch_message;
    r.watch.mgr.progress_monitor = watch_progress;
    r.source = {{nullptr, 0, source_nothing, source_fill, source_skip, jpeg_resync_to_restart, source_nothing},
                r.stream.get(), r.block.get(), true};
    return true;
}

// The read: the header and its checks, then, unless `pixels` is null, the
// image. Holds the setjmp, so nothing here has a destructor: a libjpeg error
// jumps back into it and false is returned; the caller releases the pixels
// and `r`.
bool decode(jpeg_read *r, pixel_buffer *pixels, uint32_t *width, uint32_t *height, bool direct, bool any)
{
    j_decompress_ptr cinfo = &r->cinfo;
    if (setjmp(r->err.back))
        return false;
    jpeg_create_decompress(cinfo);
    cinfo->progress = &r->watch.mgr; // after creation, which clears them
    cinfo->src = &r->source.pub;
    read_header(cinfo, direct, any);
    *width = cinfo->image_width;
    *height = cinfo->image_height;
    if (!pixels)
        return true;
    if (!image_size_allowed(cinfo->image_width, cinfo->image_height))
        return false;
    cinfo->mem->max_memory_to_use = memory_ceiling(cinfo->num_components);
    pixels->row_pixels = cinfo->image_width;
    pixels->total_rows = cinfo->image_height;
    const size_t pixel_bytes = pixel_buffer_bytes(pixels->row_pixels, pixels->total_rows);
    const size_t first_rows = pixel_bytes <= whole_buffer_bytes
                                  ? pixels->total_rows
                                  : std::max<size_t>(first_rows_bytes / (pixels->row_pixels * 4), 32);
    if (pixel_bytes == 0 || !hold_rows(pixels, first_rows)) {
        record_errno(ENOMEM);
        return false;
    }
    jpeg_start_decompress(cinfo);
    if (!read_rows(cinfo, pixels, cinfo->out_color_space == JCS_CMYK ? from_cmyk : direct ? nullptr : spread_rgb)) {
        record_errno(ENOMEM); // the buffer could not grow
        return false;
    }
    jpeg_finish_decompress(cinfo);
    return true;
}

uint32_t *load(FILE *stream, uint32_t *width, uint32_t *height, bool direct)
{
    jpeg_read r(stream);
    if (!to_start(stream) || !census_allows_scans(stream) || !set_up(r)) // the census says why itself
        return nullptr;
    pixel_buffer pixels = {nullptr, 0, 0, 0};
    if (decode(&r, &pixels, width, height, direct, get_image_read_flags() & IMAGE_READ_ANY))
        return pixels.data;
    free(pixels.data);
    return nullptr;
}

} // namespace

int check_jpeg(FILE *stream)
{
    // Strictly, start of image, then an APP0 segment whose name begins "JFIF"
    // (its first letter and the segment length are not looked at). With
    // IMAGE_READ_ANY, start of image and the 0xFF of any marker: libjpeg
    // takes the rest as it comes.
    const bool any = get_image_read_flags() & IMAGE_READ_ANY;
    unsigned char head[10];
    const size_t wanted = any ? 3 : sizeof head;
    if (fseek(stream, 0, SEEK_SET) != 0 || fread(head, 1, wanted, stream) != wanted)
        return 0;
    static const unsigned char soi_app0[4] = {0xFF, 0xD8, 0xFF, 0xE0};
    return memcmp(head, soi_app0, any ? 3 : 4) == 0 && (any || memcmp(head + 7, "FIF", 3) == 0);
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

int info_jpeg(FILE *stream, uint32_t *width, uint32_t *height)
{
    jpeg_read r(stream);
    return set_up(r) && decode(&r, nullptr, width, height, false, get_image_read_flags() & IMAGE_READ_ANY) ? 0 : -1;
}
