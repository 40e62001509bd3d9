/* refuse_x.c - preloaded into the demo, refuses its first REFUSE_X_COUNT
   connections to the X server, as a server does while it resets after its
   last client has left. Later connections go through to libX11. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>

typedef struct _XDisplay Display;

Display *XOpenDisplay(const char *name)
{
    static long refused;
    const char *count = getenv("REFUSE_X_COUNT");
    if (refused < (count ? atol(count) : 1)) {
        ++refused;
        return NULL;
    }
    /* SDL's libX11 was loaded with SDL, out of RTLD_NEXT's sight. */
    void *x11 = dlopen("libX11.so.6", RTLD_LAZY | RTLD_NOLOAD);
    Display *(*real)(const char *) = x11 ? (Display * (*)(const char *)) dlsym(x11, "XOpenDisplay") : NULL;
    return real ? real(name) : NULL;
}
