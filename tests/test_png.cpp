// test_png.cpp - the PNG reader: which images it takes, their exact pixels,
// its failures, and the public conformance images.
#include "image.h"
#include "png_writer.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

namespace {

int channels_of(int color_type)
{
    switch (color_type) {
    case PNG_COLOR_TYPE_RGB: return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA: return 4;
    case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
    default: return 1;
    }
}

// A sample value that differs across position and channel, so that swapped
// channels or rows show.
int sample(uint32_t x, uint32_t y, int c, int bit_depth)
{
    const int v = static_cast<int>(x * 37 + y * 91 + c * 53 + 7);
    return bit_depth == 16 ? (v * 257 + c * 3) & 0xFFFF : v & 0xFF;
}

// The image whose samples are sample(), cut to the depth (and to the palette's
// four entries).
void write_sample_png(const std::string &path, const png_layout &s)
{
    const int ch = channels_of(s.color_type), bytes = s.bit_depth == 16 ? 2 : 1;
    ASSERT_TRUE(write_png(path, s, [&](uint32_t y, png_byte *row) {
        for (uint32_t x = 0; x < s.width; ++x)
            for (int c = 0; c < ch; ++c) {
                int v = sample(x, y, c, s.bit_depth);
                if (s.bit_depth < 8)
                    v &= (1 << s.bit_depth) - 1;
                else if (s.color_type == PNG_COLOR_TYPE_PALETTE)
                    v &= 3;
                png_byte *p = row + (x * ch + c) * bytes;
                if (bytes == 2) {
                    p[0] = static_cast<png_byte>(v >> 8);
                    p[1] = static_cast<png_byte>(v);
                } else {
                    p[0] = static_cast<png_byte>(v);
                }
            }
    }));
}

uint32_t expected_pixel(const png_layout &s, uint32_t x, uint32_t y)
{
    auto at = [&](int c) -> uint32_t {
        const int v = sample(x, y, c, s.bit_depth);
        // 16-bit samples come back scaled to 8 bits with rounding.
        return s.bit_depth == 16 ? static_cast<uint32_t>((v * 255L + 32767) / 65535) : static_cast<uint32_t>(v);
    };
    const uint32_t a = s.color_type == PNG_COLOR_TYPE_RGB_ALPHA ? at(3) : 0xFF;
    return a << 24 | at(0) << 16 | at(1) << 8 | at(2);
}

void expect_loads_as_written(const png_layout &s, const std::string &name = "image.png")
{
    scratch_dir dir;
    write_sample_png(dir.file(name), s);
    uint32_t w = 0, h = 0;
    stderr_capture err;
    uint32_t *pixels = load_image(dir.file(name).c_str(), &w, &h);
    EXPECT_EQ(err.text(), "");
    ASSERT_NE(pixels, nullptr);
    ASSERT_EQ(w, s.width);
    ASSERT_EQ(h, s.height);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            ASSERT_EQ(pixels[y * w + x], expected_pixel(s, x, y)) << "at " << x << "," << y;
    free_image(pixels);
}

} // namespace

TEST(png_reading, rgb_is_opaque_with_channels_in_place)
{
    png_layout s;
    s.width = 17;
    s.height = 5;
    expect_loads_as_written(s);
}

TEST(png_reading, rgba_keeps_alpha_exactly)
{
    png_layout s;
    s.color_type = PNG_COLOR_TYPE_RGB_ALPHA;
    s.width = 9;
    s.height = 4;
    expect_loads_as_written(s);
}

TEST(png_reading, interlaced_images_are_deinterlaced)
{
    for (int type : {PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA}) {
        png_layout s;
        s.color_type = type;
        s.width = 13;
        s.height = 11;
        s.interlace = PNG_INTERLACE_ADAM7;
        expect_loads_as_written(s);
    }
}

