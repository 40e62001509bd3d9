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
#include <new>

namespace {

// The process-wide settings. A thread may set one while others load or save:
// each is one atomic word, read once where a call needs it, so a call sees
// either the old value or the new one. Relaxed order is enough, as nothing
// else is published with them.
std::atomic<int> save_flags{0};
std::atomic<int> read_flags{0};
std::atomic<uint64_t> max_pixels{default_max_pixels};

// Who gets the lines the library prints: a handler and its context, one
// atomic word for the pair so that no thread sees half of a change. A pair is
// never changed nor freed once made (a thread may still be calling it): each
// pair set is kept, and setting it again takes the kept one, so that they cost
// a few words for each different pair a program sets. Null: messages off.
struct handler_pair {
    image_message_handler handler; // null in the default pair: print on standard error
    void *context;
    handler_pair *next; // the pair kept before this one
};
handler_pair default_pair = {nullptr, nullptr, nullptr};
std::atomic<handler_pair *> message_handler{&default_pair};
// Pushed onto without a lock: nothing here may throw (as a mutex may) out of
// the C interface, and two threads setting the same new pair at once only
// keep it twice.
std::atomic<handler_pair *> kept_pairs{nullptr};

// What the library keeps for the calling thread, in one plain struct (nothing
// to construct or destroy) so that it can be put aside while a handler runs:
// a handler may call the library, which must not disturb the call it is in.
struct thread_state {
    // Why the thread's last load or save failed, and whether a message for
    // it was handed out.
    char error_text[PATH_MAX + 512];
    bool error_printed;
    bool last_message_handed; // the latest message went to a handler
    // The file the front end is loading or saving on this thread, put at the
    // start of every reason; null outside those calls.
    const char *error_path;
    // The warnings of the load running on this thread, and whether one is
    // running: a load prints the first few, then says how many more there were.
    bool in_load;
    unsigned long warnings;
};
thread_local thread_state state;

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
    char *const error_text = state.error_text;
    char cause[sizeof state.error_text - 64];
    vsnprintf(cause, sizeof cause, format, args);
    const size_t cause_length = strlen(cause);
    size_t used = 0;
    if (state.error_path) {
        put_path(error_text, sizeof state.error_text - 3 - cause_length, state.error_path);
        used = strlen(error_text);
        memcpy(error_text + used, ": ", 2);
        used += 2;
    }
    memcpy(error_text + used, cause, cause_length + 1);
    // With messages off, what would have been printed was not.
    state.error_printed = printed && state.last_message_handed;
}

// Hands the line to the handler set.
void hand_out(int kind, const char *format, va_list args, bool line_break)
{
    const handler_pair *pair = message_handler.load(std::memory_order_acquire);
    if (kind == IMAGE_MESSAGE_ERROR)
        state.last_message_handed = pair != nullptr;
    if (!pair)
        return;
    if (!pair->handler) {
        vfprintf(stderr, format, args);
        if (line_break)
            fputc('\n', stderr);
        return;
    }
    // As long as a reason may be: only a name too long to open fills it.
    char line[sizeof state.error_text];
    vsnprintf(line, sizeof line, format, args);
    const size_t end = strlen(line);
    if (end > 0 && line[end - 1] == '\n')
        line[end - 1] = '\0';
    const thread_state saved = state;
    pair->handler(pair->context, kind, line);
    state = saved;
}

// Every line the library prints goes through here. errno comes back as it
// was: a reason is often recorded from it after the message is printed, and
// neither a standard error that fails (closed) nor a handler's own calls may
// change it.
void print_text(int kind, const char *format, va_list args, bool line_break)
{
    const int error = errno;
    hand_out(kind, format, args, line_break);
    errno = error;
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
    print_text(IMAGE_MESSAGE_ERROR, format, args, true);
    va_end(args);
    va_start(args, format);
    record_error(true, format, args);
    va_end(args);
}

void print_message(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    print_text(IMAGE_MESSAGE_ERROR, format, args, false);
    va_end(args);
}

void print_warning(const char *format, ...)
{
    if (state.in_load && ++state.warnings > max_printed_warnings)
        return;
    va_list args;
    va_start(args, format);
    print_text(IMAGE_MESSAGE_WARNING, format, args, false);
    va_end(args);
}

extern "C" int image_error_printed(void)
{
    return state.error_printed;
}

bool image_error_recorded(void)
{
    return state.error_text[0] != '\0';
}

void clear_image_error(void)
{
    state.error_text[0] = '\0';
    state.error_printed = false;
}

error_scope::error_scope(const char *path)
{
    state.error_path = path;
    state.in_load = true;
    state.warnings = 0;
    state.last_message_handed = false;
    clear_image_error();
}

error_scope::~error_scope()
{
    if (state.warnings > max_printed_warnings) {
        state.in_load = false; // the count is no warning to count
        const unsigned long more = state.warnings - max_printed_warnings;
        print_warning("... and %lu more warning%s\n", more, more == 1 ? "" : "s");
    }
    state.error_path = nullptr;
    state.in_load = false;
    state.warnings = 0;
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
    return state.error_text;
}

extern "C" void set_image_save_flags(int flags)
{
    save_flags.store(flags, std::memory_order_relaxed);
}

extern "C" int get_image_save_flags(void)
{
    return save_flags.load(std::memory_order_relaxed);
}

extern "C" void set_image_read_flags(int flags)
{
    read_flags.store(flags, std::memory_order_relaxed);
}

extern "C" int get_image_read_flags(void)
{
    return read_flags.load(std::memory_order_relaxed);
}

extern "C" void set_image_message_handler(image_message_handler handler, void *context)
{
    handler_pair *pair = handler ? nullptr : &default_pair;
    for (handler_pair *kept = kept_pairs.load(std::memory_order_acquire); kept && !pair; kept = kept->next)
        if (kept->handler == handler && kept->context == context)
            pair = kept;
    if (!pair && (pair = new (std::nothrow) handler_pair{handler, context, nullptr})) {
        pair->next = kept_pairs.load(std::memory_order_relaxed);
        while (!kept_pairs.compare_exchange_weak(pair->next, pair, std::memory_order_release,
                                                 std::memory_order_relaxed)) {
        }
    }
    if (pair) // without memory for a new pair, the handler set before stays
        message_handler.store(pair, std::memory_order_release);
}

extern "C" void set_image_messages(int on)
{
    // On again is the default handler; a handler of the caller's stays.
    handler_pair *off = nullptr;
    if (!on)
        message_handler.store(nullptr, std::memory_order_release);
    else
        message_handler.compare_exchange_strong(off, &default_pair, std::memory_order_acq_rel);
}

extern "C" int get_image_messages(void)
{
    return message_handler.load(std::memory_order_relaxed) != nullptr;
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

size_t pixel_buffer_bytes(uint64_t width, uint64_t height, size_t pixel_bytes)
{
    // Both sides are below 2^32, so the count cannot wrap.
    const uint64_t count = width * height;
    return count == 0 || count > SIZE_MAX / pixel_bytes ? 0 : size_t(count * pixel_bytes);
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
