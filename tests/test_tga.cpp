// test_tga.cpp - the TGA codec: the footer probe, the bytes the writer puts
// down under each save flag, what the reader makes of orientation, depth,
// skipped areas, short files and other image types, failed writes, and
// agreement with Pillow and ImageMagick on our files and the public corpus.
#include "image.h"
#include "image_tga.h"
#include "test_util.h"
#include "tga_writer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;
using image = std::vector<uint32_t>;

const std::string type_message = "only true color tga images supported\n";
const std::string depth_message = "only 24 and 32 bit true color tga images supported\n";

FILE *stream_of(const bytes &content)
{
    FILE *f = tmpfile();
    if (!content.empty())
        fwrite(content.data(), 1, content.size(), f);
    rewind(f);
    return f;
}

struct load_result {
    bool ok;
    uint32_t width, height; // left at 0xDEAD when the load fails
    image pixels;
    std::string message;
    std::string reason; // image_error() afterwards
};

// Runs load_tga on the bytes and checks that it closed the stream whatever
// the outcome.
load_result load(const bytes &file)
{
    FILE *f = stream_of(file);
    const int fd = fileno(f);
    load_result r{false, 0xDEAD, 0xDEAD, {}, {}, {}};
    testing::internal::CaptureStderr();
    uint32_t *p = load_tga(f, &r.width, &r.height);
    r.message = testing::internal::GetCapturedStderr();
    r.reason = image_error();
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "stream left open";
    r.ok = p != nullptr;
    if (p)
        r.pixels.assign(p, p + size_t(r.width) * r.height);
    free_image(p);
    return r;
}

// A file name in the test's temporary folder, removed afterwards.
struct temp_path {
    std::string path;
    explicit temp_path(const std::string &name)
        : path(testing::TempDir() + "tga_" + std::to_string(getpid()) + "_" + name)
    {
    }
    ~temp_path() { remove(path.c_str()); }
};

bytes saved(const image &px, uint32_t w, uint32_t h, int flags)
{
    settings_guard keep;
    set_image_save_flags(flags);
    temp_path out("saved.tga");
    EXPECT_EQ(save_tga(fopen(out.path.c_str(), "wb"), px.data(), w, h), 0);
    return read_file(out.path);
}

// Every channel of every pixel differs from its neighbours', alpha included.
image sample(uint32_t w, uint32_t h)
{
    image px(size_t(w) * h);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = uint32_t(i * 2654435761u) ^ uint32_t(i << 3);
    return px;
}

image flipped(const image &px, uint32_t w, uint32_t h)
{
    image out(px.size());
    for (uint32_t y = 0; y < h; ++y)
        std::copy_n(&px[size_t(y) * w], w, &out[size_t(h - 1 - y) * w]);
    return out;
}

const int every_flag_combination[] = {0, IMAGE_SAVE_ALPHA, IMAGE_SAVE_FLIP, IMAGE_SAVE_ALPHA | IMAGE_SAVE_FLIP};

image opaque(image px)
{
    for (auto &p : px)
        p |= 0xFF000000u;
    return px;
}

TEST(tga_probe, accepts_only_the_version_2_footer)
{
    auto probe = [](const bytes &b) {
        FILE *f = stream_of(b);
        const int r = check_tga(f);
        fclose(f);
        return r;
    };
    const bytes good = tga_file({1, 1}, {1, 2, 3});
    EXPECT_EQ(probe(good), 1);
    bytes other_last = good;
    other_last[good.size() - 1] = 'x'; // the terminator is not examined
    EXPECT_EQ(probe(other_last), 1);
    EXPECT_EQ(probe(tga_file({1, 1}, {1, 2, 3}, false)), 0);
    bytes lower = good;
    lower[lower.size() - 3] = 'e';
    EXPECT_EQ(probe(lower), 0);
    EXPECT_EQ(probe(bytes(good.end() - 17, good.end())), 0); // shorter than 18 bytes
    EXPECT_EQ(probe(bytes(good.end() - 18, good.end())), 1);
}

TEST(tga_save, writes_the_header_pixels_and_footer_for_each_flag)
{
    const image px = {0xFF0000FFu, 0x80FF0000u}; // opaque blue, half-transparent red
    auto expect = [](int depth, int descriptor, const bytes &pixels) {
        return tga_file({2, 1, depth, descriptor}, pixels);
    };
    EXPECT_EQ(saved(px, 2, 1, 0), expect(24, 0x20, {0xFF, 0, 0, 0, 0, 0xFF}));
    EXPECT_EQ(saved(px, 2, 1, 0).size(), 50u);
    EXPECT_EQ(saved(px, 2, 1, IMAGE_SAVE_ALPHA), expect(32, 0x28, {0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0x80}));
    EXPECT_EQ(saved(px, 2, 1, IMAGE_SAVE_ALPHA).size(), 52u);
    EXPECT_EQ(saved(px, 2, 1, IMAGE_SAVE_FLIP), expect(24, 0x00, {0xFF, 0, 0, 0, 0, 0xFF}));
    EXPECT_EQ(saved(px, 2, 1, IMAGE_SAVE_ALPHA | IMAGE_SAVE_FLIP),
              expect(32, 0x08, {0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0x80}));
    EXPECT_EQ(saved(px, 2, 1, 2 | 8 | 16), saved(px, 2, 1, 0)); // other bits have no effect
}

