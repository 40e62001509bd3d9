/* flip_count.c - counts a program's SDL_Flip calls without touching the
 * program: preloaded (LD_PRELOAD), it wraps SDL_Flip and, when the program
 * ends, appends "FRAMES SECONDS" to the file named by FLIP_COUNT_OUT. The
 * first second of frames is left out, so start-up and the window's first
 * mapping do not weigh on the rate.
 * Timing start-up instead: with FLIP_START set to the wall-clock time (in
 * seconds, as bash's EPOCHREALTIME gives it) taken just before the program
 * was executed, the first SDL_Flip appends the seconds since then to the
 * file named by FLIP_START_OUT and ends the program. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <SDL.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static int (*real_flip)(SDL_Surface *);
static double first, counted_from, last;
static long counted;

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

static void report_start_up(void)
{
    const char *start = getenv("FLIP_START"), *path = getenv("FLIP_START_OUT");
    if (!start || !path)
        return;
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    FILE *f = fopen(path, "a");
    if (f) {
        fprintf(f, "%.6f\n", t.tv_sec + t.tv_nsec * 1e-9 - strtod(start, NULL));
        fclose(f);
    }
    _exit(0);
}

int SDL_Flip(SDL_Surface *screen)
{
    if (!real_flip)
        real_flip = (int (*)(SDL_Surface *))dlsym(RTLD_NEXT, "SDL_Flip");
    const int result = real_flip(screen);
    const double t = now();
    if (first == 0) {
        first = t;
        report_start_up();
    }
    if (t - first >= 1.0) {
        if (counted_from == 0)
            counted_from = t; /* the interval starts at this frame's end */
        else
            ++counted;
        last = t;
    }
    return result;
}

__attribute__((destructor)) static void report(void)
{
    const char *path = getenv("FLIP_COUNT_OUT");
    FILE *f = path ? fopen(path, "a") : NULL;
    if (!f)
        return;
    fprintf(f, "%ld %.6f\n", counted, last - counted_from);
    fclose(f);
}
