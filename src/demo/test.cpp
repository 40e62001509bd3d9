// test.cpp - the caustic demo. A grey specular light map, made once from a
// normal map, is the background of every frame; a ray of 2000 sub-rays, dragged
// with the left mouse button, reads an offset map and piles orange-white light
// up where the offsets send it.
#include "test.h"

#include "image.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

const int scrx = 640;
const int scry = 480;
float ray_radius = 0.02f;
float ray_x = 0.0f, ray_y = 0.0f;
float subray_x[subray_count], subray_y[subray_count];
uint32_t *offset_map = nullptr;
uint32_t oxsz = 0, oysz = 0;
uint32_t *nref_map = nullptr;
uint32_t nxsz = 0, nysz = 0;
SDL_Surface *fbsurf = nullptr;

namespace {

const float rand_scale = 4.656613e-10f;    // 2^-31: rand() to [0, 1)
const float channel_scale = 0.0078125f;    // 1/128: channel c stands for c/128 - 1
const float light_x = -0.3250576f;         // the fixed light direction
const float light_y = 0.3250576f;
const float light_z = 0.88807386f;
const double specular_exponent = 50.0;
const float grey_scale = 255.0f;
const double displacement = 0.6;           // an offset of 1 moves light 0.6 screens

uint32_t channel(uint32_t pixel, int shift) { return (pixel >> shift) & 0xFFu; }

// Real arithmetic here is double; only what the demo stores is rounded to float.
double decode(uint32_t c) { return c * static_cast<double>(channel_scale) - 1.0; }

} // namespace

double frand(float x)
{
    return static_cast<double>(x) * rand() * static_cast<double>(rand_scale);
}

double dot(float a, float b, float c, float e, float f, float g)
{
    return (static_cast<double>(a) * e + static_cast<double>(b) * f) + static_cast<double>(c) * g;
}

void unpack_vec(uint32_t pixel, float *x, float *y, float *z)
{
    *x = static_cast<float>(decode(channel(pixel, 16)));
    *y = static_cast<float>(decode(channel(pixel, 8)));
    *z = static_cast<float>(decode(channel(pixel, 0)));
}

void normalize(float *x, float *y, float *z)
{
    const double len = std::sqrt((static_cast<double>(*x) * *x + static_cast<double>(*y) * *y) +
                                 static_cast<double>(*z) * *z);
    *x = static_cast<float>(*x / len);
    *y = static_cast<float>(*y / len);
    *z = static_cast<float>(*z / len);
}

uint32_t add_color(uint32_t pixel)
{
    uint32_t r = channel(pixel, 16) + 255, g = channel(pixel, 8) + 10, b = channel(pixel, 0) + 5;
    if (r > 255) r = 255;
    if (g > 255) g = 255;
    if (b > 255) b = 255;
    return 0xFF000000u | r << 16 | g << 8 | b;
}

void make_subrays(void)
{
    // x before y, entry by entry: the unseeded rand() sequence then gives the
    // same pattern on every run. Only the difference is rounded to float.
    for (int i = 0; i < subray_count; ++i) {
        subray_x[i] = static_cast<float>(frand(2 * ray_radius) - ray_radius);
        subray_y[i] = static_cast<float>(frand(2 * ray_radius) - ray_radius);
    }
}