TEST(tga_save, round_trips_through_the_front_end_under_each_flag)
{
    // Wide enough that the 24-bit writer converts in more than one block.
    const uint32_t w = 301, h = 67;
    const image px = sample(w, h);
    const std::map<int, image> expected = {
        {0, opaque(px)},
        {IMAGE_SAVE_ALPHA, px},
        {IMAGE_SAVE_FLIP, flipped(opaque(px), w, h)},
        {IMAGE_SAVE_ALPHA | IMAGE_SAVE_FLIP, flipped(px, w, h)},
    };
    temp_path out("round.tga");
    for (const auto &[flags, want] : expected) {
        settings_guard keep;
        set_image_save_flags(flags);
        ASSERT_EQ(save_image(out.path.c_str(), px.data(), w, h, IMAGE_FORMAT_TGA), 0);
        uint32_t lw = 0, lh = 0;
        uint32_t *back = load_image(out.path.c_str(), &lw, &lh);
        ASSERT_NE(back, nullptr) << "flags " << flags;
        EXPECT_EQ(lw, w);
        EXPECT_EQ(lh, h);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), back)) << "flags " << flags;
        free_image(back);
    }
}

// Sides of 0 too: other readers refuse the 44 bytes such a save would write.
TEST(tga_save, sides_from_1_to_65535_are_written_others_refused)
{
    const image row = sample(65536, 1);
    const bytes widest = saved(row, 65535, 1, 0);
    ASSERT_EQ(widest.size(), 18u + 65535 * 3 + 26);
    EXPECT_EQ(widest[12], 0xFF);
    EXPECT_EQ(widest[13], 0xFF);

    temp_path out("big.tga");
    const std::string larger = "tga images cannot be larger than 65535 x 65535 pixels\n";
    const std::string smaller = "tga images cannot be smaller than 1 x 1 pixels\n";
    const struct {
        uint32_t w, h;
        const std::string &message;
    } cases[] = {{65536, 1, larger}, {1, 65536, larger}, {70000, 0, larger},
                 {0, 5, smaller},    {5, 0, smaller},    {0, 0, smaller}};
    for (const auto &c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(save_tga(fopen(out.path.c_str(), "wb"), row.data(), c.w, c.h), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_TRUE(read_file(out.path).empty()) << "nothing is written";
        // Through the front end no file appears at all.
        remove(out.path.c_str());
        testing::internal::CaptureStderr();
        EXPECT_EQ(save_image(out.path.c_str(), row.data(), c.w, c.h, IMAGE_FORMAT_TGA), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_NE(access(out.path.c_str(), F_OK), 0);
    }
}

TEST(tga_save, failed_writes_return_minus_one)
{
    const image small = sample(2, 1), large = sample(640, 480);
    for (int flags : {0, int(IMAGE_SAVE_ALPHA)}) {
        settings_guard keep;
        set_image_save_flags(flags);
        // The small file fails only when flushed, the large one while writing.
        EXPECT_EQ(save_tga(fopen("/dev/full", "wb"), small.data(), 2, 1), -1);
        EXPECT_EQ(save_tga(fopen("/dev/full", "wb"), large.data(), 640, 480), -1);
        EXPECT_EQ(save_image("/dev/full", large.data(), 640, 480, IMAGE_FORMAT_TGA), -1);
    }
}

TEST(tga_save, failed_save_leaves_an_existing_file_alone)
{
    temp_path target("keep.tga");
    const bytes old = tga_file({1, 1}, {1, 2, 3});
    std::ofstream(target.path, std::ios::binary).write(reinterpret_cast<const char *>(old.data()), old.size());

    // A file-size limit makes the disk "full" after 4 KiB for this process only.
    rlimit saved_limit;
    getrlimit(RLIMIT_FSIZE, &saved_limit);
    rlimit small = saved_limit;
    small.rlim_cur = 4096;
    const auto saved_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const image px = sample(100, 100);
    const int result = save_image(target.path.c_str(), px.data(), 100, 100, IMAGE_FORMAT_TGA);
    setrlimit(RLIMIT_FSIZE, &saved_limit);
    signal(SIGXFSZ, saved_handler);

    EXPECT_EQ(result, -1);
    EXPECT_EQ(read_file(target.path), old);
    const std::string stem = std::filesystem::path(target.path).filename();
    for (const auto &entry : std::filesystem::directory_iterator(testing::TempDir()))
        EXPECT_FALSE(entry.path().filename().string().rfind(stem + ".", 0) == 0)
            << "left behind " << entry.path();
}

TEST(tga_load, rows_follow_the_top_first_bit_and_columns_are_never_reversed)
{
    // Two rows of two pixels, stored in file order a b / c d.
    const bytes body = {1, 0, 0, 2, 0, 0, 3, 0, 0, 4, 0, 0};
    const std::map<int, image> expected = {
        {0x20, {0xFF000001, 0xFF000002, 0xFF000003, 0xFF000004}}, // top first
        {0x00, {0xFF000003, 0xFF000004, 0xFF000001, 0xFF000002}}, // bottom first
        {0x30, {0xFF000001, 0xFF000002, 0xFF000003, 0xFF000004}}, // bit 4 (right to left) is not read
        {0x10, {0xFF000003, 0xFF000004, 0xFF000001, 0xFF000002}},
    };
    for (const auto &[descriptor, want] : expected) {
        const load_result r = load(tga_file({2, 2, 24, descriptor}, body));
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.pixels, want) << "descriptor " << descriptor;
    }
}

TEST(tga_load, alpha_bits_alone_set_pixel_size)
{
    const bytes body = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
    struct row {
        int depth, descriptor;
        image want;
    };
    const row rows[] = {
        {32, 0x28, {0x40302010, 0x80706050}},
        {32, 0x20, {0xFF302010, 0xFF605040}}, // no alpha bits: three bytes, whatever the depth
        {24, 0x28, {0x40302010, 0x80706050}}, // alpha bits: four bytes, whatever the depth
        {24, 0x20, {0xFF302010, 0xFF605040}},
        {32, 0x21, {0x40302010, 0x80706050}}, // any non-zero count means alpha
    };
    for (const row &c : rows) {
        const load_result r = load(tga_file({2, 1, c.depth, c.descriptor}, body));
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.pixels, c.want) << "depth " << c.depth << " descriptor " << c.descriptor;
    }
    for (int depth : {8, 15, 16, 0}) {
        const load_result r = load(tga_file({2, 1, depth, 0x21}, body));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.message, depth_message);
    }
}

