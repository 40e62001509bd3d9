/* image.h - public interface of the image library.
 *
 * Reads PNG, JFIF JPEG and TGA (version 2, with footer) into one pixel
 * format, recognising each file by its content, and writes TGA.
 *
 * Pixels are 32-bit words 0xAARRGGBB, row-major, top row first, with no gaps
 * between rows; pixel (x, y) is element y * width + x. Opaque formats get
 * alpha 0xFF. Most failures are also told on standard error as one plain
 * line (set_image_messages turns that off); image_error says why any load,
 * save or image_info failed.
 *
 * Needs Linux and glibc (fopencookie, O_TMPFILE, the GNU strerror_r).
 *
 * Threads: loads, saves, image_info and image_error may be called from any
 * number of threads at once. The settings (save flags, read flags, pixel
 * limit, messages) are process-wide; each may be changed while other threads
 * load or save, and a call running then works with the old value or the new
 * one, read once where the call needs it. */
#ifndef IMAGE_H
#define IMAGE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Format codes for save_image, and what image_info reports. */
enum {
    IMAGE_FORMAT_PNG = 0,
    IMAGE_FORMAT_JPEG = 1,
    IMAGE_FORMAT_TGA = 2
};

/* Save flags, read by the TGA writer. */
enum {
    IMAGE_SAVE_ALPHA = 1, /* write 32-bit pixels with alpha instead of 24-bit */
    IMAGE_SAVE_FLIP = 4   /* announce bottom-first rows: readers show it flipped */
};

/* Loads the file at path, whatever its name, as PNG, JPEG or TGA (probed in
 * that order). Returns a pixel buffer that the caller owns and releases with
 * free_image, and writes the size through width and height; returns null on
 * failure (the values left in width and height are then unspecified). */
uint32_t *load_image(const char *path, uint32_t *width, uint32_t *height);

/* load_image from the size bytes at data, which stay the caller's: the same
 * probes, limits, messages and reasons, and no file is opened or made. The
 * reasons name the source "memory" ("memory: not a PNG, JFIF JPEG or TGA
 * image"); a size of 0 fails with "memory: the data is empty". */
uint32_t *load_image_memory(const void *data, size_t size, uint32_t *width, uint32_t *height);

/* Reads only the headers of the file at path: returns 0 and writes its size
 * and its IMAGE_FORMAT_* code through width, height and format, or returns -1
 * with the reason in image_error (the values left are then unspecified). It
 * succeeds where load_image gets past the headers' checks (a refused colour
 * type, TGA type or depth, a JPEG that is not JFIF fail here too); the
 * image's data is not read, so a file damaged further on still succeeds. The
 * size is the one the file claims, even above set_image_max_pixels' limit,
 * which image_info does not apply. Its cost does not grow with the image's,
 * except for a TGA file from a stream that cannot seek (a pipe), which is
 * read to its end for the footer that makes it one. */
int image_info(const char *path, uint32_t *width, uint32_t *height, unsigned int *format);

/* Releases a buffer returned by load_image or load_image_memory. Null is
 * allowed. */
void free_image(uint32_t *pixels);

/* Writes width x height pixels to path in the given format. Returns 0 on
 * success, -1 on failure; a failed save leaves an existing file at path as it
 * was. Only IMAGE_FORMAT_TGA is implemented; the other codes report so. */
int save_image(const char *path, const uint32_t *pixels, uint32_t width,
               uint32_t height, unsigned int format);

/* Why the calling thread's last load, save or image_info failed, as one line
 * without a line break that names the file and the cause ("out.png: Permission
 * denied", "normal.png: grey PNG images are not supported"); every failure
 * has one, including those the library does not print. A successful call
 * clears it to "". Never null; the text belongs to the library and is good
 * until the thread's next load, save or image_info. */
const char *image_error(void);

/* 1 if the library printed a message on standard error for the calling
 * thread's last failed call, 0 if it only recorded the reason: a
 * program that tells failures itself need not tell them twice. */
int image_error_printed(void);

/* Process-wide save flags (IMAGE_SAVE_*), 0 at start. */
void set_image_save_flags(int flags);
int get_image_save_flags(void);

/* Read flags. */
enum {
    IMAGE_READ_ANY = 1 /* also read what the strict mode refuses (see below) */
};
/* IMAGE_READ_ANY reads any JPEG libjpeg decodes (Exif, Adobe, CMYK); an Exif orientation is not applied. */

/* Process-wide read flags (IMAGE_READ_*), 0 at start: the strict mode. */
void set_image_read_flags(int flags);
int get_image_read_flags(void);

/* Process-wide limit on the pixels (width x height) of an image a load may
 * return, 2^29 at start (a 2 GiB buffer); 0 means no limit. Each reader checks
 * it from the file's header, before anything large is allocated, and refuses a
 * larger image with "image of W x H pixels is larger than the limit of N
 * pixels". */
void set_image_max_pixels(uint64_t max_pixels);
uint64_t get_image_max_pixels(void);

/* Process-wide switch for the messages the library, libpng and libjpeg print
 * on standard error: 1 at start; with 0 nothing reaches standard error from
 * them, and image_error still says why a call failed (image_error_printed is
 * then 0). */
void set_image_messages(int on);
int get_image_messages(void);

#ifdef __cplusplus
}
#endif

#endif
