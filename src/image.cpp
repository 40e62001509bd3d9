// image.cpp - the image library's front end: content probes, codec dispatch,
// buffer release, format-code dispatch for saving, the save flags, the pixel
// limit, and the per-thread record of why the last load or save failed.
#include "image.h"

#include "image_internal.h"
#include "image_jpg.h"
#include "image_limits.h"
#include "image_png.h"
#include "image_tga.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int save_flags = 0;
// 2^29 pixels: a 2 GiB buffer, room for any photograph, and far below what a
// few bytes of header can claim (65535 x 65535 in TGA, 65500 x 65500 in JPEG,
// 2^31 - 1 a side in PNG).
uint64_t max_pixels = uint64_t(1) << 29;

// Why the calling thread's last load or save failed, and whether the library
// printed a message for it. Plain arrays and scalars: a thread has nothing to
// construct or destroy for them.
thread_local char error_text[PATH_MAX + 512];
thread_local bool error_printed = false;
// The file the front end is loading or saving on this thread, put at the
// start of every reason; null outside those calls.
thread_local const char *error_path = nullptr;

void clear_error()
{
    error_text[0] = '\0';
    error_printed = false;
}

void record_error(bool printed, const char *format, va_list args)
{
    size_t used = 0;
    if (error_path) {
        const int n = snprintf(error_text, sizeof error_text, "%s: ", error_path);
        used = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof error_text - 1);
    }
    vsnprintf(error_text + used, sizeof error_text - used, format, args);
    error_printed = printed;
}

// Names the file in the reasons recorded while it lives, and starts the call
// with no reason recorded.
struct error_scope {
    explicit error_scope(const char *path)
    {
        error_path = path;
        clear_error();
    }
    ~error_scope() { error_path = nullptr; }
    error_scope(const error_scope &) = delete;
    error_scope &operator=(const error_scope &) = delete;
};

struct file_closer {
    void operator()(FILE *stream) const { fclose(stream); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

using writer_fn = int (*)(FILE *, const uint32_t *, uint32_t, uint32_t);

writer_fn writer_for(unsigned int format)
{
    switch (format) {
    case IMAGE_FORMAT_PNG: return save_png;
    case IMAGE_FORMAT_JPEG: return save_jpeg;
    case IMAGE_FORMAT_TGA: return save_tga;
    default: return nullptr;
    }
}

// error is the errno value of the open that failed.
void report_open_failure(const char *path, int error)
{
    fprintf(stderr, "Image saving error: could not open file %s for writing\n", path);
    set_printed_image_error("%s", errno_text(error));
}

// Opens a fresh file beside target, named after it, with the mode fopen("wb")
// would have given: the target's own mode when it exists, 0666 less the umask
// otherwise. Returns the stream and its name, or null.
FILE *open_temp_beside(const std::string &target, const struct stat *existing, std::string &temp_name)
{
    const mode_t mode = existing ? (existing->st_mode & 07777) : 0666;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[48];
        // Never rand(): the caller's random sequence is not ours to advance.
        // Atomic, as threads saving beside the same file share it.
        static std::atomic<unsigned> counter{0};
        snprintf(suffix, sizeof suffix, ".%ld.%u.tmp", static_cast<long>(getpid()), counter++);
        temp_name = target + suffix;
        const int fd = open(temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return nullptr;
        }
        // open() applied the umask, as fopen would for a new file; an existing
        // target keeps its own permissions, so copy them over.
        if (existing)
            (void)fchmod(fd, mode);
        FILE *stream = fdopen(fd, "wb");
        if (!stream) {
            const int error = errno;
            close(fd);
            unlink(temp_name.c_str());
            errno = error;
        }
        return stream;
    }
    return nullptr;
}

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

void set_image_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    record_error(false, format, args);
    va_end(args);
}

void set_printed_image_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    record_error(true, format, args);
    va_end(args);
}

const char *errno_text(int error)
{
    if (error == 0)
        return "input/output failed";
    thread_local char buffer[128];
    return strerror_r(error, buffer, sizeof buffer); // the GNU form: returns the text
}

