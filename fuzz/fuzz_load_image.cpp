// fuzz_load_image.cpp - fuzz harness: the library's front end on arbitrary
// bytes from every source it reads, each held against the others: a file by
// name, memory, a descriptor partway into a file and a pipe load the same
// pixels or fail for the same reason, and image_info, of the file and of
// memory, agrees with them as far as the headers promise.
//
// An input whose first byte is any_mode is read, without that byte, in the
// IMAGE_READ_ANY mode; any other input is read whole in the strict mode. So
// the seeds, whole files of every format, start in the strict mode, and one
// byte put before any of them reads it in the other.
#include "image.h"

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

const uint8_t any_mode = 0xA1;
const size_t skipped = 7; // bytes before the image in the file read through a descriptor

// What one load or image_info gave.
struct outcome {
    uint32_t *pixels = nullptr;
    bool read = false;
    uint32_t width = 0, height = 0;
    unsigned int format = 0;
    std::string reason; // image_error() less the source's name
};

outcome finish(bool read, const std::string &source)
{
    outcome o;
    o.read = read;
    const std::string reason = image_error();
    if (read != reason.empty() || (!read && reason.compare(0, source.size() + 2, source + ": ") != 0)) {
        fprintf(stderr, "%s: %s the reason \"%s\"\n", source.c_str(), read ? "read, with" : "failed: ", reason.c_str());
        abort(); // a success clears the reason; a failure's names the source
    }
    o.reason = read ? "" : reason.substr(source.size() + 2);
    return o;
}

// A load's outcome: `pixels` of w x h, from `source`.
outcome loaded(uint32_t *pixels, uint32_t w, uint32_t h, const std::string &source)
{
    outcome o = finish(pixels != nullptr, source);
    o.pixels = pixels, o.width = w, o.height = h;
    return o;
}

outcome load_fd(int fd)
{
    uint32_t w = 0, h = 0;
    uint32_t *pixels = load_image_fd(fd, &w, &h);
    return loaded(pixels, w, h, "fd " + std::to_string(fd));
}

// image_info's outcome, from `source`.
outcome headers(int result, uint32_t w, uint32_t h, unsigned int format, const std::string &source)
{
    outcome o = finish(result == 0, source);
    o.width = w, o.height = h, o.format = format;
    return o;
}

void discard(void *, int, const char *) {}

// The same image, or the same failure.
bool same_load(const outcome &a, const outcome &b, bool same_reason = true)
{
    if (a.read != b.read)
        return false;
    if (!a.read)
        return !same_reason || a.reason == b.reason;
    return a.width == b.width && a.height == b.height &&
           memcmp(a.pixels, b.pixels, size_t(a.width) * a.height * 4) == 0;
}

// Aborts, saying which two outcomes disagree and how, unless `agree`.
void require(bool agree, const char *what, const outcome &a, const outcome &b)
{
    if (agree)
        return;
    fprintf(stderr, "%s disagree: %d %ux%u (%s) against %d %ux%u (%s)\n", what, a.read, a.width, a.height,
            a.reason.c_str(), b.read, b.width, b.height, b.reason.c_str());
    abort();
}

void write_all(int fd, const uint8_t *data, size_t size)
{
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            return; // the reader stopped early
        done += size_t(n);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t input_size)
{
    static const std::string path = [] {
        signal(SIGPIPE, SIG_IGN); // for the writer of a pipe whose reader stops early
        const char *dir = getenv("TMPDIR");
        return std::string(dir ? dir : "/tmp") + "/fuzz_load_image." + std::to_string(getpid());
    }();
    const std::string behind_path = path + ".behind";
    const bool any = input_size > 0 && input[0] == any_mode;
    const uint8_t *data = input + any;
    const size_t size = input_size - any;
    // Each input is loaded four times, where a codec's harness loads it once:
    // an eighth of their pixel limit keeps it within their time.
    set_image_max_pixels(uint64_t(1) << 19);
    set_image_read_flags(any ? IMAGE_READ_ANY : 0);
    set_image_message_handler(discard, nullptr); // the messages are made, and go nowhere
    FILE *f = fopen(path.c_str(), "wb");
    FILE *behind = fopen(behind_path.c_str(), "wb");
    if (!f || !behind || (size && fwrite(data, 1, size, f) != size) || fwrite("skipped", 1, skipped, behind) != skipped ||
        (size && fwrite(data, 1, size, behind) != size))
        abort();
    fclose(f);
    fclose(behind);

    uint32_t w = 0, h = 0;
    uint32_t *pixels = load_image(path.c_str(), &w, &h);
    const outcome file = loaded(pixels, w, h, path);
    pixels = load_image_memory(data, size, &w, &h);
    const outcome memory = loaded(pixels, w, h, "memory");
    const int fd = open(behind_path.c_str(), O_RDONLY);
    if (fd < 0 || lseek(fd, skipped, SEEK_SET) != off_t(skipped))
        abort();
    const outcome descriptor = load_fd(fd);
    close(fd);
    int ends[2];
    if (pipe(ends) != 0)
        abort();
    std::thread writer([&] {
        write_all(ends[1], data, size);
        close(ends[1]);
    });
    const outcome piped = load_fd(ends[0]);
    close(ends[0]);
    writer.join();

    unsigned int format = 0;
    int result = image_info(path.c_str(), &w, &h, &format);
    const outcome info = headers(result, w, h, format, path);
    result = image_info_memory(data, size, &w, &h, &format);
    const outcome memory_info = headers(result, w, h, format, "memory");

    // Memory names no file ("the data is empty" where a file "is empty").
    require(same_load(file, memory, size != 0), "file and memory", file, memory);
    require(same_load(file, descriptor), "file and descriptor", file, descriptor);
    // A pipe's PNG is read straight from it, without the look at its size
    // that refuses a file too short for the image its header claims early:
    // such a file fails from a pipe too, later and for another reason.
    require(same_load(file, piped, size < 8 || memcmp(data, "\x89PNG", 4) != 0), "file and pipe", file, piped);
    require(info.read == memory_info.read && (info.read || size == 0 || info.reason == memory_info.reason) &&
                (!info.read || (info.width == memory_info.width && info.height == memory_info.height &&
                                info.format == memory_info.format)),
            "image_info of file and memory", info, memory_info);
    // A load gets past the headers exactly where image_info says they are
    // sound, and finds the size they claim.
    require(info.read ? !file.read || (info.width == file.width && info.height == file.height) : !file.read,
            "load and image_info", file, info);
    for (const outcome *o : {&file, &memory, &descriptor, &piped})
        free_image(o->pixels);
    unlink(path.c_str());
    unlink(behind_path.c_str());
    return 0;
}
