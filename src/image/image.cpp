// image.cpp - the image library's front end for loading: content probes,
// codec dispatch, the one source every read goes through (the caller's
// memory, a descriptor that can seek, a stream that cannot), header-only
// reading and buffer release. Saving is in image_save.cpp; settings and
// reasons are in the base below the codecs.
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
#include <fcntl.h>
#include <memory>
#include <new>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const size_t stream_buffer_bytes = size_t(64) << 10;

// What a call wants of the image: its pixels (a load), or its size and format
// alone (image_info).
enum class wanted { pixels, header };

// What a call wants, and where a read puts what it finds: the caller's
// places, or spares.
struct found_image {
    wanted what;
    uint32_t *width, *height;
    unsigned int *format;
    uint32_t **pixels;
};

// Each format's probe, reader and header reader, by IMAGE_FORMAT_* code: also
// the order of the probes, strongest magic first, TGA, recognised only by its
// footer, last.
struct codec {
    int (*check)(FILE *);
    uint32_t *(*load)(FILE *, uint32_t *, uint32_t *);
    int (*info)(FILE *, uint32_t *, uint32_t *);
};
const codec codecs[] = {{check_png, load_png, info_png}, {check_jpeg, load_jpeg, info_jpeg},
                        {check_tga, load_tga, info_tga}};

// The format whose probe takes the stream, or -1. The stream is left where
// the probe that took it left it, as that codec's reader expects.
int probe(FILE *stream)
{
    for (int format = IMAGE_FORMAT_PNG; format <= IMAGE_FORMAT_TGA; ++format)
        if (codecs[format].check(stream))
            return format;
    return -1;
}

// Hands the stream to the codec of `format`, which owns it from the call on:
// its reader, or its header reader when only the header is wanted.
bool hand_to_codec(FILE *stream, int format, found_image *found)
{
    *found->format = static_cast<unsigned int>(format);
    if (found->what == wanted::header)
        return codecs[format].info(stream, found->width, found->height) == 0;
    return (*found->pixels = codecs[format].load(stream, found->width, found->height)) != nullptr;
}

// Says why no probe took the stream: the system's word when it has one (a
// directory opens, but cannot be read; a stream cannot go back), else what
// the content is not, or what it looks like.
void record_unrecognised(FILE *stream)
{
    unsigned char head[3];
    size_t got = 0;
    if (fseek(stream, 0, SEEK_SET) != 0 || (got = fread(head, 1, sizeof head, stream), ferror(stream)))
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

// The one source of every read, handed to the probes and codecs as a stream
// of its own (fopencookie): bytes in memory, then those of a descriptor,
// which is never closed here.
// - Memory alone (no descriptor) reads and seeks as a file of those bytes.
//   fmemopen's streams refuse to go past the end, where a file lets the TGA
//   reader skip an ID or colour map the data does not hold: the same bytes
//   would fail differently from memory than from a file.
// - A descriptor that can seek is read with pread from where its position
//   was, which is where the image starts; the position is left alone.
// - A stream that cannot (a pipe, a socket, a terminal) is read once, in
//   order. While `keep` is set, what it gives is kept in memory, so that the
//   probes may go back to its start; it goes back into what was kept only
//   until the stream beyond it has been read. It is read no further than
//   `most`.
struct source {
    const unsigned char *bytes = nullptr; // the caller's, or `kept`
    size_t length = 0;                    // of bytes
    malloc_ptr<unsigned char> kept;
    size_t capacity = 0; // of kept
    bool keep = false;
    int fd = -1;
    off64_t start = -1; // where the image starts in fd, when fd can seek
    int64_t end = -1;   // bytes from the start to the end; -1 where unknown (a stream)
    uint64_t position = 0;
    uint64_t most = UINT64_MAX; // bytes read at most; a read past them fails
    bool stopped = false;       // a read went past `most`
    std::unique_ptr<char[]> buffer; // the stream's, which it outlives
};

// Keeps n more bytes of a stream; false (errno ENOMEM) without the memory.
bool keep_bytes(source &s, const char *bytes, size_t n)
{
    if (s.length + n > s.capacity) {
        const size_t capacity = std::max(s.length + n, s.capacity * 2);
        void *grown = realloc(s.kept.get(), capacity);
        if (!grown) {
            errno = ENOMEM;
            return false;
        }
        (void)s.kept.release();
        s.kept.reset(static_cast<unsigned char *>(grown));
        s.capacity = capacity;
    }
    memcpy(s.kept.get() + s.length, bytes, n);
    s.bytes = s.kept.get();
    s.length += n;
    return true;
}

// A descriptor its owner made non-blocking (O_NONBLOCK) says EAGAIN while a
// pipe or socket has nothing yet to give: waited for, as a blocking one would
// have waited, its flags left as they are. True to read again. A blocking one
// says it only when the owner's receive timeout (SO_RCVTIMEO) has run out,
// which fails the read as it fails the owner's own.
bool wait_for_data(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || !(flags & O_NONBLOCK)) {
        errno = EAGAIN;
        return false;
    }
    pollfd ready = {fd, POLLIN, 0};
    return poll(&ready, 1, -1) >= 0 || errno == EINTR;
}