void make_light_map(uint32_t *map, uint32_t width, uint32_t height)
{
    const size_t count = static_cast<size_t>(width) * height;
    for (size_t i = 0; i < count; ++i) {
        float fx, fy, fz;
        unpack_vec(map[i], &fx, &fy, &fz);
        // The map's green axis points the other way from the screen's.
        const double x = fx, y = -static_cast<double>(fy), z = fz;
        if (x == 0.0 && y == 0.0 && z == 0.0) {
            // A zero normal has no direction to light: black.
            map[i] = 0xFF000000u;
            continue;
        }
        // Normalised at full precision, unlike normalize(), which stores floats.
        const double len = std::sqrt((x * x + y * y) + z * z);
        const double nx = x / len, ny = y / len, nz = z / len;
        double d = (nx * static_cast<double>(light_x) + ny * static_cast<double>(light_y)) +
                   nz * static_cast<double>(light_z);
        if (d < 0)
            d = -d; // lit from both sides
        const float s = static_cast<float>(std::pow(d, specular_exponent));
        long v = static_cast<long>(static_cast<double>(s) * static_cast<double>(grey_scale));
        if (v > 255)
            v = 255;
        const uint32_t g = static_cast<uint32_t>(v);
        map[i] = 0xFF000000u | g << 16 | g << 8 | g;
    }
}

namespace {

// add_color applied k times (k >= 1): red and alpha end at 255 after the first
// step, green and blue climb by 10 and 5 a step until they clamp.
uint32_t add_color_times(uint32_t pixel, uint32_t k)
{
    uint32_t g = channel(pixel, 8) + 10 * k, b = channel(pixel, 0) + 5 * k;
    if (g > 255) g = 255;
    if (b > 255) b = 255;
    return 0xFFFF0000u | g << 8 | b;
}

// Landings per landing point within one pass, and the points that have any.
// Zero between passes; static so that no frame allocates.
uint16_t landing_count[scrx * scry];
uint32_t landed_at[subray_count];

} // namespace

void caustic_pass(uint32_t *screen, size_t stride)
{
    const double rx = ray_x, ry = ray_y;
    // A landing point depends on the texel's red (column) or green (row) alone,
    // so the 256 possible columns and rows are worked out once a frame, by the
    // same arithmetic as per sub-ray.
    long long land_x[256], land_y[256];
    for (uint32_t c = 0; c < 256; ++c) {
        land_x[c] = static_cast<long long>((rx + decode(c) * displacement) * scrx);
        land_y[c] = static_cast<long long>((ry + decode(c) * displacement) * scry);
    }
    const uint32_t width = oxsz, height = oysz;
    const uint32_t *map = offset_map;

    // Where the light piles up, thousands of brightenings of the same few
    // pixels would each wait for the one before. Brightening only ever adds
    // fixed steps and clamps, so k landings on a point have the same effect
    // in any order as one step of k: count them first, then brighten.
    size_t points = 0;
    for (int i = 0; i < subray_count; ++i) {
        // The sub-ray's own offset only chooses the texel it reads.
        const long long tx = static_cast<long long>((rx + subray_x[i]) * width);
        const long long ty = static_cast<long long>((ry + subray_y[i]) * height);
        if (tx < 0 || tx >= width || ty < 0 || ty >= height)
            continue;
        const uint32_t texel = map[static_cast<size_t>(ty) * width + static_cast<size_t>(tx)];
        const long long sx = land_x[channel(texel, 16)], sy = land_y[channel(texel, 8)];
        // The last column and row are never landing points, only neighbours.
        if (sx < 0 || sx >= scrx - 1 || sy < 0 || sy >= scry - 1)
            continue;
        const uint32_t q = static_cast<uint32_t>(sy * scrx + sx);
        if (landing_count[q]++ == 0)
            landed_at[points++] = q;
    }

    for (size_t j = 0; j < points; ++j) {
        const uint32_t q = landed_at[j], k = landing_count[q];
        landing_count[q] = 0;
        const uint32_t sx = q % scrx, sy = q / scrx;
        uint32_t *p = screen + static_cast<size_t>(sy) * stride + sx;
        p[0] = add_color_times(p[0], k);
        if (sx > 0)
            p[-1] = add_color_times(p[-1], k);
        p[1] = add_color_times(p[1], k);
        if (sy > 0)
            p[-static_cast<ptrdiff_t>(stride)] = add_color_times(p[-static_cast<ptrdiff_t>(stride)], k);
        p[stride] = add_color_times(p[stride], k);
    }
}

