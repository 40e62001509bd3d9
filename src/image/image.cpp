// image.cpp - the image library's front end for loading: content probes,
// codec dispatch, the sources read from (files, the caller's memory, streams
// that cannot seek), header-only reading and buffer release. Saving is in
// image_save.cpp; settings and reasons are in the base below the codecs.
#include "image.h"

#include "image_base.h"
#include "image_jpg.h"
#include "image_png.h"
#include "image_tga.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const size_t stream_buffer_bytes = size_t(64) << 10;

// What a call wants of the image: its pixels (a load), or its size and format
// alone (image_info).
enum class wanted { pixels, header };

// What a read found.
struct found_image {
    uint32_t *pixels = nullptr;
    uint32_t width = 0, height = 0;
    unsigned int format = 0;
};

// The format whose probe takes the stream, strongest magic first, TGA,
// recognised only by its footer, last; -1 when none does. The stream is left
// where the probe that took it left it, as that codec's reader expects.
int probe(FILE *stream)
{
    if (check_png(stream))
        return IMAGE_FORMAT_PNG;
    if (check_jpeg(stream))
        return IMAGE_FORMAT_JPEG;
    if (check_tga(stream))
        return IMAGE_FORMAT_TGA;
    return -1;
}

// Hands the stream to the codec of `format`, which owns it from the call on:
// its reader, or its header reader when only the header is wanted.
bool hand_to_codec(FILE *stream, int format, wanted what, found_image *found)
{
    using reader = uint32_t *(*)(FILE *, uint32_t *, uint32_t *);
    using header_reader = int (*)(FILE *, uint32_t *, uint32_t *);
    static const reader readers[] = {load_png, load_jpeg, load_tga};
    static const header_reader header_readers[] = {info_png, info_jpeg, info_tga};
    found->format = static_cast<unsigned int>(format);
    if (what == wanted::header)
        return header_readers[format](stream, &found->width, &found->height) == 0;
    found->pixels = readers[format](stream, &found->width, &found->height);
    return found->pixels != nullptr;
}

// Says why no probe took the stream: the system's word when it has one (a
// directory opens, but cannot be read), else what the content is not, or
// what it looks like.
void record_unrecognised(FILE *stream)
{
    struct stat st;
    if (fileno(stream) >= 0 && fstat(fileno(stream), &st) == 0 && S_ISDIR(st.st_mode)) {
        record_errno(EISDIR);
        return;
    }
    unsigned char head[3];
    const size_t got = fseek(stream, 0, SEEK_SET) == 0 ? fread(head, 1, sizeof head, stream) : 0;
    if (ferror(stream))
        record_errno(errno);
    else if (got == 0)
        set_image_error("the file is empty");
    else if (got == 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF)
        set_image_error("JPEG files without a JFIF header (Exif or Adobe ones, for instance) are not supported");
    else if (looks_like_tga(stream))
        set_image_error("TGA files without the version 2 footer are not supported");
    else
        set_image_error("not a PNG, JFIF JPEG or TGA image");
}

// Reads a stream that can seek; owns it and closes it on every path.
bool read_seekable(FILE *stream, wanted what, found_image *found)
{
    const int format = probe(stream);
    if (format < 0) {
        record_unrecognised(stream);
        fclose(stream);
        return false;
    }
    return hand_to_codec(stream, format, what, found);
}

// Bytes in memory as a stream that reads and seeks as a file of them does
// (fopencookie). fmemopen's streams refuse to go past the end, where a file
// lets the TGA reader skip an ID or colour map the data does not hold: the
// same bytes would fail differently from memory than from a file.
struct memory_source {
    const unsigned char *data;
    size_t size;
    uint64_t position;
};

ssize_t memory_read(void *cookie, char *buffer, size_t size)
{
    memory_source *m = static_cast<memory_source *>(cookie);
    const size_t n = m->position < m->size ? std::min(size, static_cast<size_t>(m->size - m->position)) : 0;
    if (n != 0)
        memcpy(buffer, m->data + m->position, n);
    m->position += n;
    return static_cast<ssize_t>(n);
}