ssize_t source_read(void *cookie, char *buffer, size_t size)
{
    source *s = static_cast<source *>(cookie);
    ssize_t n = 0;
    if (s->position < s->length) {
        n = static_cast<ssize_t>(std::min(size, static_cast<size_t>(s->length - s->position)));
        memcpy(buffer, s->bytes + s->position, n);
    } else if (s->position >= s->most) {
        s->stopped = true;
        errno = EFBIG;
        return -1;
    } else if (s->fd >= 0) {
        size = std::min<uint64_t>(size, s->most - s->position);
        do
            n = s->start >= 0 ? pread64(s->fd, buffer, size, s->start + off64_t(s->position)) : read(s->fd, buffer, size);
        while (n < 0 && (errno == EINTR || ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_for_data(s->fd))));
        if (n < 0 || (s->keep && n > 0 && !keep_bytes(*s, buffer, size_t(n))))
            return -1;
    }
    s->position += n;
    return n;
}

int source_seek(void *cookie, off64_t *offset, int whence)
{
    source *s = static_cast<source *>(cookie);
    const int64_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? int64_t(s->position) : s->end;
    const int64_t room = INT64_MAX - std::max<int64_t>(s->start, 0); // pread's offsets cannot wrap
    const bool stream = s->fd >= 0 && s->start < 0;
    if (*offset < -from || *offset > room - from) {
        errno = EINVAL;
        return -1;
    }
    const uint64_t to = uint64_t(from + *offset);
    if (from < 0 || (stream && to != s->position && !(s->position <= s->length && to <= s->length))) {
        errno = ESPIPE;
        return -1;
    }
    s->position = to;
    *offset = off64_t(to);
    return 0;
}

// A stream over the source, or null with the reason recorded. stdio's own
// buffer is 4 KiB, and libpng asks for each 8 KiB data chunk in pieces around
// it: a photo of a few megabytes cost over a thousand reads. Without a larger
// one the read still works.
FILE *open_source(source &s)
{
    FILE *stream = fopencookie(&s, "rb", {source_read, nullptr, source_seek, [](void *) { return 0; }});
    if (!stream) {
        record_errno(errno);
        return nullptr;
    }
    s.buffer.reset(new (std::nothrow) char[stream_buffer_bytes]);
    if (s.buffer)
        setvbuf(stream, s.buffer.get(), _IOFBF, stream_buffer_bytes);
    return stream;
}

// Reads a source that can seek: memory, or a descriptor that can.
bool read_seekable(source &s, found_image *found)
{
    FILE *stream = open_source(s);
    if (!stream)
        return false;
    const int format = probe(stream);
    if (format >= 0)
        return hand_to_codec(stream, format, found); // closes the stream before s goes
    record_unrecognised(stream);
    fclose(stream);
    return false;
}

// Reads `size` bytes at data, which stay where they are.
bool read_memory(const void *data, size_t size, found_image *found)
{
    if (size == 0) {
        set_image_error("the data is empty");
        return false;
    }
    if (!data) {
        record_errno(EINVAL);
        return false;
    }
    source s;
    s.bytes = static_cast<const unsigned char *>(data);
    s.length = size;
    s.end = int64_t(size);
    return read_seekable(s, found);
}