TEST(tga_load, skips_the_id_and_colour_map)
{
    // ID of 4 bytes and a colour map of 3 entries of 15 bits, each stored in
    // 2 bytes as a 16-bit one is: 6 bytes.
    tga_fields t{1, 1};
    t.id_length = 4;
    t.cmap_type = 1;
    t.cmap_length = 3;
    t.cmap_bits = 15;
    load_result r = load(tga_file(t, {9, 9, 9, 9, 8, 8, 8, 8, 8, 8, 0x11, 0x22, 0x33}));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.pixels, image{0xFF332211});

    t.cmap_type = 0; // the map fields mean nothing without a map
    r = load(tga_file(t, {9, 9, 9, 9, 0x11, 0x22, 0x33}));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.pixels, image{0xFF332211});
}

TEST(tga_load, empty_images_are_refused)
{
    for (auto [w, h] : {std::pair<uint16_t, uint16_t>{0, 0}, {0, 65535}, {65535, 0}}) {
        const load_result r = load(tga_file({w, h}, {1, 2, 3}));
        EXPECT_FALSE(r.ok) << w << " x " << h;
        EXPECT_EQ(r.message, "");
        EXPECT_EQ(r.reason, "tga image has no pixels");
    }
}

TEST(tga_load, short_pixel_data_ends_in_one_padded_pixel_then_zeros)
{
    // The file ends inside the second pixel: its missing bytes are 0xFF.
    load_result r = load(tga_file({3, 1}, {1, 2, 3, 4}, false));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.pixels, (image{0xFF030201, 0xFFFFFF04, 0}));

    // The file ends just before the second pixel.
    r = load(tga_file({3, 1}, {1, 2, 3}, false));
    EXPECT_EQ(r.pixels, (image{0xFF030201, 0xFFFFFFFF, 0}));

    // Bottom-first with alpha: the stored row lands at the bottom, the row
    // above it gets nothing.
    r = load(tga_file({2, 2, 32, 0x08}, {1, 2, 3, 4, 5}, false));
    EXPECT_EQ(r.pixels, (image{0, 0, 0x04030201, 0xFFFFFF05}));

    // A header that promises more than follows reads on into the footer:
    // 8 whole pixels from its first 24 bytes, then ".\0" and one 0xFF.
    r = load(tga_file({10, 1}, {}));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.pixels[0], 0xFF000000u);
    EXPECT_EQ(r.pixels[3], 0xFF455552u); // "RUE" of TRUEVISION
    EXPECT_EQ(r.pixels[8], 0xFFFF002Eu);
    EXPECT_EQ(r.pixels[9], 0u);

    // A header with no pixel data at all.
    r = load(tga_file({1, 1}, {}, false));
    EXPECT_EQ(r.pixels, image{0xFFFFFFFF});
}

