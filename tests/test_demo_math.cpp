// test_demo_math.cpp - the demo's arithmetic, to the last bit: brightening,
// vector decoding, the specular light map, the sub-ray table and the caustic
// pass with its bounds.
#include "test.h"

#include "drag_event.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <set>
#include <utility>
#include <vector>

namespace {

uint32_t rgb(uint32_t r, uint32_t g, uint32_t b) { return 0xFF000000u | r << 16 | g << 8 | b; }

// Grey level the light map gives one colour.
uint32_t grey_of(uint32_t pixel)
{
    make_light_map(&pixel, 1, 1);
    EXPECT_EQ(pixel >> 24, 0xFFu);
    EXPECT_EQ(pixel & 0xFFu, (pixel >> 8) & 0xFFu);
    EXPECT_EQ(pixel & 0xFFu, (pixel >> 16) & 0xFFu);
    return pixel & 0xFFu;
}

// ---- Brightening -----------------------------------------------------------

TEST(add_color, brightens_towards_orange_and_forces_alpha)
{
    EXPECT_EQ(add_color(0xFF000000u), 0xFFFF0A05u);
    EXPECT_EQ(add_color(0x00000000u), 0xFFFF0A05u); // transparent black too
    EXPECT_EQ(add_color(0x7F123456u), 0xFFFF3E5Bu); // red always ends at 255
}

TEST(add_color, clamps_each_channel_at_its_own_step)
{
    EXPECT_EQ(add_color(rgb(0, 246, 251)), 0xFFFFFFFFu);
    EXPECT_EQ(add_color(rgb(0, 245, 250)), 0xFFFFFFFFu); // exactly 255, no carry
    EXPECT_EQ(add_color(rgb(0, 244, 249)), rgb(255, 254, 254));
    // From black, green saturates after 26 steps and blue after 51.
    uint32_t p = 0;
    for (int step = 1; step <= 51; ++step) {
        p = add_color(p);
        if (step == 25) {
            EXPECT_EQ(p, rgb(255, 250, 125));
        } else if (step == 26) {
            EXPECT_EQ(p, rgb(255, 255, 130));
        } else if (step == 50) {
            EXPECT_EQ(p, rgb(255, 255, 250));
        }
    }
    EXPECT_EQ(p, 0xFFFFFFFFu);
}

// ---- Vector helpers --------------------------------------------------------

TEST(vector_helpers, unpack_decodes_each_channel_ignoring_alpha)
{
    float x, y, z;
    unpack_vec(0x00808080u, &x, &y, &z);
    EXPECT_EQ(x, 0.0f); EXPECT_EQ(y, 0.0f); EXPECT_EQ(z, 0.0f);
    unpack_vec(0xFF000000u, &x, &y, &z);
    EXPECT_EQ(x, -1.0f); EXPECT_EQ(y, -1.0f); EXPECT_EQ(z, -1.0f);
    unpack_vec(0x12FFFFFFu, &x, &y, &z);
    EXPECT_EQ(x, 0.9921875f); EXPECT_EQ(y, 0.9921875f); EXPECT_EQ(z, 0.9921875f);
    unpack_vec(0xFF400081u, &x, &y, &z); // channels kept apart: red, green, blue
    EXPECT_EQ(x, -0.5f); EXPECT_EQ(y, -1.0f); EXPECT_EQ(z, 0.0078125f);
}

TEST(vector_helpers, dot_sums_the_first_two_products_first)
{
    EXPECT_EQ(dot(1, 0, 0, -0.3250576f, 0.3250576f, 0.88807386f), static_cast<double>(-0.3250576f));
    // 1 + 1e16 rounds to 1e16 in double, so the grouping shows: (1 + 1e16) - 1e16.
    EXPECT_EQ(dot(1, 1e8f, -1e8f, 1, 1e8f, 1e8f), 0.0);
    EXPECT_EQ(dot(-1e8f, 1e8f, 1, 1e8f, 1e8f, 1), 1.0);
}

TEST(vector_helpers, normalize_stores_floats)
{
    float x = 3, y = 0, z = -4;
    normalize(&x, &y, &z);
    EXPECT_EQ(x, 0.6f); EXPECT_EQ(y, 0.0f); EXPECT_EQ(z, -0.8f);
}

TEST(vector_helpers, frand_scales_one_rand_result_without_rounding_to_float)
{
    srand(1);
    const int r = rand();
    srand(1);
    const double v = frand(0.04f);
    EXPECT_EQ(v, static_cast<double>(0.04f) * r / 2147483648.0);
    srand(1);
    EXPECT_EQ(frand(1.0f), r / 2147483648.0); // 2^-31: the largest result stays below x
    EXPECT_LT(frand(1.0f), 1.0);
}

// ---- Light map -------------------------------------------------------------

TEST(light_map, grey_levels_of_the_known_normals)
{
    EXPECT_EQ(grey_of(rgb(86, 86, 242)), 254u);   // close to the light, not on it
    EXPECT_EQ(grey_of(rgb(169, 169, 14)), 254u);  // its mirror, lit from behind
    EXPECT_EQ(grey_of(rgb(87, 87, 240)), 255u);   // d a hair above 1: clamped
    EXPECT_EQ(grey_of(rgb(169, 169, 16)), 255u);
    EXPECT_EQ(grey_of(rgb(64, 64, 255)), 154u);
    EXPECT_EQ(grey_of(rgb(128, 128, 255)), 0u);   // flat: 27 degrees off the light
    EXPECT_EQ(grey_of(rgb(128, 128, 129)), 0u);   // same direction, shorter
}

TEST(light_map, grey_levels_on_a_rounding_edge)
{
    // Each of these moves by one level if the normal is rounded to floats
    // before the dot product, or if the light's components are taken at
    // double precision instead of as floats.
    EXPECT_EQ(grey_of(0x466FFCu), 72u);
    EXPECT_EQ(grey_of(0x596BEAu), 148u);
    EXPECT_EQ(grey_of(0x5A60E7u), 240u);
    EXPECT_EQ(grey_of(0x5771E8u), 93u);
    EXPECT_EQ(grey_of(0x5659D3u), 168u);
    EXPECT_EQ(grey_of(0xA7AA2Du), 168u);
}

TEST(light_map, zero_normal_becomes_opaque_black_and_alpha_is_ignored)
{
    uint32_t p[3] = {0x00808080u, 0x12808080u, 0x005656F2u};
    make_light_map(p, 3, 1);
    EXPECT_EQ(p[0], 0xFF000000u);
    EXPECT_EQ(p[1], 0xFF000000u);
    EXPECT_EQ(p[2], 0xFFFEFEFEu);
}

TEST(light_map, green_axis_is_inverted)
{
    // (86, 86, 242) faces the light only because its green is read upside down:
    // the same normal with green mirrored about 128 is far from it.
    EXPECT_EQ(grey_of(rgb(86, 170, 242)), 0u);
}

TEST(light_map, empty_map_is_left_alone)
{
    uint32_t p = 0x12345678u;
    make_light_map(&p, 0, 1);
    make_light_map(&p, 1, 0);
    EXPECT_EQ(p, 0x12345678u);
}

TEST(light_map, exactly_ten_of_all_colours_give_full_white)
{
    std::vector<uint32_t> all(1u << 24);
    for (uint32_t c = 0; c < all.size(); ++c)
        all[c] = c;
    make_light_map(all.data(), 4096, 4096);
    std::set<uint32_t> white;
    for (uint32_t c = 0; c < all.size(); ++c) {
        ASSERT_EQ(all[c] >> 24, 0xFFu);
        if (all[c] == 0xFFFFFFFFu)
            white.insert(c);
    }
    const std::set<uint32_t> expected = {
        0x5353FB, 0x5757F0, 0x6262D2, 0x6666C7, 0x7171A9,  // (83, 83, 251) ... (113, 113, 169)
        0xADAD05, 0xA9A910, 0x9E9E2E, 0x9A9A39, 0x8F8F57}; // their mirrors
    EXPECT_EQ(white, expected);
}

// ---- Sub-ray table ---------------------------------------------------------

TEST(sub_rays, table_takes_x_then_y_from_unseeded_rand)
{
    srand(1); // glibc's unseeded sequence is seed 1's
    make_subrays();
    srand(1);
    int differs_if_rounded_early = 0;
    for (int i = 0; i < subray_count; ++i) {
        const double fx = 0.04f * static_cast<double>(rand()) / 2147483648.0;
        const double fy = 0.04f * static_cast<double>(rand()) / 2147483648.0;
        ASSERT_EQ(subray_x[i], static_cast<float>(fx - 0.02f)) << i;
        ASSERT_EQ(subray_y[i], static_cast<float>(fy - 0.02f)) << i;
        ASSERT_GE(subray_x[i], -0.02f);
        ASSERT_LE(subray_x[i], 0.02f);
        differs_if_rounded_early += static_cast<float>(static_cast<float>(fx) - 0.02f) != subray_x[i];
    }
    // The test above would notice frand's value being rounded to float first.
    EXPECT_GT(differs_if_rounded_early, 100);
}

// ---- Caustic pass ----------------------------------------------------------

// A black screen, an offset map and the unseeded sub-ray table.
class caustic : public ::testing::Test {
protected:
    std::vector<uint32_t> screen, map;