TEST(png_reading, sixteen_bit_samples_are_scaled_to_eight)
{
    for (int type : {PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA}) {
        png_layout s;
        s.color_type = type;
        s.bit_depth = 16;
        s.width = 7;
        expect_loads_as_written(s);
    }
}

TEST(png_reading, transparency_chunk_is_ignored)
{
    png_color_16 trans{}; // pixel (0, 0)'s colour
    trans.red = static_cast<png_uint_16>(sample(0, 0, 0, 8));
    trans.green = static_cast<png_uint_16>(sample(0, 0, 1, 8));
    trans.blue = static_cast<png_uint_16>(sample(0, 0, 2, 8));
    png_layout s;
    s.trns = &trans;
    expect_loads_as_written(s);
}

TEST(png_reading, content_not_name_decides)
{
    png_layout s;
    expect_loads_as_written(s, "really_a_png.tga");
    expect_loads_as_written(s, "no_extension");
}

TEST(png_reading, one_pixel_and_one_row)
{
    png_layout s;
    s.width = s.height = 1;
    expect_loads_as_written(s);
    s.width = 300;
    expect_loads_as_written(s);
}

TEST(png_refusal, grey_and_palette_images_fail_without_a_message_but_with_a_reason)
{
    const struct {
        int type, depth;
        const char *kind;
    } cases[] = {{PNG_COLOR_TYPE_GRAY, 8, "grey"}, {PNG_COLOR_TYPE_GRAY, 1, "grey"},
                 {PNG_COLOR_TYPE_GRAY_ALPHA, 8, "grey and alpha"}, {PNG_COLOR_TYPE_PALETTE, 8, "palette"},
                 {PNG_COLOR_TYPE_PALETTE, 2, "palette"}};
    scratch_dir dir;
    const int fds = open_fd_count();
    for (const auto &c : cases) {
        png_layout s;
        s.color_type = c.type;
        s.bit_depth = c.depth;
        write_sample_png(dir.file("x.png"), s);
        uint32_t w, h;
        stderr_capture err;
        EXPECT_EQ(load_image(dir.file("x.png").c_str(), &w, &h), nullptr) << c.type << "/" << c.depth;
        EXPECT_EQ(err.text(), "");
        EXPECT_EQ(image_error(), dir.file("x.png") + ": " + c.kind + " PNG images are not supported");
    }
    EXPECT_EQ(open_fd_count(), fds);
}

TEST(png_refusal, files_shorter_than_the_signature_are_not_png)
{
    scratch_dir dir;
    const unsigned char sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    for (size_t n = 0; n < 8; ++n) {
        write_file(dir.file("short"), std::vector<unsigned char>(sig, sig + n));
        uint32_t w, h;
        stderr_capture err;
        EXPECT_EQ(load_image(dir.file("short").c_str(), &w, &h), nullptr);
        EXPECT_EQ(err.text(), "") << n << " bytes";
    }
}

TEST(png_refusal, corrupt_and_truncated_data_fail_with_libpngs_message_as_the_reason)
{
    png_layout s;
    s.width = 64;
    s.height = 64;
    scratch_dir dir;
    write_sample_png(dir.file("good.png"), s);
    const std::vector<unsigned char> good = read_file(dir.file("good.png"));

    std::map<std::string, std::vector<unsigned char>> bad;
    bad["signature only"] = std::vector<unsigned char>(good.begin(), good.begin() + 8);
    bad["cut in the header"] = std::vector<unsigned char>(good.begin(), good.begin() + 20);
    bad["cut in the data"] = std::vector<unsigned char>(good.begin(), good.begin() + good.size() / 2);
    bad["bad header checksum"] = good;
    bad["bad header checksum"][29] ^= 0xFF;
    bad["zero width"] = good;
    bad["zero width"][16] = bad["zero width"][17] = bad["zero width"][18] = bad["zero width"][19] = 0;
    // Damage after the last row is found only by reading on to the end chunk.
    bad["bad end checksum"] = good;
    bad["bad end checksum"].back() ^= 0xFF;
    bad["no end chunk"] = std::vector<unsigned char>(good.begin(), good.end() - 12);

    const int fds = open_fd_count();
    for (const auto &[what, bytes] : bad) {
        write_file(dir.file("bad.png"), bytes);
        uint32_t w, h;
        stderr_capture err;
        EXPECT_EQ(load_image(dir.file("bad.png").c_str(), &w, &h), nullptr) << what;
        const std::string text = err.text();
        EXPECT_NE(text.find("libpng error"), std::string::npos) << what << ": " << text;
        // The reason names the file and gives libpng's message, and for a
        // file cut short says so.
        const std::string message = text.substr(text.rfind("libpng error: ") + 14);
        const std::string reason = image_error();
        EXPECT_EQ(reason.rfind(dir.file("bad.png") + ": " + message.substr(0, message.size() - 1), 0), 0u)
            << what << ": " << reason;
        if (message == "Read Error\n") {
            EXPECT_EQ(reason, dir.file("bad.png") + ": Read Error: the file ends too early");
        }
    }
    EXPECT_EQ(open_fd_count(), fds);
}