// The reader pixel by pixel, as simply as it can be put: the oracle for the
// codec's whole-row reads.
image decode_one_by_one(const bytes &file, const tga_fields &t)
{
    const int bpp = (t.descriptor & 0x0F) ? 4 : 3;
    const bool alpha = bpp == 4, top = t.descriptor & 0x20;
    image px(size_t(t.width) * t.height, 0);
    size_t pos = 18;
    for (size_t k = 0; k < t.height; ++k)
        for (size_t x = 0; x < t.width; ++x) {
            unsigned char b[4] = {0xFF, 0xFF, 0xFF, 0xFF};
            bool ended = false;
            for (int i = 0; i < bpp && i < 4; ++i) {
                if (pos < file.size())
                    b[i] = file[pos++];
                else
                    ended = true;
            }
            const size_t y = top ? k : t.height - 1 - k;
            px[y * t.width + x] =
                uint32_t(alpha ? b[3] : 0xFF) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0];
            if (ended)
                return px;
        }
    return px;
}

TEST(tga_load, every_layout_cut_anywhere_loads_exactly_the_pixels_it_holds)
{
    // The reader takes as many whole rows as fit in 64 KiB at a time: 72 rows
    // of 900 bytes or 54 of 1200, 64800 bytes either way. Cuts land on, just
    // before and just after the edges of the first two blocks.
    const tga_fields kinds[] = {{300, 300, 24, 0x00}, {300, 300, 32, 0x28}, {300, 300, 24, 0x30}, {300, 300, 32, 0x10}};
    for (const tga_fields &t : kinds) {
        const size_t area = size_t(t.width) * t.height * ((t.descriptor & 0x0F) ? 4 : 3);
        bytes body(area);
        for (size_t i = 0; i < area; ++i)
            body[i] = uint8_t(i * 7 + i / 300);
        const size_t block = 64800;
        for (size_t cut : {area, area - 1, block, block - 1, block + 1, 2 * block, 2 * block + 1, size_t(900 * 7 + 2),
                           size_t(0)}) {
            const bytes file = tga_file(t, bytes(body.begin(), body.begin() + cut), false);
            const load_result r = load(file);
            ASSERT_TRUE(r.ok);
            EXPECT_TRUE(r.pixels == decode_one_by_one(file, t))
                << "depth " << t.depth << " descriptor " << t.descriptor << " cut at " << cut;
        }
    }
}

// A stream that says it is `claimed` bytes long but yields only `data`: a
// file that shrinks between the reader's size check and its reads.
struct shrinking_file {
    bytes data;
    size_t claimed, pos = 0;
};

FILE *open_shrinking(const bytes &data, size_t claimed)
{
    cookie_io_functions_t io = {};
    io.read = [](void *c, char *buf, size_t n) -> ssize_t {
        auto *f = static_cast<shrinking_file *>(c);
        const size_t got = f->pos < f->data.size() ? std::min(n, f->data.size() - f->pos) : 0;
        memcpy(buf, f->data.data() + std::min(f->pos, f->data.size()), got);
        f->pos += got;
        return ssize_t(got);
    };
    io.seek = [](void *c, off64_t *offset, int whence) {
        auto *f = static_cast<shrinking_file *>(c);
        const off64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? off64_t(f->pos) : off64_t(f->claimed);
        f->pos = size_t(base + *offset);
        *offset = off64_t(f->pos);
        return 0;
    };
    io.close = [](void *c) {
        delete static_cast<shrinking_file *>(c);
        return 0;
    };
    return fopencookie(new shrinking_file{data, claimed}, "rb", io);
}

// Whether the next block of `size` bytes malloc hands out holds anything but
// zeros past its first 32 bytes (where glibc keeps its own pointers).
bool handed_out_dirty(size_t size)
{
    unsigned char *block = static_cast<unsigned char *>(malloc(size));
    const bool dirty = block && std::any_of(block + 32, block + size, [](unsigned char b) { return b != 0; });
    free(block);
    return dirty;
}