int image_error_printed(void)
{
    return error_printed;
}

extern "C" const char *image_error(void)
{
    return error_text;
}

uint32_t *load_image_format(const char *path, uint32_t *width, uint32_t *height, unsigned int *format)
{
    error_scope scope(path);
    FILE *stream = fopen(path, "rb");
    if (!stream) {
        const int error = errno;
        fprintf(stderr, "Image loading error: could not open file %s\n", path);
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
        if (!error_text[0])
            set_image_error("could not be read");
        return nullptr;
    }
    clear_error();
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

namespace {

int save(const char *path, const uint32_t *pixels, uint32_t width, uint32_t height, unsigned int format)
{
    // The format is checked before anything is opened, so a bad code can never
    // cost the caller an existing file.
    const writer_fn writer = writer_for(format);
    if (!writer) {
        fprintf(stderr, "Image saving error: error saving %s, invalid format specification", path);
        set_printed_image_error("invalid format specification");
        return -1;
    }

    // Resolve a symbolic link, as fopen would follow it, so that the new file
    // replaces the file it points to rather than the link.
    std::string target = path;
    struct stat st;
    const bool exists = stat(path, &st) == 0;
    if (exists) {
        char resolved[PATH_MAX];
        if (realpath(path, resolved))
            target = resolved;
    }

    // Devices, pipes and the like cannot be replaced by renaming: write them
    // directly, as a plain fopen would.
    if (exists && !S_ISREG(st.st_mode)) {
        FILE *stream = fopen(path, "wb");
        if (!stream) {
            report_open_failure(path, errno);
            return -1;
        }
        return writer(stream, pixels, width, height);
    }

    // Write the whole file under a temporary name beside the target and put it
    // in place only once the writer has succeeded: a failed save then leaves
    // an existing file untouched.
    std::string temp_name;
    FILE *stream = open_temp_beside(target, exists ? &st : nullptr, temp_name);
    if (!stream) {
        const int error = errno;
        // A writable file in a folder we cannot create files in can still be
        // overwritten in place; the user asked for exactly that.
        if (exists && access(target.c_str(), W_OK) == 0 && (stream = fopen(target.c_str(), "wb")))
            return writer(stream, pixels, width, height);
        report_open_failure(path, error);
        return -1;
    }
    if (writer(stream, pixels, width, height) != 0) {
        unlink(temp_name.c_str());
        return -1;
    }
    if (rename(temp_name.c_str(), target.c_str()) != 0) {
        const int error = errno;
        unlink(temp_name.c_str());
        report_open_failure(path, error);
        return -1;
    }
    return 0;
}

} // namespace

extern "C" int save_image(const char *path, const uint32_t *pixels, uint32_t width,
                          uint32_t height, unsigned int format)
{
    error_scope scope(path);
    if (save(path, pixels, width, height, format) != 0) {
        // Every writer records its reasons; this is only a safety net.
        if (!error_text[0])
            set_image_error("could not be written");
        return -1;
    }
    clear_error();
    return 0;
}

extern "C" void set_image_save_flags(int flags)
{
    save_flags = flags;
}

extern "C" int get_image_save_flags(void)
{
    return save_flags;
}

extern "C" void set_image_max_pixels(uint64_t pixels)
{
    max_pixels = pixels;
}

extern "C" uint64_t get_image_max_pixels(void)
{
    return max_pixels;
}

bool image_size_allowed(uint64_t width, uint64_t height)
{
    // Both sides are below 2^32, so the product cannot wrap.
    if (max_pixels == 0 || width * height <= max_pixels)
        return true;
    fprintf(stderr, "image of %llu x %llu pixels is larger than the limit of %llu pixels\n",
            static_cast<unsigned long long>(width), static_cast<unsigned long long>(height),
            static_cast<unsigned long long>(max_pixels));
    set_printed_image_error("image of %llu x %llu pixels is larger than the limit of %llu pixels",
                            static_cast<unsigned long long>(width), static_cast<unsigned long long>(height),
                            static_cast<unsigned long long>(max_pixels));
    return false;
}
