/* bench_flip.c - the floor for the demo's frame rate: the same window, the
 * same event polling and the same 640 x 480 x 32 copy and SDL_Flip, with no
 * drawing work of its own. Runs until it is closed or sent SIGTERM; its
 * frames are counted the same way as the demo's (flip_count.c). */
#include <SDL.h>

#include <stdint.h>
#include <string.h>

static uint32_t background[640 * 480];

int main(void)
{
    for (int i = 0; i < 640 * 480; ++i)
        background[i] = 0xFF000000u | (uint32_t)(i * 2654435761u >> 8 & 0xFFFFFF);
    SDL_Init(SDL_INIT_VIDEO);
    SDL_Surface *screen = SDL_SetVideoMode(640, 480, 32, 0);
    if (!screen)
        return 1;
    for (;;) {
        SDL_Event event;
        if (SDL_PollEvent(&event)) {
            if (event.type == SDL_QUIT ||
                (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE))
                break;
            continue;
        }
        if (SDL_MUSTLOCK(screen))
            SDL_LockSurface(screen);
        for (int y = 0; y < 480; ++y)
            memcpy((uint8_t *)screen->pixels + y * screen->pitch, background + y * 640, 640 * 4);
        if (SDL_MUSTLOCK(screen))
            SDL_UnlockSurface(screen);
        SDL_Flip(screen);
    }
    SDL_Quit();
    return 0;
}