TEST(tga_load, file_shrinking_while_read_gives_zeros_not_stale_memory)
{
    // A pixel buffer of 4 KiB. glibc hands out the block just freed again, so
    // a dirty one is left for it; AddressSanitizer's allocator keeps freed
    // blocks aside instead, but fills the first 4 KiB of each block it hands
    // out. Either way a load that left pixels unwritten would show them.
    const tga_fields t{32, 32, 24, 0x00};
    const size_t buffer = 32 * 32 * 4;
    const bytes file = tga_file(t, {1, 2, 3, 4}, false);
    FILE *f = open_shrinking(file, 18 + 32 * 32 * 3);
    (void)fgetc(f); // the stream's own buffer is allocated now, not below
    void *volatile dirty = malloc(buffer); // volatile: kept though unused
    memset(dirty, 0xAB, buffer);
    free(dirty);
    if (!handed_out_dirty(buffer)) {
        fclose(f);
        GTEST_SKIP() << "this allocator hands out zeroed blocks of " << buffer << " bytes: stale pixels could not show";
    }
    uint32_t w = 0, h = 0;
    uint32_t *p = load_tga(f, &w, &h);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(std::equal(p, p + 32 * 32, load(file).pixels.begin()));
    free_image(p);
}

TEST(tga_load, tiny_file_under_a_large_header_loads_at_no_memory_cost_or_is_refused)
{
    // Short by up to 2^26 pixels: the rest is made up as zeros, at no memory
    // cost up front.
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    FILE *f = stream_of(tga_file({8192, 8192}, {}));
    uint32_t w = 0, h = 0;
    uint32_t *p = load_tga(f, &w, &h);
    getrusage(RUSAGE_SELF, &after);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(w, 8192u);
    EXPECT_EQ(p[8], 0xFFFF002Eu);
    EXPECT_EQ(p[size_t(w) * h - 1], 0u);
#ifndef __SANITIZE_ADDRESS__ // its allocator writes what it hands out
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB";
#endif
    free_image(p);

    // One more row and more than that would be made up: refused.
    const load_result r = load(tga_file({8192, 8193}, {}));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "tga data ends too early for its 8192 x 8193 image\n");
}

TEST(tga_load, short_headers_and_other_types_are_refused)
{
    const bytes full = tga_file({1, 1}, {1, 2, 3});
    for (size_t n : {0, 1, 12, 17}) {
        const load_result r = load(bytes(full.begin(), full.begin() + n));
        EXPECT_FALSE(r.ok) << n << " bytes";
        EXPECT_EQ(r.width, 0xDEADu);
        EXPECT_EQ(r.message, "");
        EXPECT_EQ(r.reason, "the file ends inside the tga header");
    }
    // One message for every other type; the reason says which it is.
    const std::pair<int, const char *> types[] = {
        {0, "tga file holds no image data"},
        {1, "colour-mapped tga images are not supported"},
        {3, "greyscale tga images are not supported"},
        {9, "run-length encoded colour-mapped tga images are not supported"},
        {10, "run-length encoded tga images are not supported"},
        {11, "run-length encoded greyscale tga images are not supported"},
        {32, "only true color tga images supported"},
    };
    for (const auto &[type, reason] : types) {
        tga_fields t{1, 1};
        t.image_type = type;
        const load_result r = load(tga_file(t, {1, 2, 3}));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.message, type_message) << "type " << type;
        EXPECT_EQ(r.reason, reason);
    }
}

// ---- Peers -----------------------------------------------------------------

struct peer_image {
    uint32_t width = 0, height = 0;
    bytes rgba;
};

bool succeeds(const std::string &command)
{
    return system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bytes run(const std::string &command)
{
    bytes out;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buf[65536];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
            out.insert(out.end(), buf, buf + n);
        pclose(p);
    }
    return out;
}

// The distribution's interpreter: the one first on PATH may lack Pillow.
const char pillow_python[] = "/usr/bin/python3";

bool have_pillow() { return succeeds(std::string(pillow_python) + " -c 'import PIL'"); }
bool have_magick() { return succeeds("convert -version") && succeeds("identify -version"); }

// Output of the form "width height\n" followed by the RGBA bytes.
peer_image parse_peer(const bytes &out)
{
    peer_image im;
    const auto nl = std::find(out.begin(), out.end(), '\n');
    if (nl == out.end() || sscanf(std::string(out.begin(), nl).c_str(), "%u %u", &im.width, &im.height) != 2)
        return {};
    im.rgba.assign(nl + 1, out.end());
    return im;
}

peer_image pillow_decode(const std::string &path)
{
    return parse_peer(run(std::string(pillow_python) +
                          " -c 'import sys; from PIL import Image; im = Image.open(sys.argv[1]).convert(\"RGBA\");"
                          " sys.stdout.buffer.write(b\"%d %d\\n\" % im.size + im.tobytes())' '" +
                          path + "' 2>/dev/null"));
}

// ImageMagick keeps a bottom-first file's rows as stored and records the
// origin as the image's orientation; -auto-orient gives the picture as shown.
peer_image magick_decode(const std::string &path)
{
    return parse_peer(run("identify -format '%w %h\\n' '" + path + "' && convert '" + path +
                          "' -auto-orient -depth 8 rgba:- 2>/dev/null"));
}

