// bench_frame.cpp - the demo's hot path and its start-up cost, on the default
// maps: one frame's drawing work (background copy plus caustic pass) against a
// plain copy of the same 307,200 words, and the light map of a 640 x 480 map.
// Also counts every allocation made while frames are drawn. Prints medians
// and ratios, all measured in the same run.
//
// Usage: bench_frame [MAP_DIRECTORY] [benchmark options]
// (default: the maps caustic-make-maps wrote into the build tree)
#include "test.h"

#include "drag_event.h"

#include "image.h"

#include "load_bench.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

// ---- Counting allocator ----------------------------------------------------
// Every allocation in the process passes through here, C++ and C alike
// (glibc's own entry points stay reachable under their __libc_ names), so
// whatever the drawing code or a library under it allocates is counted.

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *__libc_memalign(size_t, size_t);
extern "C" void __libc_free(void *);

namespace {
unsigned long allocations = 0;
}

extern "C" void *malloc(size_t n)
{
    ++allocations;
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t size)
{
    ++allocations;
    return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, size_t n)
{
    ++allocations;
    return __libc_realloc(p, n);
}
extern "C" void free(void *p) { __libc_free(p); }
extern "C" int posix_memalign(void **out, size_t align, size_t n)
{
    ++allocations;
    *out = __libc_memalign(align, n);
    return *out ? 0 : ENOMEM;
}
extern "C" void *aligned_alloc(size_t align, size_t n)
{
    ++allocations;
    return __libc_memalign(align, n);
}

void *operator new(size_t n)
{
    if (void *p = malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](size_t n) { return operator new(n); }
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }

namespace {

std::vector<uint32_t> normal_map;           // the normal map as loaded
std::vector<uint32_t> screen(640 * 480);
std::vector<uint32_t> light_scratch(640 * 480);

// The ray where a user drags it first: the middle of the screen.
void place_ray()
{
    const SDL_Event motion = left_drag_event(320, 240);
    handle_event(&motion);
}

void plain_copy()
{
    memcpy(screen.data(), nref_map, sizeof(uint32_t) * 640 * 480);
    benchmark::DoNotOptimize(screen.data());
    benchmark::ClobberMemory();
}

void one_frame()
{
    draw_frame(screen.data(), 640);
    benchmark::DoNotOptimize(screen.data());
    benchmark::ClobberMemory();
}

// The light map is made in place, so each run starts from a fresh copy of
// the normal map (a plain copy's cost, about 1 % of the light map's).
void light_map()
{
    light_scratch = normal_map;
    make_light_map(light_scratch.data(), 640, 480);
    benchmark::DoNotOptimize(light_scratch.data());
}

// Loads the maps as the demo does and checks that a frame shows a caustic
// before anything is timed.
bool set_up(const std::string &dir)
{
    make_subrays();
    const unsigned long at_start = allocations;
    offset_map = load_image((dir + "/out.png").c_str(), &oxsz, &oysz);
    nref_map = load_image((dir + "/normal.png").c_str(), &nxsz, &nysz);
    // Shows the counter sees allocations made inside libraries too.
    printf("allocations while loading the two maps: %lu\n", allocations - at_start);
    if (!offset_map || !nref_map || nxsz != 640 || nysz != 480) {
        fprintf(stderr, "bench_frame: needs out.png and a 640 x 480 normal.png in %s\n", dir.c_str());
        return false;
    }
    normal_map.assign(nref_map, nref_map + 640 * 480);
    make_light_map(nref_map, nxsz, nysz);
    place_ray();

    draw_frame(screen.data(), 640);
    size_t lit = 0;
    for (size_t i = 0; i < screen.size(); ++i)
        lit += screen[i] != nref_map[i];
    if (lit == 0) {
        fprintf(stderr, "bench_frame: the frame shows no caustic; nothing worth timing\n");
        return false;
    }
    printf("frame checked: the caustic brightens %zu pixels\n", lit);

    const unsigned long before = allocations;
    for (int i = 0; i < 1000; ++i)
        draw_frame(screen.data(), 640);
    printf("allocations in 1000 frames: %lu\n\n", allocations - before);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::string dir = BENCH_MAPS_DIR;
    if (argc > 1 && argv[1][0] != '-') {
        dir = argv[1];
        --argc;
        ++argv;
    }
    if (!set_up(dir))
        return 1;

    const round_collector c =
        run_rounds(argc, argv, {{"copy", plain_copy}, {"frame", one_frame}, {"light", light_map}}, 15);
    printf("\nmedian CPU time; ratio = median of the rounds' ours / baseline, and their range\n");
    ratio_row(c, "frame drawing (background copy + caustic pass)", "frame", "plain copy of 307,200 words", "copy");
    const auto light = c.times.find("light");
    if (light != c.times.end())
        printf("| light map of 640 x 480 (once, at start-up) | %.3f ms | %.1f ns per pixel | | | |\n",
               median_of(light->second) * 1e3, median_of(light->second) * 1e9 / (640 * 480));
    return 0;
}
