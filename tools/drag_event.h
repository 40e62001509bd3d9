// drag_event.h - the mouse-motion event SDL delivers while the left button is
// held, for programs that move the demo's ray through its own event handler.
#ifndef DRAG_EVENT_H
#define DRAG_EVENT_H

#include <SDL.h>

#include <cstring>

inline SDL_Event left_drag_event(Uint16 x, Uint16 y)
{
    SDL_Event e;
    memset(&e, 0, sizeof e);
    e.type = SDL_MOUSEMOTION;
    e.motion.state = SDL_BUTTON_LMASK;
    e.motion.x = x;
    e.motion.y = y;
    return e;
}

#endif
