// image_jpg.h - the jpeg codec behind the image library's front end.
#ifndef IMAGE_JPG_H
#define IMAGE_JPG_H

#include <cstdint>
#include <cstdio>

// 1 if the stream holds this format (JFIF, or with IMAGE_READ_ANY any JPEG),
// else 0. May move the position; never closes.
int check_jpeg(FILE *stream);
// Reads the image; from the call on owns the stream and closes it on every path.
// Returns a malloc'd pixel buffer (0xAARRGGBB) and its size, or null.
uint32_t *load_jpeg(FILE *stream, uint32_t *width, uint32_t *height);
// Writes the pixels; owns and closes the stream. 0 on success, -1 on failure.
int save_jpeg(FILE *stream, const uint32_t *pixels, uint32_t width, uint32_t height);

// load_jpeg by the portable route even where a faster one exists: rows of RGB,
// spread into pixels. Same ownership and result as load_jpeg, which must give
// the same pixels; the tests and benchmarks hold the two together.
uint32_t *load_jpeg_rgb(FILE *stream, uint32_t *width, uint32_t *height);
// 1 if load_jpeg has libjpeg write pixels straight into the buffer (libjpeg-turbo's
// four-byte colour spaces), 0 if it takes the RGB route.
int jpeg_decodes_direct(void);

// Reads the markers up to the first scan alone, with the reader's checks of
// them and of the first scan's header, and its messages (not the pixel limit,
// not the scans' count or data): 0 and the size the frame gives, or -1. Owns
// the stream and closes it on every path, as load_jpeg does.
int info_jpeg(FILE *stream, uint32_t *width, uint32_t *height);

// What a marker (the byte after 0xFF) is to libjpeg's reader. The census of
// scans walks a file by it, and so may a test that takes a file apart.
enum class jpeg_marker {
    no_segment, // nothing follows: a stuffed 0x00 in coded data, RSTn, TEM, and
                // the reserved codes, which libjpeg refuses or passes over
    start,      // SOI
    end,        // EOI
    frame,      // SOFn: the image's size and components
    scan,       // SOS
    table,      // DHT, DAC, DQT, DRI: read whole; a length below 2 is refused
    skipped,    // APPn, COM, DNL: passed over; a length below 2 skips nothing
    refused,    // JPG, JPGn, DHP, EXP: libjpeg stops with an error
};
jpeg_marker jpeg_marker_kind(int code);

#endif
