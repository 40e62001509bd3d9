// test_pixel_rows.cpp - the two ways rows of samples become pixel words, one
// pixel at a time and four at a time through SSSE3 shuffles: the same words
// on random bytes, for every row width from 0 to 67 and every alignment of
// the row in memory, and nothing written past the row's end. The codecs take
// the shuffles wherever the processor has them, so this is where the other
// way runs at all.
#include "pixel_rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

struct conversion {
    const char *name;
    size_t bytes_per_pixel;
    void (*run)(const uint8_t *samples, uint32_t *out, size_t n, bool ssse3);
};

const conversion conversions[] = {
    {"rgb", 3, [](const uint8_t *s, uint32_t *out, size_t n, bool ssse3) { pixel_rows::from_rgb(s, out, n, ssse3); }},
    {"bgr", 3, [](const uint8_t *s, uint32_t *out, size_t n, bool ssse3) { pixel_rows::from_bgr(s, out, n, ssse3); }},
    {"rgba", 4, [](const uint8_t *s, uint32_t *out, size_t n, bool ssse3) {
         std::copy_n(s, n * 4, reinterpret_cast<uint8_t *>(out)); // converted where it lies
         pixel_rows::from_rgba(out, n, ssse3);
     }},
};

// Around each row; its bytes differ, so that a stray shuffle shows too.
const uint32_t untouched = 0x01234567u;

TEST(pixel_rows, both_ways_give_the_same_words_at_every_width_and_alignment)
{
    std::mt19937 random(12345);
    std::vector<bool> ways = {false};
    if (pixel_rows::have_ssse3())
        ways.push_back(true);
    for (const conversion &c : conversions)
        for (size_t n = 0; n <= 67; ++n)
            for (size_t from = 0; from < 16; ++from) // the samples' offset in bytes
                for (size_t to = 0; to < 4; ++to) {  // the words' offset in words
                    // Exactly as long as the row: the sanitizers see any read past it.
                    std::vector<uint8_t> samples(from + n * c.bytes_per_pixel);
                    for (uint8_t &b : samples)
                        b = uint8_t(random());
                    std::vector<uint32_t> words[2];
                    for (bool ssse3 : ways) {
                        std::vector<uint32_t> &out = words[ssse3];
                        out.assign(to + n + 4, untouched);
                        c.run(samples.data() + from, out.data() + to, n, ssse3);
                        std::vector<uint32_t> around = out;
                        std::fill_n(around.begin() + to, n, untouched);
                        EXPECT_EQ(around, std::vector<uint32_t>(around.size(), untouched))
                            << c.name << (ssse3 ? " shuffled, " : ", ") << n << " pixels: written outside the row";
                    }
                    if (ways.size() == 2) {
                        EXPECT_EQ(words[1], words[0])
                            << c.name << ", " << n << " pixels from byte " << from << " into word " << to;
                    }
                    if (testing::Test::HasFailure())
                        return; // the first row that differs says enough
                }
}

} // namespace