    void SetUp() override
    {
        srand(1);
        make_subrays();
        screen.assign(static_cast<size_t>(scrx) * scry, 0xFF000000u);
        ray_x = ray_y = 0.0f;
    }
    void TearDown() override
    {
        offset_map = nullptr;
        oxsz = oysz = 0;
    }

    void use_map(uint32_t w, uint32_t h, uint32_t texel)
    {
        map.assign(static_cast<size_t>(w) * h, texel);
        offset_map = map.data();
        oxsz = w;
        oysz = h;
    }
    // Moves the ray as a left-button drag to (x, y) does.
    static void drag_to(Uint16 x, Uint16 y)
    {
        const SDL_Event e = left_drag_event(x, y);
        handle_event(&e);
    }
    std::set<std::pair<int, int>> lit() const
    {
        std::set<std::pair<int, int>> s;
        for (int y = 0; y < scry; ++y)
            for (int x = 0; x < scrx; ++x)
                if (screen[static_cast<size_t>(y) * scrx + x] != 0xFF000000u)
                    s.insert({x, y});
        return s;
    }
    uint32_t at(int x, int y) const { return screen[static_cast<size_t>(y) * scrx + x]; }
    // A landing point and the neighbours it reaches.
    static std::set<std::pair<int, int>> plus(int x, int y)
    {
        std::set<std::pair<int, int>> s = {{x, y}, {x + 1, y}, {x, y + 1}};
        if (x > 0) s.insert({x - 1, y});
        if (y > 0) s.insert({x, y - 1});
        return s;
    }
};

TEST_F(caustic, zero_offset_lands_on_the_ray_centre_column_as_the_float_rounds_it)
{
    use_map(640, 480, rgb(128, 128, 0));
    drag_to(319, 240);
    caustic_pass(screen.data(), scrx);
    EXPECT_EQ(lit(), plus(318, 240)); // 319/640 rounds down as a float
    EXPECT_EQ(at(318, 240), 0xFFFFFFFFu);

    screen.assign(screen.size(), 0xFF000000u);
    drag_to(320, 479);
    caustic_pass(screen.data(), scrx);
    EXPECT_EQ(lit(), plus(320, 478)); // row 478, and the last row as a neighbour
}

TEST_F(caustic, last_column_and_row_are_never_landing_points)
{
    use_map(640, 480, rgb(128, 128, 0));
    drag_to(639, 100);
    caustic_pass(screen.data(), scrx);
    EXPECT_TRUE(lit().empty());

    // Half a pixel inside each edge, so that only the bound decides.
    use_map(1, 1, rgb(128, 128, 0));
    ray_x = 638.5f / 640, ray_y = 478.5f / 480;
    caustic_pass(screen.data(), scrx);
    EXPECT_EQ(lit(), plus(638, 478));
    screen.assign(screen.size(), 0xFF000000u);
    ray_x = 639.5f / 640, ray_y = 100.5f / 480;
    caustic_pass(screen.data(), scrx);
    EXPECT_TRUE(lit().empty());
    ray_x = 100.5f / 640, ray_y = 479.5f / 480;
    caustic_pass(screen.data(), scrx);
    EXPECT_TRUE(lit().empty());
}

TEST_F(caustic, full_left_offset_lands_from_pointer_column_384_on)
{
    use_map(640, 480, rgb(0, 128, 0));
    drag_to(383, 240);
    caustic_pass(screen.data(), scrx);
    EXPECT_TRUE(lit().empty());
    drag_to(384, 240);
    caustic_pass(screen.data(), scrx);
    EXPECT_EQ(lit(), plus(0, 240)); // column 0: no left neighbour
}

TEST_F(caustic, top_left_landing_has_no_left_or_upper_neighbour)
{
    use_map(1, 1, rgb(128, 128, 0));
    ray_x = 0.5f / 640, ray_y = 0.5f / 480;
    caustic_pass(screen.data(), scrx);
    EXPECT_EQ(lit(), (std::set<std::pair<int, int>>{{0, 0}, {1, 0}, {0, 1}}));
}

TEST_F(caustic, one_texel_map_sends_every_sub_ray_to_one_point)
{
    // Offset (+0.5, -0.25): 0.3 screen widths right, 0.15 heights up.
    use_map(1, 1, rgb(192, 96, 0));
    ray_x = 320.5f / 640, ray_y = 240.5f / 480;
    caustic_pass(screen.data(), scrx);
    EXPECT_EQ(lit(), plus(512, 168));
    EXPECT_EQ(at(512, 168), 0xFFFFFFFFu);
}

TEST_F(caustic, from_the_start_position_619_sub_rays_read_a_texel)
{
    // Each texel the start position can reach (x below 13, y below 10) sends
    // its light to a point of its own, clear of the edges and 18 pixels from
    // the next, so no pixel saturates and every landing adds five steps of
    // green to the screen.
    map.assign(640 * 480, rgb(128, 128, 0));
    for (uint32_t ty = 0; ty < 10; ++ty)
        for (uint32_t tx = 0; tx < 13; ++tx)
            map[ty * 640 + tx] = rgb(130 + 6 * tx, 130 + 8 * ty, 0);
    offset_map = map.data();
    oxsz = 640;
    oysz = 480;
    caustic_pass(screen.data(), scrx);
    uint32_t steps = 0;
    for (uint32_t p : screen) {
        ASSERT_LT((p >> 8) & 0xFF, 250u) << "a pixel saturated";
        steps += ((p >> 8) & 0xFF) / 10;
    }
    EXPECT_EQ(steps, 5u * 619);
}

// The pass as described, one landing after another, each brightening read
// from the screen at that moment.
void reference_pass(uint32_t *screen)
{
    for (int i = 0; i < subray_count; ++i) {
        const long long tx = static_cast<long long>((static_cast<double>(ray_x) + subray_x[i]) * oxsz);
        const long long ty = static_cast<long long>((static_cast<double>(ray_y) + subray_y[i]) * oysz);
        if (tx < 0 || tx >= oxsz || ty < 0 || ty >= oysz)
            continue;
        const uint32_t t = offset_map[ty * oxsz + tx];
        const long long sx = static_cast<long long>(
            (ray_x + (((t >> 16) & 0xFF) / 128.0 - 1) * 0.6) * 640);
        const long long sy = static_cast<long long>((ray_y + (((t >> 8) & 0xFF) / 128.0 - 1) * 0.6) * 480);
        if (sx < 0 || sx > 638 || sy < 0 || sy > 478)
            continue;
        const long long p = sy * 640 + sx;
        screen[p] = add_color(screen[p]);
        if (sx > 0) screen[p - 1] = add_color(screen[p - 1]);
        screen[p + 1] = add_color(screen[p + 1]);
        if (sy > 0) screen[p - 640] = add_color(screen[p - 640]);
        screen[p + 640] = add_color(screen[p + 640]);
    }
}

TEST_F(caustic, same_as_one_landing_after_another_on_random_maps)
{
    // Random offsets, concentrated ones (few distinct texel values, so the
    // light piles up) and maps of odd sizes, from many ray positions.
    unsigned seed = 12345;
    const auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    const uint32_t sizes[][2] = {{640, 480}, {1, 1}, {7, 5}, {1000, 3}, {33, 900}};
    std::vector<uint32_t> background(screen.size());
    for (uint32_t &p : background)
        p = next() & 0xFFFFFFu; // alpha 0: brightening must set it
    for (int round = 0; round < 60; ++round) {
        const uint32_t *size = sizes[round % 5];
        use_map(size[0], size[1], 0);
        const uint32_t spread = round % 3 == 0 ? 256 : round % 3 == 1 ? 24 : 3;
        for (uint32_t &t : map)
            t = rgb(128 + next() % spread - spread / 2, 128 + next() % spread - spread / 2, 0);
        if (round % 4 == 0)
            drag_to(static_cast<Uint16>(next() % 640), static_cast<Uint16>(next() % 480));
        else
            ray_x = (next() % 1200) / 1000.0f - 0.1f, ray_y = (next() % 1200) / 1000.0f - 0.1f;
        std::vector<uint32_t> expected = background;
        reference_pass(expected.data());
        screen = background;
        caustic_pass(screen.data(), scrx);
        ASSERT_EQ(screen, expected) << "round " << round << ", ray " << ray_x << ", " << ray_y;
    }
}

TEST_F(caustic, landings_pile_up_within_a_frame_but_not_across_frames)
{
    std::vector<uint32_t> light(static_cast<size_t>(scrx) * scry, rgb(40, 40, 40));
    nref_map = light.data();
    use_map(1, 1, rgb(128, 128, 0));
    ray_x = 0.25f, ray_y = 0.25f;
    draw_frame(screen.data(), scrx);
    const std::vector<uint32_t> first = screen;
    EXPECT_EQ(at(160, 120), 0xFFFFFFFFu);
    EXPECT_EQ(at(300, 300), rgb(40, 40, 40));
    draw_frame(screen.data(), scrx);
    EXPECT_EQ(screen, first);
    nref_map = nullptr;
}

} // namespace