// Streams that cannot seek. The probes and the readers move about in a file,
// and nothing of such a stream is copied to disk:
// - what the probes read of it is kept. PNG's reader goes straight on
//   through it, and so do the PNG and JPEG header readers, but only as far as
//   segment_bytes: their segments and chunks may be skipped past without
//   end, and an endless stream of them would keep image_info reading for
//   ever;
// - JPEG's reader goes through the file twice (the scans are counted before
//   anything is decoded), so a JPEG image is held in memory, up to four bytes
//   a pixel of the pixel limit and segment_bytes;
// - TGA is recognised by its footer, at the end: a stream that is not PNG or
//   JPEG is read to its end, but never past the bytes a TGA file with its
//   header can take. It is held in memory when pixels are wanted of an image
//   within the limit; otherwise only the head and the footer's bytes are
//   kept, all that the probe and the header reader look at.

// The TGA header and more, and what the TGA probe looks at, at the end.
const size_t head_bytes = 8 + 8 + 13;
const size_t footer_bytes = 18;

// Reads the rest of the stream, up to `most` bytes in all, into what is kept
// of it; with `footer_only`, keeps the head and the last footer_bytes alone.
// False with the reason recorded when the stream fails, memory runs out or
// the stream goes on past `most`.
bool read_rest(source &s, int format, uint64_t most, bool footer_only)
{
    if (!s.buffer) { // the stream's, which is closed
        record_errno(ENOMEM);
        return false;
    }
    s.position = s.length;
    ssize_t n;
    while ((n = source_read(&s, s.buffer.get(), stream_buffer_bytes)) > 0) {
        if (s.position > most) {
            set_image_error(format == IMAGE_FORMAT_JPEG
                                ? "the stream goes on past the %llu bytes held of a JPEG image (four bytes a pixel "
                                  "of the pixel limit, and 16 MiB)"
                                : "not a PNG or JFIF JPEG image, and the stream goes on past the %llu bytes a TGA "
                                  "image with its header can take",
                            static_cast<unsigned long long>(most));
            return false;
        }
        if (footer_only && s.length > head_bytes + footer_bytes) {
            memmove(s.kept.get() + head_bytes, s.kept.get() + s.length - footer_bytes, footer_bytes);
            s.length = head_bytes + footer_bytes;
        }
    }
    if (n < 0)
        record_errno(errno);
    return n == 0;
}

// Reads a stream that cannot seek, from the descriptor in s.
bool read_stream(source &s, found_image *found)
{
    const wanted what = found->what;
    s.keep = true;
    FILE *stream = open_source(s);
    if (!stream)
        return false;
    const int format = probe(stream); // TGA's probe cannot look at the end
    if (format == IMAGE_FORMAT_PNG || (format == IMAGE_FORMAT_JPEG && what == wanted::header)) {
        s.keep = false;
        if (what == wanted::header)
            s.most = segment_bytes;
        if (hand_to_codec(stream, format, found))
            return true;
        // Stopped at `most`: said in place of what the codec made of a
        // stream cut there; what it printed stays printed.
        if (s.stopped)
            (image_error_printed() ? set_printed_image_error : set_image_error)(
                "the stream goes on past the %llu bytes read for the headers of a %s image",
                static_cast<unsigned long long>(s.most), format == IMAGE_FORMAT_PNG ? "PNG" : "JPEG");
        return false;
    }
    // The most of a JPEG file held: four bytes a pixel of the largest image
    // the limit lets through (of 65535 x 65535 without a limit), more than
    // any real file of such an image takes, and the segments around it.
    const uint64_t limit = get_image_max_pixels(), largest = uint64_t(65535) * 65535;
    uint64_t most = 4 * (limit == 0 ? largest : std::min(limit, largest)) + segment_bytes, pixels = 0;
    const bool tga = format != IMAGE_FORMAT_JPEG;
    if (tga)
        (void)tga_size_bound(stream, &most, &pixels);
    fclose(stream);

    if (!read_rest(s, format, most, tga && (what == wanted::header || (limit != 0 && pixels > limit))))
        return false;
    if (s.length == 0) {
        set_image_error("the file is empty");
        return false;
    }
    // An image above the limit, from its header and footer alone, fails as
    // the reader fails it, with the header's own faults or with the limit.
    return read_memory(s.bytes, s.length, found);
}

