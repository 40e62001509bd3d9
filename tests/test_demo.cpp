// test_demo.cpp - the demo's event handling and its frame cycle on a surface
// from SDL's dummy video driver.
#include "test.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

SDL_Event motion(uint16_t x, uint16_t y, uint8_t state)
{
    SDL_Event e{};
    e.type = SDL_MOUSEMOTION;
    e.motion.x = x;
    e.motion.y = y;
    e.motion.xrel = 5;
    e.motion.yrel = -5;
    e.motion.state = state;
    return e;
}

SDL_Event key(uint8_t type, SDLKey sym)
{
    SDL_Event e{};
    e.type = type;
    e.key.keysym.sym = sym;
    return e;
}

// A light map of distinct greys and a one-texel offset map with no offset:
// every sub-ray that reads it lands on the ray's centre pixel.
struct demo_maps {
    std::vector<uint32_t> light, texel{0xFF808080u};
    demo_maps() : light(static_cast<size_t>(scrx) * scry)
    {
        for (size_t i = 0; i < light.size(); ++i)
            light[i] = 0xFF000000u | static_cast<uint32_t>(i % 97) * 0x010101u;
        nref_map = light.data();
        nxsz = scrx;
        nysz = scry;
        offset_map = texel.data();
        oxsz = oysz = 1;
    }
};

} // namespace

TEST(events, left_drag_moves_the_ray_to_the_pointer)
{
    ray_x = ray_y = 0;
    SDL_Event e = motion(639, 479, SDL_BUTTON_LMASK);
    EXPECT_EQ(handle_event(&e), -1);
    EXPECT_EQ(ray_x, static_cast<float>(639.0 / 640));
    EXPECT_EQ(ray_y, static_cast<float>(479.0 / 480));
    e = motion(0, 240, SDL_BUTTON_LMASK | SDL_BUTTON_RMASK);
    handle_event(&e);
    EXPECT_EQ(ray_x, 0.0f);
    EXPECT_EQ(ray_y, 0.5f);
}

TEST(events, everything_else_leaves_the_ray_and_the_loop_alone)
{
    ray_x = 0.25f;
    ray_y = 0.75f;
    std::vector<SDL_Event> ignored = {motion(100, 100, 0), motion(100, 100, SDL_BUTTON_RMASK),
                                      motion(100, 100, SDL_BUTTON_MMASK), key(SDL_KEYDOWN, SDLK_a),
                                      key(SDL_KEYDOWN, SDLK_q), key(SDL_KEYUP, SDLK_ESCAPE)};
    SDL_Event button{};
    button.type = SDL_MOUSEBUTTONDOWN;
    button.button.button = SDL_BUTTON_LEFT;
    button.button.x = 10;
    ignored.push_back(button);
    button.type = SDL_MOUSEBUTTONUP;
    ignored.push_back(button);
    SDL_Event active{};
    active.type = SDL_ACTIVEEVENT;
    ignored.push_back(active);
    for (SDL_Event &e : ignored)
        EXPECT_EQ(handle_event(&e), -1) << int(e.type);
    EXPECT_EQ(ray_x, 0.25f);
    EXPECT_EQ(ray_y, 0.75f);
}

TEST(events, escape_and_quit_end_with_status_zero)
{
    SDL_Event e = key(SDL_KEYDOWN, SDLK_ESCAPE);
    EXPECT_EQ(handle_event(&e), 0);
    SDL_Event quit{};
    quit.type = SDL_QUIT;
    EXPECT_EQ(handle_event(&quit), 0);
}

TEST(frame, rows_follow_the_pitch_and_padding_is_left_alone)
{
    demo_maps maps;
    make_subrays();
    ray_x = 0.5f;
    ray_y = 0.5f;
    std::vector<uint32_t> packed(static_cast<size_t>(scrx) * scry);
    draw_frame(packed.data(), scrx);

    const size_t stride = scrx + 13;
    std::vector<uint32_t> padded(stride * scry, 0xDEADBEEFu);
    draw_frame(padded.data(), stride);
    for (int y = 0; y < scry; ++y) {
        for (int x = 0; x < scrx; ++x)
            ASSERT_EQ(padded[y * stride + x], packed[y * scrx + x]) << x << "," << y;
        for (size_t x = scrx; x < stride; ++x)
            ASSERT_EQ(padded[y * stride + x], 0xDEADBEEFu);
    }
    // The centre pixel took every landing and went white; the light map
    // elsewhere was laid down unchanged.
    EXPECT_EQ(packed[240 * scrx + 320], 0xFFFFFFFFu);
    EXPECT_EQ(packed[0], maps.light[0]);
    EXPECT_EQ(packed[100 * scrx + 100], maps.light[100 * scrx + 100]);
}

TEST(frame, redraw_presents_the_frame_on_the_dummy_driver)
{
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0);
    fbsurf = SDL_SetVideoMode(scrx, scry, 32, 0);
    ASSERT_NE(fbsurf, nullptr);
    ASSERT_EQ(fbsurf->format->BitsPerPixel, 32);
    ASSERT_EQ(fbsurf->format->Rmask, 0x00FF0000u);

    demo_maps maps;
    make_subrays();
    ray_x = 0.25f;
    ray_y = 0.75f;
    std::vector<uint32_t> expected(static_cast<size_t>(scrx) * scry);
    draw_frame(expected.data(), scrx);
    // Leftovers of an earlier frame must be covered.
    SDL_FillRect(fbsurf, nullptr, 0x00123456u);
    redraw();
    if (SDL_MUSTLOCK(fbsurf))
        SDL_LockSurface(fbsurf);
    const size_t stride = fbsurf->pitch / 4;
    const uint32_t *pixels = static_cast<const uint32_t *>(fbsurf->pixels);
    int mismatches = 0;
    for (int y = 0; y < scry; ++y)
        for (int x = 0; x < scrx; ++x)
            mismatches += pixels[y * stride + x] != expected[y * scrx + x];
    if (SDL_MUSTLOCK(fbsurf))
        SDL_UnlockSurface(fbsurf);
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(expected[360 * scrx + 160], 0xFFFFFFFFu);
    SDL_Quit();
    fbsurf = nullptr;
}
