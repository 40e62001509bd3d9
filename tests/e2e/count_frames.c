/* count_frames.c - preloaded into the demo, counts the frames it presents:
   each SDL_Flip adds one to a 64-bit counter in the file $COUNT_FRAMES names,
   mapped into memory, so that counting costs no system call. The tests wait
   for frames instead of for time: a slow machine draws them later, a fast one
   sooner, and either way the test knows they were drawn. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

typedef struct SDL_Surface SDL_Surface;

static uint64_t *counter;

__attribute__((constructor)) static void map_counter(void)
{
    const char *path = getenv("COUNT_FRAMES");
    const int fd = path ? open(path, O_RDWR | O_CREAT | O_TRUNC, 0644) : -1;
    if (fd < 0)
        return;
    if (ftruncate(fd, sizeof *counter) == 0) {
        void *p = mmap(NULL, sizeof *counter, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED)
            counter = p;
    }
    close(fd);
}

int SDL_Flip(SDL_Surface *screen)
{
    static int (*real)(SDL_Surface *);
    if (!real)
        real = (int (*)(SDL_Surface *))dlsym(RTLD_NEXT, "SDL_Flip");
    const int status = real(screen);
    if (counter)
        __atomic_add_fetch(counter, 1, __ATOMIC_RELEASE);
    return status;
}
