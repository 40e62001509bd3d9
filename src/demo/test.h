// test.h - the caustic demo: its state, its arithmetic and its frame cycle.
#ifndef TEST_H
#define TEST_H

#include <SDL.h>

#include <cstddef>
#include <cstdint>

extern const int scrx;       // screen width in pixels
extern const int scry;       // screen height in pixels
extern float ray_radius;     // half the side of the square spot of sub-rays
extern float ray_x, ray_y;   // ray centre, normalised screen coordinates
enum { subray_count = 2000 };
extern float subray_x[subray_count], subray_y[subray_count];
extern uint32_t *offset_map; // "out.png"
extern uint32_t oxsz, oysz;
extern uint32_t *nref_map;   // "normal.png", the light map once started
extern uint32_t nxsz, nysz;
extern SDL_Surface *fbsurf;

// Vector and colour helpers.
double frand(float x);
double dot(float a, float b, float c, float e, float f, float g);
void unpack_vec(uint32_t pixel, float *x, float *y, float *z);
void normalize(float *x, float *y, float *z);
uint32_t add_color(uint32_t pixel);

// Fills the sub-ray table from the next 2 x 2000 results of rand().
void make_subrays(void);
// Turns a normal map, in place, into the grey specular light map.
void make_light_map(uint32_t *map, uint32_t width, uint32_t height);
// Traces the sub-rays from (ray_x, ray_y) through the offset map and brightens
// where they land on a scrx x scry screen whose rows lie `stride` words apart.
void caustic_pass(uint32_t *screen, size_t stride);
// Lays the light map and the caustic over a scrx x scry screen (no locking, no
// presenting): the drawing work of one frame.
void draw_frame(uint32_t *screen, size_t stride);

// Acts on one event. Returns -1 to keep running, else the exit status.
int handle_event(const SDL_Event *event);
// Draws and presents one frame on fbsurf.
void redraw(void);

// The whole program: starts up, runs the frame cycle until the user quits,
// and returns the exit status (0 after a quit, 1 after a failed start).
int run_demo(void);

#endif
