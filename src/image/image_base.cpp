// image_base.cpp - the image library's base: the process-wide settings, the
// per-thread record of why the last load or save failed, and the helpers the
// codecs and the front end share.
#include "image_base.h"

#include "image.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstring>

namespace {

// The process-wide settings. A thread may set one while others load or save:
// each is one atomic word, read once where a call needs it, so a call sees
// either the old value or the new one. Relaxed order is enough, as nothing
// else is published with them.
std::atomic<int> save_flags{0};
std::atomic<int> read_flags{0};
// Whether the library prints anything at all (set_image_messages).
std::atomic<bool> messages_on{true};
std::atomic<uint64_t> max_pixels{default_max_pixels};

int relaxed(const std::atomic<int> &setting)
{
    return setting.load(std::memory_order_relaxed);
}

// Why the calling thread's last load or save failed, and whether the library
// printed a message for it. Plain arrays and scalars: a thread has nothing to
// construct or destroy for them.
thread_local char error_text[PATH_MAX + 512];
thread_local bool error_printed = false;
// The file the front end is loading or saving on this thread, put at the
// start of every reason; null outside those calls.
thread_local const char *error_path = nullptr;

// The warnings of the load running on this thread, and whether one is running:
// a load prints the first few, then says how many more there were.
thread_local bool in_load = false;
thread_local unsigned long warnings = 0;

// Copies `path` into `out`, which has room for `room` characters (more than
// 3) and the closing zero. A longer path keeps its start and its end, which
// say the most about which file it is, with "..." between them.
void put_path(char *out, size_t room, const char *path)
{
    const size_t length = strlen(path);
    if (length <= room) {
        memcpy(out, path, length + 1);
        return;
    }
    size_t head = (room - 3) / 2;
    const char *tail = path + length - (room - 3 - head);
    // Neither cut may split a UTF-8 character: each moves to the start of
    // one, past at most the three bytes that can follow a character's first.
    for (int i = 0; i < 3 && head > 0 && continues_character(path[head]); ++i)
        --head;
    for (int i = 0; i < 3 && continues_character(*tail); ++i)
        ++tail;
    memcpy(out, path, head);
    memcpy(out + head, "...", 3);
    memcpy(out + head + 3, tail, strlen(tail) + 1);
}

// The reason is "PATH: CAUSE". The cause is written first, so that however
// long the path, the reason says why: the path gets the room that is left,
// at least 64 characters.
void record_error(bool printed, const char *format, va_list args)
{
    char cause[sizeof error_text - 64];
    vsnprintf(cause, sizeof cause, format, args);
    const size_t cause_length = strlen(cause);
    size_t used = 0;
    if (error_path) {
        put_path(error_text, sizeof error_text - 3 - cause_length, error_path);
        used = strlen(error_text);
        memcpy(error_text + used, ": ", 2);
        used += 2;
    }
    memcpy(error_text + used, cause, cause_length + 1);
    // With messages off, what would have been printed was not.
    error_printed = printed && messages_on.load(std::memory_order_relaxed);
}

// Every line the library prints goes through here, and nothing reaches
// standard error while messages are off.
void print_text(const char *format, va_list args, bool line_break)
{
    if (!messages_on.load(std::memory_order_relaxed))
        return;
    vfprintf(stderr, format, args);
    if (line_break)
        fputc('\n', stderr);
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

void fail_with_message(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    print_text(format, args, true);
    va_end(args);
    va_start(args, format);
    record_error(true, format, args);
    va_end(args);
}

void print_message(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    print_text(format, args, false);
    va_end(args);
}

void print_warning(const char *format, ...)
{
    if (in_load && ++warnings > max_printed_warnings)
        return;
    va_list args;
    va_start(args, format);
    print_text(format, args, false);
    va_end(args);
}

extern "C" int image_error_printed(void)
{
    return error_printed;
}

bool image_error_recorded(void)
{
    return error_text[0] != '\0';
}

void clear_image_error(void)
{
    error_text[0] = '\0';
    error_printed = false;
}

error_scope::error_scope(const char *path)
{
    error_path = path;
    in_load = true;
    warnings = 0;
    clear_image_error();
}

error_scope::~error_scope()
{
    if (warnings > max_printed_warnings) {
        const unsigned long more = warnings - max_printed_warnings;
        print_message("... and %lu more warning%s\n", more, more == 1 ? "" : "s");
    }
    error_path = nullptr;
    in_load = false;
    warnings = 0;
}

const char *errno_text(int error)
{
    if (error == 0)
        return "input/output failed";
    thread_local char buffer[128];
    return strerror_r(error, buffer, sizeof buffer); // the GNU form: returns the text
}

void record_errno(int error)
{
    set_image_error("%s", errno_text(error));
}

extern "C" const char *image_error(void)
{
    return error_text;
}

extern "C" void set_image_save_flags(int flags)
{
    save_flags.store(flags, std::memory_order_relaxed);
}

extern "C" int get_image_save_flags(void)
{
    return relaxed(save_flags);
}

extern "C" void set_image_read_flags(int flags)
{
    read_flags.store(flags, std::memory_order_relaxed);
}

extern "C" int get_image_read_flags(void)
{
    return relaxed(read_flags);
}

extern "C" void set_image_messages(int on)
{
    messages_on.store(on != 0, std::memory_order_relaxed);
}

extern "C" int get_image_messages(void)
{
    return messages_on.load(std::memory_order_relaxed);
}

extern "C" void set_image_max_pixels(uint64_t pixels)
{
    max_pixels.store(pixels, std::memory_order_relaxed);
}

extern "C" uint64_t get_image_max_pixels(void)
{
    return max_pixels.load(std::memory_order_relaxed);
}

bool image_size_allowed(uint64_t width, uint64_t height)
{
    // Both sides are below 2^32, so the product cannot wrap.
    const uint64_t limit = get_image_max_pixels();
    if (limit == 0 || width * height <= limit)
        return true;
    fail_with_message("image of %llu x %llu pixels is larger than the limit of %llu pixels",
                      static_cast<unsigned long long>(width), static_cast<unsigned long long>(height),
                      static_cast<unsigned long long>(limit));
    return false;
}

bool bytes_to_end(FILE *stream, uint64_t *bytes)
{
    const long here = ftell(stream);
    if (here < 0 || fseek(stream, 0, SEEK_END) != 0)
        return false;
    const long end = ftell(stream);
    if (fseek(stream, here, SEEK_SET) != 0 || end < here)
        return false;
    *bytes = static_cast<uint64_t>(end - here);
    return true;
}