int memory_seek(void *cookie, off64_t *offset, int whence)
{
    memory_source *m = static_cast<memory_source *>(cookie);
    const int64_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? int64_t(m->position) : int64_t(m->size);
    if (*offset < -from || *offset > INT64_MAX - from) {
        errno = EINVAL;
        return -1;
    }
    *offset += from;
    m->position = static_cast<uint64_t>(*offset);
    return 0;
}

int nothing_to_close(void *)
{
    return 0;
}

// Reads `size` bytes at data, which stay where they are, through a stream over them.
bool read_memory(const void *data, size_t size, wanted what, found_image *found)
{
    if (size == 0) {
        set_image_error("the data is empty");
        return false;
    }
    if (!data) {
        record_errno(EINVAL);
        return false;
    }
    memory_source source = {static_cast<const unsigned char *>(data), size, 0};
    FILE *stream = fopencookie(&source, "rb", {memory_read, nullptr, memory_seek, nothing_to_close});
    if (!stream) {
        record_errno(errno);
        return false;
    }
    return read_seekable(stream, what, found); // closes the stream before source goes
}

// Streams that cannot seek (pipes, terminals). The probes and the readers
// move about in a file, and nothing of such a stream is copied to disk:
// - its first bytes, as many as the probes and the TGA header take, are read
//   first, and a stream over them and the rest (`replay`) is probed. PNG's
//   reader goes straight on through it, and so do the PNG and JPEG header
//   readers, but only as far as segment_bytes: their segments and
//   chunks may be skipped past without end, and an endless stream of them
//   would keep image_info reading for ever;
// - JPEG's reader goes through the file twice (the scans are counted before
//   anything is decoded), so a JPEG image is held in memory, up to four bytes
//   a pixel of the pixel limit;
// - TGA is recognised by its footer, at the end: a stream that is not PNG or
//   JPEG is read to its end, but never past the bytes a TGA file with its
//   header can take. It is held in memory when pixels are wanted of an image
//   within the limit; otherwise only the head and the footer's bytes are
//   kept, all that the probe and the header reader look at.

// The probes' magic numbers, the TGA header, and the PNG signature with the
// header chunk after it, which the PNG reader looks at before libpng does.
const size_t head_bytes = 8 + 8 + 13;
const size_t footer_bytes = 18; // what the TGA probe looks at, at the end

// The head of a stream that cannot seek, handed on with the rest of it by a
// stream of its own (fopencookie). It goes back to any place in the head
// until the stream beyond it has been read, and only on after that.
struct replay {
    unsigned char head[head_bytes];
    size_t length = 0; // bytes in head
    uint64_t given = 0; // bytes handed on so far
    FILE *rest = nullptr; // the stream after the head; not closed here
    uint64_t most = UINT64_MAX; // bytes handed on at most; a read past them fails
    bool stopped = false; // a read went past `most`
};

ssize_t replay_read(void *cookie, char *buffer, size_t size)
{
    replay *r = static_cast<replay *>(cookie);
    size_t n;
    if (r->given < r->length) {
        // Never the head and the rest in one read: until the rest is touched,
        // a probe may still go back to the start.
        n = std::min(size, static_cast<size_t>(r->length - r->given));
        memcpy(buffer, r->head + r->given, n);
    } else if (r->given >= r->most) {
        r->stopped = true;
        errno = EFBIG;
        return -1;
    } else if ((n = fread(buffer, 1, std::min<uint64_t>(size, r->most - r->given), r->rest)) == 0 &&
               ferror(r->rest)) {
        return -1;
    }
    r->given += n;
    return static_cast<ssize_t>(n);
}

int replay_seek(void *cookie, off64_t *offset, int whence)
{
    replay *r = static_cast<replay *>(cookie);
    const int64_t to = whence == SEEK_SET ? *offset : whence == SEEK_CUR ? int64_t(r->given) + *offset : -1;
    const bool in_head = r->given <= r->length && to >= 0 && uint64_t(to) <= r->length;
    if (to != int64_t(r->given) && !in_head) {
        errno = ESPIPE;
        return -1;
    }
    r->given = static_cast<uint64_t>(to);
    *offset = to;
    return 0;
}

