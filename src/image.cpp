// image.cpp - the image library's front end: content probes, codec dispatch,
// buffer release, format-code dispatch for saving, the save flags and the
// pixel limit.
#include "image.h"

#include "image_jpg.h"
#include "image_limits.h"
#include "image_png.h"
#include "image_tga.h"

#include <cerrno>
#include <climits>
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

void report_open_failure(const char *path)
{
    fprintf(stderr, "Image saving error: could not open file %s for writing\n", path);
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
        static unsigned counter = 0;
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
            close(fd);
            unlink(temp_name.c_str());
        }
        return stream;
    }
    return nullptr;
}

// The stream's buffer while a file loads. stdio's own is 4 KiB, and libpng
// asks for each 8 KiB data chunk in pieces around it: a photo of a few
// megabytes cost over a thousand reads. The codecs close the stream before
// they return, so the buffer is released after them.
const size_t stream_buffer_bytes = size_t(64) << 10;

uint32_t *load_stream(FILE *stream, uint32_t *width, uint32_t *height)
{
    // Strongest magic first; TGA, recognised only by its footer, comes last.
    if (check_png(stream))
        return load_png(stream, width, height);
    if (check_jpeg(stream))
        return load_jpeg(stream, width, height);
    if (check_tga(stream))
        return load_tga(stream, width, height);
    fclose(stream);
    return nullptr;
}

} // namespace

extern "C" uint32_t *load_image(const char *path, uint32_t *width, uint32_t *height)
{
    FILE *stream = fopen(path, "rb");
    if (!stream) {
        fprintf(stderr, "Image loading error: could not open file %s\n", path);
        return nullptr;
    }
    // Without the buffer the load still works, on stdio's own.
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[stream_buffer_bytes]);
    if (buffer)
        setvbuf(stream, buffer.get(), _IOFBF, stream_buffer_bytes);
    return load_stream(stream, width, height);
}

extern "C" void free_image(uint32_t *pixels)
{
    free(pixels);
}

extern "C" int save_image(const char *path, const uint32_t *pixels, uint32_t width,
                          uint32_t height, unsigned int format)
{
    // The format is checked before anything is opened, so a bad code can never
    // cost the caller an existing file.
    const writer_fn writer = writer_for(format);
    if (!writer) {
        fprintf(stderr, "Image saving error: error saving %s, invalid format specification", path);
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
            report_open_failure(path);
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
        // A writable file in a folder we cannot create files in can still be
        // overwritten in place; the user asked for exactly that.
        if (exists && access(target.c_str(), W_OK) == 0 && (stream = fopen(target.c_str(), "wb")))
            return writer(stream, pixels, width, height);
        report_open_failure(path);
        return -1;
    }
    if (writer(stream, pixels, width, height) != 0) {
        unlink(temp_name.c_str());
        return -1;
    }
    if (rename(temp_name.c_str(), target.c_str()) != 0) {
        unlink(temp_name.c_str());
        report_open_failure(path);
        return -1;
    }
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
    return false;
}
