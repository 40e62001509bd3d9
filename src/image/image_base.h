// image_base.h - what the image library's codecs and its front end share,
// below both: the process-wide settings (through image.h's getters), the
// per-thread reason of the current load or save, the one way to report a
// failure, the pixel limits, and small stream helpers. Nothing here calls
// up into a codec or the front end.
#ifndef IMAGE_BASE_H
#define IMAGE_BASE_H

#include "image.h" // the settings, read through its getters

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

// Reasons. Every failed load or save records one; image_error() gives it after
// the name of the file the front end is working on ("out.png: ..."), or alone
// when a codec was called directly. The later of two records wins. All of
// these are safe to call from a function that holds a setjmp: they leave
// nothing to destroy.
//
// Messages. Every line the library prints goes through the functions below to
// the process-wide message handler (set_image_message_handler): the default
// one prints exactly the text given on standard error, a caller's gets the
// line without its line break, and with messages off nobody gets it.

// Records the reason without printing anything.
void set_image_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The one way to fail with a message: prints it as one line and records the
// same text as the reason.
void fail_with_message(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Prints exactly what it is given (line break included, or not): for a
// message whose words differ from the reason recorded with it.
void print_message(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Prints a warning of libpng's or libjpeg's as print_message does, but only
// the first few of a load: a damaged file can hold thousands of them. The rest
// are counted, and the count is told in one line when the load ends
// (error_scope). Outside a load (a codec called directly) every one is printed.
void print_warning(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Records a reason whose message someone else (libpng, libjpeg) has printed.
void set_printed_image_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// True once a reason has been recorded since the current call began.
bool image_error_recorded(void);
// The system's description of an errno value; never "Success": 0 gives a
// plain "input/output failed".
const char *errno_text(int error);
// Records errno_text(error) as the reason, printing nothing.
void record_errno(int error);

// Names `path` in the reasons recorded while it lives (shortened in the middle
// when it would leave the cause no room) and starts the call with no reason
// recorded and no warning counted; when it ends, it tells how many warnings
// were held back. The front end holds one for each load and save.
struct error_scope {
    explicit error_scope(const char *path);
    ~error_scope();
    error_scope(const error_scope &) = delete;
    error_scope &operator=(const error_scope &) = delete;
};
// Forgets the reason: the call succeeded.
void clear_image_error(void);


// Limits: every bound the library puts on what a file can make it spend,
// each with why it is where it is. Readers take them from here.

// The pixel limit at start (set_image_max_pixels): 2^29 pixels, a 2 GiB
// buffer, room for any photograph and far below what a few bytes of header
// can claim (65535 x 65535 in TGA, 65500 x 65500 in JPEG, 2^31 - 1 a side in
// PNG).
const uint64_t default_max_pixels = uint64_t(1) << 29;

// True when a width x height image is within the process-wide pixel limit
// (set_image_max_pixels); otherwise fails with a message and returns false.
// Readers call it as soon as the header gives the size.
bool image_size_allowed(uint64_t width, uint64_t height);

// Bytes of a width x height buffer of pixels of `pixel_bytes` each, or 0 when
// there are none or they do not fit size_t.
size_t pixel_buffer_bytes(uint64_t width, uint64_t height, size_t pixel_bytes = 4);

// The most pixels a reader makes up for a file whose data ends early. Below
// it, a cut-off file still shows what it has, the rest filled in; above it the
// load fails, as a few bytes claiming a huge image would otherwise cost the
// whole image's time and memory.
const uint64_t max_invented_pixels = uint64_t(1) << 26; // an 8192 x 8192 image

// Room for what goes around an image's data: the segments and chunks before
// a PNG or JPEG image's data (far more than any real file has, and the most
// read of a stream that cannot seek for its headers), the tables libjpeg
// keeps beside its coefficients, and the segments of a JPEG file held from a
// pipe beside four bytes a pixel.
const uint64_t segment_bytes = uint64_t(16) << 20;

// Warnings of one load printed before the rest are only counted: a damaged
// file can hold thousands of them.
const unsigned long max_printed_warnings = 5;

// JPEG scans a file may have, and how many times over they may go through the
// image together (a scan of every component once, of the luminance alone about
// two thirds). Each scan costs a pass over the blocks it covers, however
// little data it holds, so a few kilobytes of tiny scans would otherwise keep
// the decoder busy for minutes. Encoders write about ten scans that go over
// the image about five times; 100 is the most browsers accept.
const int max_jpeg_scans = 100;
const uint64_t max_jpeg_coverage = 32;

// PNG data read past the image's last row: the chunks after it are checked
// as ever, but a 1 MB file whose data went on to inflate to 1 GiB would
// otherwise cost seconds to give one pixel. At deflate's best ratio this is
// 32 MiB of inflating.
const size_t max_png_bytes_after_image = size_t(32) << 10;

// A TGA file's bytes beyond its header, colour map and pixels, read from a
// stream that cannot seek: the extension area (495 bytes, or up to 64 KiB by
// its own size field) with the tables it points to (a scan-line table of 4
// bytes a row, a postage stamp of at most 255 x 255 pixels, 2 KiB of colour
// correction), and room for a developer area, which the format does not bound.
const uint64_t tga_extra_bytes = uint64_t(2) << 20;

// Run-length TGA data (IMAGE_READ_ANY): a packet of 1 + (at most 4) bytes
// gives at most tga_run_pixels pixels, and a raw packet of one pixel costs
// the most bytes a pixel, 5. The reader counts the pixels beyond
// tga_run_pixels for each packet the rest of the file could hold as made up
// (max_invented_pixels), so a few bytes claiming a huge image are refused
// before anything is allocated, and the work stays within what the bytes
// give; a stream that cannot seek is read for at most
// tga_most_bytes_per_pixel a pixel. A colour map is bounded by its header
// fields (65535 entries of at most 4 bytes); a value past it is refused.
const uint64_t tga_run_pixels = 128;
const uint64_t tga_most_bytes_per_pixel = 5;

// Looks and attempts before a save gives up on a path, or on a temporary
// name, that others keep changing or taking: they bound no work a file can
// cause, only how long a race can hold the caller. Symbolic links followed
// to the file a save replaces: the kernel's own limit for one lookup.
const int max_save_attempts = 100;
const int max_save_links = 40;

// Streams and scratch memory.

struct file_closer {
    void operator()(FILE *stream) const { fclose(stream); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

struct free_deleter {
    void operator()(void *block) const { free(block); }
};
template <typename T>
using malloc_ptr = std::unique_ptr<T, free_deleter>;

// True for the bytes that go on a UTF-8 character (10xxxxxx): a name is cut
// only before any other byte.
inline bool continues_character(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Bytes from the position to the end of the stream, the position left as it
// was; false when the stream cannot tell (a pipe).
bool bytes_to_end(FILE *stream, uint64_t *bytes);

#endif