void draw_frame(uint32_t *screen, size_t stride)
{
    // Each frame starts from the light map again, erasing the last one's light.
    if (stride == static_cast<size_t>(scrx)) {
        memcpy(screen, nref_map, sizeof(uint32_t) * scrx * scry);
    } else {
        for (int y = 0; y < scry; ++y)
            memcpy(screen + y * stride, nref_map + y * scrx, sizeof(uint32_t) * scrx);
    }
    caustic_pass(screen, stride);
}

int handle_event(const SDL_Event *event)
{
    switch (event->type) {
    case SDL_MOUSEMOTION:
        if (event->motion.state & SDL_BUTTON_LMASK) {
            ray_x = static_cast<float>(static_cast<double>(event->motion.x) / scrx);
            ray_y = static_cast<float>(static_cast<double>(event->motion.y) / scry);
        }
        return -1;
    case SDL_QUIT:
        return 0;
    case SDL_KEYDOWN:
        return event->key.keysym.sym == SDLK_ESCAPE ? 0 : -1;
    default:
        return -1;
    }
}

void redraw(void)
{
    const bool must_lock = SDL_MUSTLOCK(fbsurf);
    if (must_lock)
        SDL_LockSurface(fbsurf);
    draw_frame(static_cast<uint32_t *>(fbsurf->pixels), fbsurf->pitch / sizeof(uint32_t));
    if (must_lock)
        SDL_UnlockSurface(fbsurf);
    SDL_Flip(fbsurf);
}

namespace {

// The library prints most of its failures itself; for the rest it only
// records the reason, which is said here, so that every failed start says why.
void tell_load_failure(void)
{
    if (!image_error_printed())
        fprintf(stderr, "%s\n", image_error());
}

// The frame cycle writes whole 32-bit words in the library's 0xAARRGGBB layout
// and walks rows by the pitch in words.
bool surface_layout_ok(const SDL_Surface *surface)
{
    const SDL_PixelFormat *f = surface->format;
    return f->BitsPerPixel == 32 && f->BytesPerPixel == 4 && f->Rmask == 0x00FF0000u &&
           f->Gmask == 0x0000FF00u && f->Bmask == 0x000000FFu && surface->w == scrx &&
           surface->h == scry && surface->pitch % 4 == 0 && surface->pitch >= scrx * 4;
}

bool offscreen_driver(void)
{
    char driver[64];
    return SDL_VideoDriverName(driver, sizeof driver) && strcmp(driver, "offscreen") == 0;
}

bool env_set(const char *variable)
{
    const char *value = getenv(variable);
    return value && *value;
}

// Standard error pointed at a scratch file while SDL looks for a display.
struct held_stderr {
    int saved;  // the real standard error, -1 when nothing is held
    FILE *file;
};

held_stderr hold_stderr(void)
{
    held_stderr held = {-1, tmpfile()};
    if (!held.file)
        return held;
    fflush(stderr);
    held.saved = dup(STDERR_FILENO);
    if (held.saved < 0 || dup2(fileno(held.file), STDERR_FILENO) < 0) {
        if (held.saved >= 0)
            close(held.saved);
        fclose(held.file);
        return {-1, nullptr};
    }
    return held;
}

// Puts the real standard error back, and passes on what was said meanwhile
// only if `pass`.
void release_stderr(held_stderr held, bool pass)
{
    if (!held.file)
        return;
    fflush(stderr);
    dup2(held.saved, STDERR_FILENO);
    close(held.saved);
    if (pass) {
        rewind(held.file);
        char text[4096];
        size_t n;
        while ((n = fread(text, 1, sizeof text, held.file)) > 0)
            fwrite(text, 1, n, stderr);
    }
    fclose(held.file);
}

// Starts SDL's video (first with SDL_Init, whose result is not examined, then
// again with SDL_InitSubSystem) and tells whether it found a display. SDL
// tries its drivers in turn, and one that finds nothing may say so on its way
// out: its Wayland driver asks libwayland to connect, which prints "error:
// XDG_RUNTIME_DIR is invalid or not set in the environment." wherever no
// Wayland session set that variable, under every failed start and every retry
// below. So standard error is held meanwhile: a start that finds a display
// passes on what was said, one that finds none is told by the demo's own line.
bool start_video(bool first)
{
    const held_stderr held = hold_stderr();
    if (first)
        SDL_Init(SDL_INIT_VIDEO);
    else
        SDL_InitSubSystem(SDL_INIT_VIDEO);
    const bool found = !offscreen_driver();
    release_stderr(held, found);
    return found;
}

// An X server resets itself when its last client disconnects and refuses
// connections for a moment while it does; a display that has just answered a
// probe can be in that moment as the demo starts. SDL then passes over its
// X11 driver without a word and settles for the invisible "offscreen" one
// (SDL_GetError keeps only the last refusal before it, KMSDRM's "devindex (-2)
// must not be negative"). So while a display is named and the user has not
// chosen a driver, the video subsystem is started again a few times, about
// three seconds in all, before the display counts as absent.
bool reach_display(void)
{
    static const Uint32 pause_ms[] = {50, 100, 200, 400, 500, 500, 500, 500};
    const bool retry = (env_set("DISPLAY") || env_set("WAYLAND_DISPLAY")) && !env_set("SDL_VIDEODRIVER");
    for (size_t attempt = 0; !start_video(attempt == 0); ++attempt) {
        if (!retry || attempt == sizeof pause_ms / sizeof pause_ms[0])
            return false;
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        SDL_Delay(pause_ms[attempt]);
    }
    return true;
}

} // namespace