// Reads from the descriptor as it stands, from its position on.
bool read_fd(int fd, found_image *found)
{
    source s;
    s.fd = fd;
    s.start = lseek64(fd, 0, SEEK_CUR);
    if (s.start < 0 && errno == ESPIPE)
        return read_stream(s, found);
    // Its end, where it can tell (much of /proc cannot). A regular file's
    // is its size: the position is never moved, as other threads of the
    // caller may be reading the descriptor from it too (a load between the
    // two seeks below would start at the end, and put the position back
    // there). Anything else is looked at with a seek, and put back.
    if (s.start < 0) {
        record_errno(errno);
        return false;
    }
    struct stat st;
    off64_t end;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        end = st.st_size;
    } else {
        end = lseek64(fd, 0, SEEK_END);
        if (lseek64(fd, s.start, SEEK_SET) < 0) {
            record_errno(errno);
            return false;
        }
    }
    s.end = end < 0 ? -1 : std::max<int64_t>(end - s.start, 0);
    return read_seekable(s, found);
}

// Opens path and reads the image, or its header, from it.
bool read_path(const char *path, found_image *found)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        print_message("Image loading error: could not open file %s\n", path);
        set_printed_image_error("%s", errno_text(error));
        return false;
    }
    const bool read = read_fd(fd, found);
    close(fd);
    return read;
}

// One call of the C interface: `read` of what is wanted under the name of its
// source, with the reason of a failure recorded, and what is found put where
// the caller wants it (null: nowhere). False when it fails (less one, it is
// image_info's 0 or -1).
template <typename Read>
bool call(const char *name, wanted what, Read read, uint32_t *width, uint32_t *height, unsigned int *format,
          uint32_t **pixels = nullptr)
{
    error_scope scope(name);
    uint32_t spare_width, spare_height, *spare_pixels;
    unsigned int spare_format;
    found_image found = {what, width ? width : &spare_width, height ? height : &spare_height,
                         format ? format : &spare_format, pixels ? pixels : &spare_pixels};
    if (read(&found))
        return true;
    if (!image_error_recorded()) // every reader records its reasons: only a safety net
        set_image_error("could not be read");
    return false;
}

// The name of a descriptor in reasons: "fd N".
struct fd_name {
    char text[24];
    explicit fd_name(int fd) { snprintf(text, sizeof text, "fd %d", fd); }
};

} // namespace

extern "C" uint32_t *load_image(const char *path, uint32_t *width, uint32_t *height)
{
    uint32_t *pixels = nullptr;
    call(path, wanted::pixels, [=](found_image *f) { return read_path(path, f); }, width, height, nullptr, &pixels);
    return pixels;
}

extern "C" uint32_t *load_image_fd(int fd, uint32_t *width, uint32_t *height)
{
    uint32_t *pixels = nullptr;
    call(fd_name(fd).text, wanted::pixels, [=](found_image *f) { return read_fd(fd, f); }, width, height, nullptr,
         &pixels);
    return pixels;
}

extern "C" uint32_t *load_image_memory(const void *data, size_t size, uint32_t *width, uint32_t *height)
{
    uint32_t *pixels = nullptr;
    call("memory", wanted::pixels, [=](found_image *f) { return read_memory(data, size, f); }, width, height,
         nullptr, &pixels);
    return pixels;
}

extern "C" int image_info(const char *path, uint32_t *width, uint32_t *height, unsigned int *format)
{
    return call(path, wanted::header, [=](found_image *f) { return read_path(path, f); }, width, height, format) - 1;
}

extern "C" int image_info_fd(int fd, uint32_t *width, uint32_t *height, unsigned int *format)
{
    return call(fd_name(fd).text, wanted::header, [=](found_image *f) { return read_fd(fd, f); }, width, height,
                format) - 1;
}

extern "C" int image_info_memory(const void *data, size_t size, uint32_t *width, uint32_t *height,
                                 unsigned int *format)
{
    return call("memory", wanted::header, [=](found_image *f) { return read_memory(data, size, f); }, width, height,
                format) - 1;
}

extern "C" void free_image(uint32_t *pixels)
{
    free(pixels);
}