// The bytes of a stream held in memory.
struct held_bytes {
    malloc_ptr<unsigned char> data;
    size_t size = 0, capacity = 0;
};

bool hold(held_bytes &held, const unsigned char *bytes, size_t n)
{
    if (held.size + n > held.capacity) {
        const size_t capacity = std::max(held.size + n, held.capacity * 2);
        void *grown = realloc(held.data.get(), capacity);
        if (!grown)
            return false;
        held.data.release();
        held.data.reset(static_cast<unsigned char *>(grown));
        held.capacity = capacity;
    }
    memcpy(held.data.get() + held.size, bytes, n);
    held.size += n;
    return true;
}

// The most bytes of a JPEG file held in memory: four bytes a pixel of the
// largest image the limit lets through (of 65535 x 65535 without a limit),
// more than any real file of such an image takes, and 16 MiB for
// the segments around it.
uint64_t most_jpeg_bytes()
{
    const uint64_t largest = uint64_t(65535) * 65535;
    const uint64_t limit = get_image_max_pixels();
    return 4 * (limit == 0 ? largest : std::min(limit, largest)) + segment_bytes;
}

// Reads what follows the head, up to `most` bytes in all, into `held` after
// the head; with `footer_only`, keeps the head and the last footer_bytes
// alone. False with the reason recorded when the stream fails, memory runs
// out or the stream goes on past `most`.
bool read_rest(replay &r, int format, uint64_t most, bool footer_only, held_bytes &held)
{
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[stream_buffer_bytes]);
    if (!block || !hold(held, r.head, r.length)) {
        record_errno(ENOMEM);
        return false;
    }
    uint64_t total = r.length;
    size_t n;
    while ((n = fread(block.get(), 1, stream_buffer_bytes, r.rest)) > 0) {
        total += n;
        if (total > most) {
            const unsigned long long bytes = most;
            if (format == IMAGE_FORMAT_JPEG)
                set_image_error("the stream goes on past the %llu bytes held of a JPEG image (four bytes a "
                                "pixel of the pixel limit, and 16 MiB)",
                                bytes);
            else
                set_image_error("not a PNG or JFIF JPEG image, and the stream goes on past the %llu bytes a "
                                "TGA image with its header can take",
                                bytes);
            return false;
        }
        if (!hold(held, block.get(), n)) {
            record_errno(ENOMEM);
            return false;
        }
        if (footer_only && held.size > r.length + footer_bytes) {
            memmove(held.data.get() + r.length, held.data.get() + held.size - footer_bytes, footer_bytes);
            held.size = r.length + footer_bytes;
        }
    }
    if (ferror(r.rest)) {
        record_errno(errno);
        return false;
    }
    return true;
}

// Says that a header reader was stopped at `most` bytes, in place of what
// the codec made of a stream cut there; what it printed stays printed.
void record_headers_too_long(int format, uint64_t most)
{
    char text[128];
    snprintf(text, sizeof text, "the stream goes on past the %llu bytes read for the headers of a %s image",
             static_cast<unsigned long long>(most), format == IMAGE_FORMAT_PNG ? "PNG" : "JPEG");
    if (image_error_printed())
        set_printed_image_error("%s", text);
    else
        set_image_error("%s", text);
}