int run_demo(void)
{
    make_subrays(); // first of all: the table takes rand()'s first 4000 results

    // With no display reachable, SDL falls back to an invisible offscreen
    // driver and the demo would run forever with nothing to show.
    if (!reach_display()) {
        fputs("No display available: the demo needs an X or Wayland display (set DISPLAY)\n", stderr);
        SDL_Quit();
        return 1;
    }
    SDL_WM_SetCaption("Caustic demo", nullptr); // before the window exists: no untitled moment
    fbsurf = SDL_SetVideoMode(scrx, scry, 32, 0);
    if (!fbsurf) {
        fprintf(stderr, "Could not set the 640 x 480 video mode: %s\n", SDL_GetError());
        return 1;
    }
    if (!surface_layout_ok(fbsurf)) {
        fprintf(stderr, "The screen surface is not 640 x 480 with 32-bit 0xAARRGGBB pixels (got %d bits, masks %08X %08X %08X)\n",
                fbsurf->format->BitsPerPixel, fbsurf->format->Rmask, fbsurf->format->Gmask,
                fbsurf->format->Bmask);
        SDL_Quit();
        return 1;
    }

    offset_map = load_image("out.png", &oxsz, &oysz);
    if (!offset_map) {
        tell_load_failure();
        SDL_Quit();
        return 1;
    }
    nref_map = load_image("normal.png", &nxsz, &nysz);
    if (!nref_map) {
        tell_load_failure();
        SDL_Quit();
        return 1;
    }
    // Every frame copies 640 x 480 pixels out of the light map.
    if (nxsz != static_cast<uint32_t>(scrx) || nysz != static_cast<uint32_t>(scry)) {
        fprintf(stderr, "normal.png is %u x %u pixels; the normal map must be 640 x 480\n", nxsz, nysz);
        SDL_Quit();
        return 1;
    }
    make_light_map(nref_map, nxsz, nysz);

    for (;;) {
        SDL_Event event;
        if (!SDL_PollEvent(&event)) {
            redraw();
            continue;
        }
        const int status = handle_event(&event);
        if (status >= 0) {
            SDL_Quit();
            return status;
        }
    }
}