bytes rgba_of(const uint32_t *px, size_t n)
{
    bytes out;
    for (size_t i = 0; i < n; ++i)
        out.insert(out.end(), {uint8_t(px[i] >> 16), uint8_t(px[i] >> 8), uint8_t(px[i]), uint8_t(px[i] >> 24)});
    return out;
}

TEST(tga_peers, read_our_files_under_each_flag)
{
    const bool pillow = have_pillow(), magick = have_magick();
    if (!pillow && !magick)
        GTEST_SKIP() << "neither Pillow nor ImageMagick is installed";
    const uint32_t w = 37, h = 23;
    const image px = sample(w, h);
    temp_path out("peer.tga");
    for (int flags : every_flag_combination) {
        settings_guard keep;
        set_image_save_flags(flags);
        ASSERT_EQ(save_image(out.path.c_str(), px.data(), w, h, IMAGE_FORMAT_TGA), 0);
        image want = flags & IMAGE_SAVE_ALPHA ? px : opaque(px);
        if (flags & IMAGE_SAVE_FLIP)
            want = flipped(want, w, h);
        const bytes rgba = rgba_of(want.data(), want.size());
        if (pillow) {
            const peer_image p = pillow_decode(out.path);
            EXPECT_EQ(p.width, w);
            EXPECT_EQ(p.height, h);
            EXPECT_TRUE(p.rgba == rgba) << "Pillow, flags " << flags;
        }
        if (magick) {
            const peer_image m = magick_decode(out.path);
            EXPECT_EQ(m.width, w);
            EXPECT_EQ(m.height, h);
            EXPECT_TRUE(m.rgba == rgba) << "ImageMagick, flags " << flags;
        }
    }
}

TEST(tga_peers, corpus_loads_like_pillow_or_is_refused)
{
    const std::string dir = std::string(CORPUS_DIR) + "/tga";
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    if (!have_pillow())
        GTEST_SKIP() << "Pillow is not installed";
    // Uncompressed 24- and 32-bit true colour with a footer.
    const std::set<std::string> loadable = {
        "pillow-common/200x32_rgb_bl_raw.tga",  "pillow-common/200x32_rgba_bl_raw.tga",
        "pillow-common/200x32_rgba_tl_raw.tga", "pillow/tga_id_field.tga",
        "truevision/utc24.tga",                 "truevision/utc32.tga",
    };
    // No footer: not recognised, so refused without a word.
    const std::set<std::string> unrecognised = {
        "pillow/cross_scan_line_truncated.tga", "pillow/p_8.tga",        "magick/200x32_rgb_raw.tga",
        "magick/ubw8_rle.tga",                  "magick/ucm8_rle.tga", "magick/utc32_rle.tga"};
    // Uncompressed true colour at 16 bits a pixel.
    const std::set<std::string> other_depth = {"pillow/rgba16.tga", "truevision/utc16.tga"};

    size_t seen = 0, loaded = 0;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.path().extension() != ".tga")
            continue;
        ++seen;
        const std::string name = std::filesystem::relative(entry.path(), dir).string();
        uint32_t w = 0, h = 0;
        testing::internal::CaptureStderr();
        uint32_t *p = load_image(entry.path().c_str(), &w, &h);
        const std::string message = testing::internal::GetCapturedStderr();
        if (loadable.count(name)) {
            ASSERT_NE(p, nullptr) << name;
            const peer_image ref = pillow_decode(entry.path());
            EXPECT_EQ(w, ref.width) << name;
            EXPECT_EQ(h, ref.height) << name;
            EXPECT_TRUE(rgba_of(p, size_t(w) * h) == ref.rgba) << name;
            ++loaded;
        } else {
            EXPECT_EQ(p, nullptr) << name;
            const std::string want = unrecognised.count(name) ? ""
                                     : other_depth.count(name) ? depth_message
                                                               : type_message;
            EXPECT_EQ(message, want) << name;
        }
        free_image(p);
    }
    EXPECT_EQ(loaded, loadable.size());
    EXPECT_EQ(seen, 49u); // every .tga file the corpus holds
}

// ---- Every type (IMAGE_READ_ANY) -------------------------------------------

// load_image of the file's bytes through a pipe, which cannot seek.
uint32_t *load_piped(const std::string &path, uint32_t *w, uint32_t *h)
{
    FILE *p = popen(("cat '" + path + "'").c_str(), "r");
    uint32_t *px = load_image(("/dev/fd/" + std::to_string(fileno(p))).c_str(), w, h);
    pclose(p);
    return px;
}

