// png_write.cpp - the tools' RGB PNG writer.
#include "png_write.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Why a write failed: the errno of the failed stream operation, else libpng's
// own message.
struct write_state {
    FILE *file;
    int error;
    char message[256];
};

void on_png_error(png_structp png, png_const_charp message)
{
    write_state *state = static_cast<write_state *>(png_get_error_ptr(png));
    snprintf(state->message, sizeof state->message, "%s", message);
    png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

// libpng's own stream writer keeps no errno; a full disk must say so.
void write_data(png_structp png, png_bytep data, png_size_t length)
{
    write_state *state = static_cast<write_state *>(png_get_io_ptr(png));
    if (fwrite(data, 1, length, state->file) != length) {
        state->error = errno;
        png_error(png, "Write Error");
    }
}

void flush_data(png_structp png)
{
    write_state *state = static_cast<write_state *>(png_get_io_ptr(png));
    if (fflush(state->file) != 0) {
        state->error = errno;
        png_error(png, "Write Error");
    }
}

// Kept apart so that the setjmp frame holds no object with a destructor.
bool write_png_stream(write_state *state, int width, int height, const unsigned char *rgb)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, state, on_png_error, on_png_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        if (!png || !info)
            snprintf(state->message, sizeof state->message, "%s", strerror(ENOMEM));
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, state, write_data, flush_data);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y)
        png_write_row(png, rgb + static_cast<size_t>(y) * width * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

} // namespace

bool write_rgb_png(const char *path, int width, int height, const unsigned char *rgb)
{
    write_state state = {fopen(path, "wb"), 0, ""};
    if (!state.file)
        state.error = errno;
    bool ok = state.file && write_png_stream(&state, width, height, rgb);
    // A failed flush is a failed write too: the file would be cut short.
    if (state.file && fclose(state.file) != 0 && ok) {
        state.error = errno;
        ok = false;
    }
    if (!ok)
        fprintf(stderr, "%s: cannot write %s: %s\n", program_invocation_short_name, path,
                state.error ? strerror(state.error) : state.message);
    return ok;
}