// Reads a stream that cannot seek; owns it and closes it on every path.
bool read_unseekable(FILE *raw_stream, wanted what, found_image *found)
{
    file_ptr rest(raw_stream);
    replay r;
    r.rest = raw_stream;
    r.length = fread(r.head, 1, head_bytes, raw_stream);
    if (ferror(raw_stream)) {
        record_errno(errno);
        return false;
    }
    if (r.length == 0) {
        set_image_error("the file is empty");
        return false;
    }
    if (r.length < head_bytes) // the stream ended in its head: all of it is here
        return read_memory(r.head, r.length, what, found);

    FILE *stream = fopencookie(&r, "rb", {replay_read, nullptr, replay_seek, nothing_to_close});
    if (!stream) {
        record_errno(errno);
        return false;
    }
    const int format = probe(stream); // TGA's probe cannot look at the end
    if (format == IMAGE_FORMAT_PNG || (format == IMAGE_FORMAT_JPEG && what == wanted::header)) {
        if (what == wanted::header)
            r.most = segment_bytes;
        if (hand_to_codec(stream, format, what, found))
            return true;
        if (r.stopped)
            record_headers_too_long(format, r.most);
        return false;
    }
    uint64_t most = most_jpeg_bytes(), pixels = 0;
    const bool tga = format != IMAGE_FORMAT_JPEG;
    if (tga)
        (void)tga_size_bound(stream, &most, &pixels); // the head holds a whole header
    fclose(stream);

    const uint64_t limit = get_image_max_pixels();
    const bool beyond_limit = tga && limit != 0 && pixels > limit;
    const bool footer_only = tga && (what == wanted::header || beyond_limit);
    held_bytes held;
    if (!read_rest(r, format, most, footer_only, held))
        return false;
    if (!beyond_limit || what == wanted::header)
        return read_memory(held.data.get(), held.size, what, found);
    // Pixels of an image above the limit were wanted. Without its pixels the
    // load ends as the reader would end it: as no image, with the header's
    // own faults, or with the limit.
    if (read_memory(held.data.get(), held.size, wanted::header, found))
        (void)image_size_allowed(found->width, found->height);
    return false;
}

bool can_seek(FILE *stream)
{
    return lseek(fileno(stream), 0, SEEK_CUR) >= 0 || errno != ESPIPE;
}

// Opens path and reads the image, or its header, from it.
bool read_file(const char *path, wanted what, found_image *found)
{
    FILE *stream = fopen(path, "rb");
    if (!stream) {
        const int error = errno;
        print_message("Image loading error: could not open file %s\n", path);
        set_printed_image_error("%s", errno_text(error));
        return false;
    }
    // stdio's own buffer is 4 KiB, and libpng asks for each 8 KiB data chunk
    // in pieces around it: a photo of a few megabytes cost over a thousand
    // reads. Set before anything is read; every path closes the stream before
    // it returns, so the buffer is released after it. Without it the load
    // still works.
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[stream_buffer_bytes]);
    if (buffer)
        setvbuf(stream, buffer.get(), _IOFBF, stream_buffer_bytes);
    return can_seek(stream) ? read_seekable(stream, what, found) : read_unseekable(stream, what, found);
}

// Ends a call: a success clears the reason; a failure has one.
bool finish(bool read)
{
    if (read)
        clear_image_error();
    else if (!image_error_recorded()) // every reader records its reasons: only a safety net
        set_image_error("could not be read");
    return read;
}

uint32_t *give_pixels(const found_image &found, uint32_t *width, uint32_t *height)
{
    *width = found.width;
    *height = found.height;
    return found.pixels;
}

} // namespace

extern "C" uint32_t *load_image(const char *path, uint32_t *width, uint32_t *height)
{
    error_scope scope(path);
    found_image found;
    return finish(read_file(path, wanted::pixels, &found)) ? give_pixels(found, width, height) : nullptr;
}

extern "C" uint32_t *load_image_memory(const void *data, size_t size, uint32_t *width, uint32_t *height)
{
    error_scope scope("memory");
    found_image found;
    return finish(read_memory(data, size, wanted::pixels, &found)) ? give_pixels(found, width, height) : nullptr;
}

extern "C" int image_info(const char *path, uint32_t *width, uint32_t *height, unsigned int *format)
{
    error_scope scope(path);
    found_image found;
    if (!finish(read_file(path, wanted::header, &found)))
        return -1;
    *width = found.width;
    *height = found.height;
    *format = found.format;
    return 0;
}

extern "C" void free_image(uint32_t *pixels)
{
    free(pixels);
}