// Every TGA file of the corpus in both modes against the reference list
// (made with Pillow), from a file and from a pipe; image_info agrees.
TEST(tga_any, corpus_loads_as_the_reference_list_says)
{
    signal(SIGPIPE, SIG_IGN);
    std::ifstream list(CORPUS_DIR "/../data/tga_reference.txt");
    ASSERT_TRUE(list.good());
    std::map<std::string, int> counts;
    for (std::string line; std::getline(list, line);) {
        std::istringstream in(line);
        const std::vector<std::string> f{std::istream_iterator<std::string>(in), {}};
        const std::string file = std::string(CORPUS_DIR "/") + f.back();
        const bool cut = f[1] == "cut", refused = f[1] == "refused";
        ++counts[f[0] + (refused || cut ? " " + f[1] : " exact")];
        read_flags_scope flags(f[0] == "any" ? IMAGE_READ_ANY : 0);
        uint32_t w = 0, h = 0, iw = 0, ih = 0, pw = 0, ph = 0;
        unsigned format = 99;
        stderr_capture quiet;
        uint32_t *px = load_image(file.c_str(), &w, &h);
        const int info = image_info(file.c_str(), &iw, &ih, &format);
        uint32_t *piped = load_piped(file, &pw, &ph);
        if (refused) {
            EXPECT_EQ(px, nullptr) << line;
            EXPECT_EQ(info, -1) << line;
            EXPECT_EQ(piped, nullptr) << line;
            continue;
        }
        ASSERT_NE(px, nullptr) << line << ": " << image_error();
        ASSERT_NE(piped, nullptr) << line;
        EXPECT_EQ(std::to_string(w) + "x" + std::to_string(h), f[cut ? 3 : 2]) << line;
        EXPECT_EQ(info, 0) << line;
        EXPECT_EQ(std::make_tuple(iw, ih, format), std::make_tuple(w, h, unsigned(IMAGE_FORMAT_TGA))) << line;
        EXPECT_TRUE(std::equal(px, px + size_t(w) * h, piped)) << line;
        if (cut) // the pixels made up here (0) are Pillow's colour index 0
            std::replace(px, px + size_t(w) * h, 0u, uint32_t(std::stoul(f[4], nullptr, 16)));
        EXPECT_EQ(fnv_hex(px, size_t(w) * h), f[cut ? 2 : 1]) << line;
        free_image(px);
        free_image(piped);
    }
    const std::map<std::string, int> want = {
        {"strict exact", 6}, {"strict refused", 43}, {"any exact", 47}, {"any cut", 1}, {"any refused", 1}};
    EXPECT_EQ(counts, want);
}

// What the corpus does not hold: the kinds Pillow cannot read (decided
// here), the ends of packets and data, colour-map indices and faults.
TEST(tga_any, decodes_what_the_corpus_does_not_hold)
{
    read_flags_scope flags(IMAGE_READ_ANY);
    const struct {
        const char *what;
        tga_fields t;
        bytes body;
        image want; // empty: refused for `reason`
        std::string reason = {};
    } cases[] = {
        // 5-bit channels scaled and rounded down; the top bit is no alpha.
        {"15-bit", {3, 1, 15, 0x21, 2}, {0xFF, 0xFF, 0x21, 0x04, 0x89, 0x14}, {0xFFFFFFFF, 0xFF080808, 0xFF29204A}},
        {"24-bit with alpha bits", {2, 1, 24, 0x28, 2}, {1, 2, 3, 4, 5, 6}, {0xFF030201, 0xFF060504}},
        {"a run into the next row", {2, 2, 8, 0x20, 11}, {0x82, 9, 0x00, 7},
         {0xFF090909, 0xFF090909, 0xFF090909, 0xFF070707}},
        {"a run past the image", {1, 1, 24, 0x20, 10}, {0xFF, 1, 2, 3}, {0xFF030201}},
        {"cut in a pixel, right to left", {2, 1, 24, 0x30, 2}, {1, 2, 3, 4}, {0, 0xFF030201}},
        // Colour maps (ID length, map type, length, entry bits, first value):
        // values below the first are black; 32-bit entries carry alpha.
        {"map from 2", {3, 1, 8, 0x20, 1, 0, 1, 2, 24, 2}, {10, 20, 30, 40, 50, 60, 0, 2, 3},
         {0xFF000000, 0xFF1E140A, 0xFF3C3228}},
        {"15-bit map", {1, 1, 8, 0x20, 1, 0, 1, 1, 15, 0}, {0x00, 0x7C, 0}, {0xFFFF0000}},
        {"32-bit map, 16-bit index", {1, 1, 16, 0x20, 9, 0, 1, 2, 32, 0}, {0, 0, 0, 0, 1, 2, 3, 4, 0x80, 1, 0},
         {0x04030201}},
        {"index past the map", {1, 1, 8, 0x20, 1, 0, 1, 2, 24, 0}, {10, 20, 30, 40, 50, 60, 2}, {},
         "tga colour index 2 is past the colour map's 2 entries"},
        {"map cut short", {1, 1, 8, 0x20, 1, 0, 1, 3, 24, 0}, {10, 20, 30}, {},
         "the file ends inside the tga colour map"},
        {"no map", {1, 1, 8, 0x20, 1}, {0}, {}, "tga colour map missing or of an unsupported entry size"},
        {"grey of 24 bits", {1, 1, 24, 0x20, 3}, {1, 2, 3}, {}, "tga image type or depth not supported"},
    };
    for (const auto &c : cases) {
        const load_result r = load(tga_file(c.t, c.body, false));
        EXPECT_EQ(r.pixels, c.want) << c.what;
        EXPECT_EQ(r.ok ? "" : r.reason, c.reason) << c.what;
    }
}

