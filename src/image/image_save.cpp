// image_save.cpp - the image library's front end for saving: format-code
// dispatch, and writing a file the user keeps without ever losing it.
#include "image.h"

#include "image_base.h"
#include "image_jpg.h"
#include "image_png.h"
#include "image_tga.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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
    print_message("Image saving error: could not open file %s for writing\n", path);
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

int save(const char *path, const uint32_t *pixels, uint32_t width, uint32_t height, unsigned int format)
{
    // The format is checked before anything is opened, so a bad code can never
    // cost the caller an existing file.
    const writer_fn writer = writer_for(format);
    if (!writer) {
        print_message("Image saving error: error saving %s, invalid format specification", path);
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
        if (!image_error_recorded())
            set_image_error("could not be written");
        return -1;
    }
    clear_image_error();
    return 0;
}