// Every file of the public suites in both read modes against the pixels an
// independent decoder gives: tests/data/make_png_reference.py writes the list
// with Pillow, saying where and why it parts from Pillow's own pixels. What a
// mode refuses fails with its reason, or with libpng's message for the data
// libpng, the ground truth, rejects (laxer decoders may not); image_info
// agrees with the load.
TEST(png_corpus, every_file_matches_the_reference_decoder_in_both_read_modes)
{
    std::ifstream list(TEST_DATA_DIR "/png_reference.txt");
    ASSERT_TRUE(list.good());
    int files = 0, loaded[2] = {0, 0};
    for (std::string line; std::getline(list, line); ++files) {
        std::istringstream in(line);
        std::string path, size, expected[2];
        in >> path >> size >> expected[0] >> expected[1];
        const std::string file = CORPUS_DIR "/" + path;
        for (int any : {0, 1}) {
            read_flags_scope set(any ? IMAGE_READ_ANY : 0);
            const std::string &e = expected[any];
            uint32_t w = 0, h = 0, info_w = 0, info_h = 0;
            unsigned int format;
            stderr_capture err;
            uint32_t *pixels = load_image(file.c_str(), &w, &h);
            const std::string reason = image_error();
            const int info = image_info(file.c_str(), &info_w, &info_h, &format);
            const std::string text = err.text();
            if (e == "refused") {
                EXPECT_EQ(pixels, nullptr) << path;
                EXPECT_NE(text.find("libpng error"), std::string::npos) << path;
            } else if (e.size() != 16) { // a colour type the strict mode refuses
                std::string kind = e;
                std::replace(kind.begin(), kind.end(), '_', ' ');
                EXPECT_EQ(pixels, nullptr) << path;
                EXPECT_EQ(reason, file + ": " + kind + " PNG images are not supported");
                EXPECT_EQ(text, "") << path;
                EXPECT_EQ(info, -1) << path;
                EXPECT_EQ(image_error(), reason);
            } else {
                ASSERT_NE(pixels, nullptr) << path << " " << any << ": " << reason;
                EXPECT_EQ(std::to_string(w) + "x" + std::to_string(h), size) << path;
                EXPECT_EQ(info, 0) << path << ": " << image_error();
                EXPECT_TRUE(info_w == w && info_h == h) << path;
                EXPECT_EQ(fnv_hex(pixels, static_cast<size_t>(w) * h), e) << path << (any ? " (any)" : " (strict)");
                ++loaded[any];
            }
            free_image(pixels);
        }
    }
    EXPECT_EQ(files, 377); // every PNG file of the corpus
    EXPECT_EQ(loaded[0], 91); // the RGB and RGBA ones libpng reads
    EXPECT_EQ(loaded[1], 347); // all that libpng reads
}

