// image.cpp - the image library's front end for loading: content probes,
// codec dispatch and buffer release. Saving is in image_save.cpp; settings
// and reasons are in the base below the codecs.
#include "image.h"

#include "image_base.h"
#include "image_front.h"
#include "image_jpg.h"
#include "image_png.h"
#include "image_tga.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const size_t stream_buffer_bytes = size_t(64) << 10;

// The probes and readers move about in the file, which a pipe or a terminal
// cannot do: such a stream is first copied whole into an unnamed temporary
// file. Returns the stream to read (the other one closed), or null with the
// reason recorded.
FILE *seekable(FILE *raw_stream)
{
    file_ptr stream(raw_stream);
    if (lseek(fileno(raw_stream), 0, SEEK_CUR) >= 0 || errno != ESPIPE)
        return stream.release();
    file_ptr copy(tmpfile());
    if (!copy) {
        set_image_error("could not make a temporary copy to read: %s", errno_text(errno));
        return nullptr;
    }
    char block[65536];
    size_t n;
    while ((n = fread(block, 1, sizeof block, stream.get())) > 0) {
        if (fwrite(block, 1, n, copy.get()) != n) {
            set_image_error("could not make a temporary copy to read: %s", errno_text(errno));
            return nullptr;
        }
    }
    if (ferror(stream.get())) {
        set_image_error("%s", errno_text(errno));
        return nullptr;
    }
    if (fflush(copy.get()) != 0 || fseek(copy.get(), 0, SEEK_SET) != 0) {
        set_image_error("could not make a temporary copy to read: %s", errno_text(errno));
        return nullptr;
    }
    return copy.release();
}

// Says why no probe took the stream: the system's word when it has one (a
// directory opens, but cannot be read), else what the content is not.
void record_unrecognised(FILE *stream)
{
    struct stat st;
    if (fstat(fileno(stream), &st) == 0 && S_ISDIR(st.st_mode)) {
        set_image_error("%s", errno_text(EISDIR));
        return;
    }
    unsigned char head[3];
    const size_t got = fseek(stream, 0, SEEK_SET) == 0 ? fread(head, 1, sizeof head, stream) : 0;
    if (ferror(stream))
        set_image_error("%s", errno_text(errno));
    else if (got == 0)
        set_image_error("the file is empty");
    else if (got == 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF)
        set_image_error("JPEG files without a JFIF header (Exif or Adobe ones, for instance) are not supported");
    else
        set_image_error("not a PNG, JFIF JPEG or TGA image");
}

} // namespace

uint32_t *load_image_format(const char *path, uint32_t *width, uint32_t *height, unsigned int *format)
{
    error_scope scope(path);
    FILE *stream = fopen(path, "rb");
    if (!stream) {
        const int error = errno;
        print_message("Image loading error: could not open file %s\n", path);
        set_printed_image_error("%s", errno_text(error));
        return nullptr;
    }
    FILE *const opened = stream;
    if (!(stream = seekable(stream)))
        return nullptr;
    // stdio's own buffer is 4 KiB, and libpng asks for each 8 KiB data chunk
    // in pieces around it: a photo of a few megabytes cost over a thousand
    // reads. Only a stream nothing has been read from yet may be given one
    // (not a pipe's copy); the codecs close the stream before they return, so
    // the buffer is released after them. Without it the load still works.
    std::unique_ptr<char[]> buffer;
    if (stream == opened && (buffer.reset(new (std::nothrow) char[stream_buffer_bytes]), buffer))
        setvbuf(stream, buffer.get(), _IOFBF, stream_buffer_bytes);

    // Strongest magic first; TGA, recognised only by its footer, comes last.
    unsigned int found;
    uint32_t *pixels;
    if (check_png(stream)) {
        found = IMAGE_FORMAT_PNG;
        pixels = load_png(stream, width, height);
    } else if (check_jpeg(stream)) {
        found = IMAGE_FORMAT_JPEG;
        pixels = load_jpeg(stream, width, height);
    } else if (check_tga(stream)) {
        found = IMAGE_FORMAT_TGA;
        pixels = load_tga(stream, width, height);
    } else {
        record_unrecognised(stream);
        fclose(stream);
        return nullptr;
    }
    if (!pixels) {
        // Every reader records its reasons; this is only a safety net.
        if (!image_error_recorded())
            set_image_error("could not be read");
        return nullptr;
    }
    clear_image_error();
    if (format)
        *format = found;
    return pixels;
}

extern "C" uint32_t *load_image(const char *path, uint32_t *width, uint32_t *height)
{
    return load_image_format(path, width, height, nullptr);
}

extern "C" void free_image(uint32_t *pixels)
{
    free(pixels);
}