// Without the footer the probe has only the header: in the strict mode it
// takes none, in the other only those a TGA file would have.
TEST(tga_any, probe_takes_footerless_files_by_a_plausible_header_only)
{
    const bytes grey = tga_file({4, 4, 8, 0x20, 3}, bytes(16, 1), false);
    const bytes map = tga_file({4, 4, 8, 0x20, 9, 0, 1, 256, 24}, bytes(784, 1), false);
    const struct {
        const bytes &file;
        int offset, value; // one header byte changed
        bool plausible;
    } cases[] = {
        {grey, 0, 0, true},   {map, 0, 0, true},
        {map, 7, 15, true},   // entries of 15 bits
        {grey, 2, 4, false},  // type 4
        {grey, 16, 24, false}, // grey of 24 bits
        {grey, 12, 0, false}, // width 0
        {grey, 17, 0x60, false}, // interleaving
        {grey, 5, 2, false},  // map length without a map
        {grey, 1, 2, false},  // map type 2
        {map, 1, 0, false},   // mapped without a map
        {map, 7, 8, false},   // entries of 8 bits
        {map, 4, 1, false},   // first value 256, which no 8-bit index reaches
    };
    for (int flags : {0, int(IMAGE_READ_ANY)})
        for (const auto &c : cases) {
            read_flags_scope scope(flags);
            bytes file = c.file;
            file[c.offset] = uint8_t(c.value);
            FILE *f = stream_of(file);
            EXPECT_EQ(check_tga(f), flags && c.plausible) << "flags " << flags << ", byte " << c.offset;
            fclose(f);
        }
}

// A run-length file is bounded by its bytes at 128 pixels a packet: a
// complete one that compresses better than the made-up pixel bound allows
// loads, a few bytes claiming more than that bound are refused before
// anything is allocated, and a file cut short costs no more memory than the
// pages its pixels fill.
TEST(tga_any, run_length_files_cost_what_their_bytes_can_hold)
{
    read_flags_scope flags(IMAGE_READ_ANY);
    const uint16_t width = 8192, height = 8323; // (1 - 1/64) of it is more than 2^26 pixels
    bytes runs;
    for (size_t i = 0; i < size_t(width) * height / 128; ++i)
        runs.insert(runs.end(), {0xFF, uint8_t(i)});
    load_result r = load(tga_file({width, height, 8, 0x20, 11}, runs, false));
    ASSERT_TRUE(r.ok) << r.reason;
    EXPECT_EQ(r.pixels.back(), 0xFF000000u | ((size_t(width) * height / 128 - 1) & 0xFF) * 0x010101u);


    set_image_max_pixels(0);
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    r = load(tga_file({65535, 65535, 32, 0x28, 10}, {0xFF, 1, 2, 3, 4}, false));
    EXPECT_EQ(r.message, "tga data ends too early for its 65535 x 65535 image\n");
    r = load(tga_file({8192, 8192, 32, 0x28, 10}, {0xFF, 1, 2, 3, 4}, false));
    getrusage(RUSAGE_SELF, &after);
    set_image_max_pixels(uint64_t(1) << 29);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.pixels[0], 0x04030201u);
#ifndef __SANITIZE_ADDRESS__ // its allocator writes what it hands out
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB";
#endif
}

// A stream that cannot seek is read for as many bytes as the header's file
// can take: for run-length data 5 a pixel, a raw packet for each.
TEST(tga_any, piped_run_length_files_are_read_to_five_bytes_a_pixel)
{
    read_flags_scope flags(IMAGE_READ_ANY);
    const uint16_t side = 1450; // 4 bytes a pixel and 2 MiB would stop short of the end
    bytes packets;
    for (size_t i = 0; i < size_t(side) * side; ++i)
        packets.insert(packets.end(), {0x00, 1, 2, uint8_t(i), 0xFF});
    temp_path file("packets.tga");
    write_file(file.path, tga_file({side, side, 32, 0x28, 10}, packets, false));
    uint32_t w = 0, h = 0;
    uint32_t *px = load_piped(file.path, &w, &h);
    ASSERT_NE(px, nullptr) << image_error();
    const size_t last = size_t(side) * side - 1;
    EXPECT_EQ(px[last], 0xFF000201u | uint32_t(last & 0xFF) << 16);
    free_image(px);
}

} // namespace