// libpng's whole-image reader, png_read_png, left to its own defaults but for
// the output the library promises (blue first, 16-bit samples scaled to 8),
// then each row copied into words: what the loader must give, pixel for pixel
// and message for message.
struct whole_image_read {
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::vector<uint32_t> pixels;
    uint32_t width = 0, height = 0;
};

bool read_with_png_read_png(FILE *f, whole_image_read &r)
{
    if (setjmp(png_jmpbuf(r.png)))
        return false;
    png_init_io(r.png, f);
    png_read_png(r.png, r.info, PNG_TRANSFORM_BGR | PNG_TRANSFORM_SCALE_16, nullptr);
    const int type = png_get_color_type(r.png, r.info);
    if (type != PNG_COLOR_TYPE_RGB && type != PNG_COLOR_TYPE_RGB_ALPHA)
        return false;
    r.width = png_get_image_width(r.png, r.info);
    r.height = png_get_image_height(r.png, r.info);
    png_bytepp rows = png_get_rows(r.png, r.info);
    for (uint32_t y = 0; y < r.height; ++y)
        for (uint32_t x = 0; x < r.width; ++x) {
            const png_byte *p = rows[y] + (type == PNG_COLOR_TYPE_RGB ? 3 : 4) * size_t(x);
            const uint32_t alpha = type == PNG_COLOR_TYPE_RGB ? 0xFF : p[3];
            r.pixels.push_back(alpha << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]);
        }
    return true;
}

// Every RGB and RGBA file of the public suites, whatever its depth,
// interlacing or damage, loads exactly as png_read_png reads it, or fails with
// the same messages; the grey and palette ones, by the colour type the
// manifest records from their bytes, fail without one; none leaves a
// descriptor open.
TEST(png_corpus, every_file_loads_as_png_read_png_reads_it)
{
    std::ifstream manifest(CORPUS_DIR "/manifest.tsv");
    ASSERT_TRUE(manifest.good());
    const int fds = open_fd_count();
    int seen = 0, loaded = 0, refused = 0;
    for (std::string line; std::getline(manifest, line);) {
        std::vector<std::string> f;
        std::istringstream in(line);
        for (std::string field; std::getline(in, field, '\t');)
            f.push_back(field);
        if (f.size() < 12 || f[2] != "png")
            continue;
        const std::string path = CORPUS_DIR "/" + f[0];
        const std::string &type = f[11];

        whole_image_read expected;
        std::string expected_text;
        bool expected_ok = false;
        if (type == "0" || type == "3" || type == "4") {
            ++refused;
        } else {
            stderr_capture err;
            FILE *file = fopen(path.c_str(), "rb");
            ASSERT_NE(file, nullptr) << f[0];
            expected.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
            expected.info = png_create_info_struct(expected.png);
            expected_ok = read_with_png_read_png(file, expected);
            png_destroy_read_struct(&expected.png, &expected.info, nullptr);
            fclose(file);
            expected_text = err.text();
        }

        uint32_t w = 0, h = 0;
        stderr_capture err;
        uint32_t *pixels = load_image(path.c_str(), &w, &h);
        EXPECT_EQ(err.text(), expected_text) << f[0];
        EXPECT_EQ(pixels != nullptr, expected_ok) << f[0];
        if (pixels && expected_ok) {
            EXPECT_EQ(w, expected.width) << f[0];
            EXPECT_EQ(h, expected.height) << f[0];
            if (w == expected.width && h == expected.height) {
                EXPECT_EQ(memcmp(pixels, expected.pixels.data(), size_t(w) * h * 4), 0) << f[0];
            }
            ++loaded;
        }
        free_image(pixels);
        ++seen;
    }
    EXPECT_EQ(seen, 377); // every PNG file of the corpus
    EXPECT_EQ(refused, 280); // 110 grey, 21 grey and alpha, 149 palette
    EXPECT_GT(loaded, 50);
    EXPECT_EQ(open_fd_count(), fds);
}
