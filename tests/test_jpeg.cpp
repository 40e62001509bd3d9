// test_jpeg.cpp - the JPEG codec: probe, decodes held against a plain libjpeg
// decode written here, both decoding routes, bad data that must fail without
// ending the process, and the public corpus.
#include "image.h"
#include "image_base.h"
#include "image_jpg.h"
#include "jpeg_writer.h"
#include "test.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <jpeglib.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<unsigned char>;

// ---- making test files -------------------------------------------------------

struct recipe {
    const char *name;
    int width, height;
    int components;          // 1 grey, 3 colour, 4 CMYK
    int h, v;                // sampling factors of the first component
    bool progressive;
    int restart_rows;        // 0: no restart markers
    bool jfif = true;        // false: an Exif APP1 segment comes first instead
    J_COLOR_SPACE stored = JCS_UNKNOWN; // JCS_YCCK for Adobe's transformed CMYK
};

// A pattern with edges and gradients in every channel, so that sampling and
// channel order mistakes show.
unsigned char sample(int x, int y, int c)
{
    switch (c) {
    case 0: return static_cast<unsigned char>(x * 7 + y * 3);
    case 1: return static_cast<unsigned char>(x * y + 40);
    case 2: return static_cast<unsigned char>((x ^ y) * 5);
    default: return static_cast<unsigned char>(255 - x - y);
    }
}

bytes encode(const recipe &r, const unsigned char *pixels = nullptr)
{
    const J_COLOR_SPACE space = r.components == 1 ? JCS_GRAYSCALE : r.components == 3 ? JCS_RGB : JCS_CMYK;
    const auto configure = [&r](jpeg_compress_struct &c) {
        if (r.stored != JCS_UNKNOWN)
            jpeg_set_colorspace(&c, r.stored);
        c.comp_info[0].h_samp_factor = r.h;
        c.comp_info[0].v_samp_factor = r.v;
        for (int i = 1; i < c.num_components; ++i)
            c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
        if (r.progressive)
            jpeg_simple_progression(&c);
        c.restart_in_rows = r.restart_rows;
        // The library leaves JFIF out of CMYK files; these tests want it in, so
        // that such files get past the probe and reach the decoder.
        c.write_JFIF_header = r.jfif;
    };
    const auto pick = [&r, pixels](int x, int y, int k) {
        return pixels ? pixels[(y * r.width + x) * r.components + k] : sample(x, y, k);
    };
    const auto exif_first = [&r](jpeg_compress_struct &c) {
        if (!r.jfif) {
            static const unsigned char exif[] = "Exif\0\0II*\0\x08\0\0\0\0\0\0\0\0\0";
            jpeg_write_marker(&c, JPEG_APP0 + 1, exif, sizeof exif - 1);
        }
    };
    return compress_jpeg(r.width, r.height, r.components, space, configure, pick, exif_first);
}

// ---- the independent decode --------------------------------------------------

// What a plain libjpeg decode to RGB makes of a file, written without any of
// the codec's code: the pixels, or the library's message if it gave up.
struct reference {
    bool ok = false;
    uint32_t width = 0, height = 0;
    std::vector<uint32_t> pixels;
    std::string printed; // what a load prints: libjpeg's messages, the first few warnings
};

struct recorder {
    jpeg_error_mgr mgr;
    jmp_buf back;
    std::string *printed;
    unsigned long warnings;
};

// Keeps the line the standard manager would print.
void record_message(j_common_ptr cinfo)
{
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    *reinterpret_cast<recorder *>(cinfo->err)->printed += std::string(text) + "\n";
}

// A load prints the first few warnings and counts the rest (image_base.h).
void record_warning(j_common_ptr cinfo, int level)
{
    if (level < 0 && ++reinterpret_cast<recorder *>(cinfo->err)->warnings <= max_printed_warnings)
        record_message(cinfo);
}

void record_and_leave(j_common_ptr cinfo)
{
    record_message(cinfo);
    longjmp(reinterpret_cast<recorder *>(cinfo->err)->back, 1);
}

// Holds the setjmp with nothing that has a destructor; `out` is resized once
// the size is known.
bool plain_decode(j_decompress_ptr d, FILE *f, std::vector<uint32_t> *out, uint32_t *w, uint32_t *h)
{
    if (setjmp(reinterpret_cast<recorder *>(d->err)->back))
        return false;
    jpeg_create_decompress(d);
    jpeg_stdio_src(d, f);
    jpeg_read_header(d, TRUE);
    d->out_color_space = JCS_RGB;
    jpeg_start_decompress(d);
    *w = d->output_width;
    *h = d->output_height;
    out->resize(static_cast<size_t>(*w) * *h);
    // The library's own pool owns the row, so an error cannot leak it.
    JSAMPARRAY row = (*d->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(d), JPOOL_IMAGE, *w * 3, 1);
    while (d->output_scanline < d->output_height) {
        const JDIMENSION y = d->output_scanline;
        jpeg_read_scanlines(d, row, 1);
        const JSAMPLE *p = row[0];
        for (uint32_t x = 0; x < *w; ++x)
            (*out)[y * static_cast<size_t>(*w) + x] =
                0xFF000000u | uint32_t(p[3 * x]) << 16 | uint32_t(p[3 * x + 1]) << 8 | p[3 * x + 2];
    }
    jpeg_finish_decompress(d);
    return true;
}

reference decode_plainly(const std::string &path)
{
    reference ref;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return ref;
    jpeg_decompress_struct d;
    memset(&d, 0, sizeof d);
    recorder rec;
    rec.printed = &ref.printed;
    d.err = jpeg_std_error(&rec.mgr);
    rec.mgr.error_exit = record_and_leave;
    rec.mgr.output_message = record_message;
    rec.mgr.emit_message = record_warning;
    rec.warnings = 0;
    ref.ok = plain_decode(&d, f, &ref.pixels, &ref.width, &ref.height);
    if (rec.warnings > max_printed_warnings) {
        const unsigned long more = rec.warnings - max_printed_warnings;
        ref.printed += "... and " + std::to_string(more) + " more warning" + (more == 1 ? "\n" : "s\n");
    }
    jpeg_destroy_decompress(&d);
    fclose(f);
    return ref;
}

// ---- helpers -----------------------------------------------------------------

struct loaded {
    uint32_t *pixels = nullptr;
    uint32_t width = 0, height = 0;
    std::string err;
};

loaded load_capturing(const std::string &path)
{
    loaded l;
    testing::internal::CaptureStderr();
    l.pixels = load_image(path.c_str(), &l.width, &l.height);
    l.err = testing::internal::GetCapturedStderr();
    return l;
}

using loader = uint32_t *(*)(FILE *, uint32_t *, uint32_t *);

std::vector<uint32_t> load_by(loader fn, const std::string &path, uint32_t *w, uint32_t *h)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return {};
    testing::internal::CaptureStderr(); // warnings of damaged corpus files
    uint32_t *p = fn(f, w, h);
    testing::internal::GetCapturedStderr();
    std::vector<uint32_t> v;
    if (p)
        v.assign(p, p + static_cast<size_t>(*w) * *h);
    free_image(p);
    return v;
}

class jpeg : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/jpeg_tests.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string write(const std::string &name, const bytes &data)
    {
        const std::string path = dir + "/" + name;
        FILE *f = fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f) {
            if (!data.empty())
                fwrite(data.data(), 1, data.size(), f);
            fclose(f);
        }
        return path;
    }

    // Loads path through the front end and expects exactly what the plain
    // decode gives, down to the messages printed.
    void expect_plain_pixels(const std::string &path)
    {
        const reference ref = decode_plainly(path);
        ASSERT_TRUE(ref.ok) << path << ": " << ref.printed;
        loaded l = load_capturing(path);
        ASSERT_NE(l.pixels, nullptr) << path;
        EXPECT_EQ(l.width, ref.width);
        EXPECT_EQ(l.height, ref.height);
        EXPECT_EQ(l.err, ref.printed);
        EXPECT_TRUE(std::equal(ref.pixels.begin(), ref.pixels.end(), l.pixels)) << path;
        free_image(l.pixels);
    }

    std::string dir;
};

const recipe generated[] = {
    {"colour_420", 64, 48, 3, 2, 2, false, 0},
    {"colour_444", 40, 24, 3, 1, 1, false, 0},
    {"colour_422", 40, 24, 3, 2, 1, false, 0},
    {"colour_440", 40, 24, 3, 1, 2, false, 0},
    {"colour_411", 40, 24, 3, 4, 1, false, 0},
    {"grey", 33, 21, 1, 1, 1, false, 0},
    {"progressive", 50, 38, 3, 2, 2, true, 0},
    {"progressive_grey", 50, 38, 1, 1, 1, true, 0},
    {"restart_markers", 70, 50, 3, 2, 2, false, 1},
    {"one_by_one", 1, 1, 3, 2, 2, false, 0},
    {"odd_17x9", 17, 9, 3, 2, 2, false, 0},
    {"odd_17x9_444", 17, 9, 3, 1, 1, false, 0},
};

// ---- probe -------------------------------------------------------------------

TEST_F(jpeg, probe_accepts_only_a_jfif_start)
{
    const bytes jfif = encode(generated[0]);
    bytes exif = encode({"exif", 8, 8, 3, 2, 2, false, 0, false});
    bytes other_length = jfif;
    other_length[4] = 0x7F; // segment length and the "J" are not looked at
    other_length[6] = 'X';
    bytes jfxx = jfif;
    memcpy(&jfxx[6], "JFXX", 4);
    const struct {
        const char *name;
        bytes data;
        int expected;
    } cases[] = {
        {"jfif", jfif, 1},
        {"exif", exif, 0},
        {"loose_fields", other_length, 1},
        {"jfxx", jfxx, 0},
        {"ten_bytes", bytes(jfif.begin(), jfif.begin() + 10), 1},
        {"nine_bytes", bytes(jfif.begin(), jfif.begin() + 9), 0},
        {"empty", bytes(), 0},
    };
    for (const auto &c : cases) {
        const std::string path = write(c.name, c.data);
        FILE *f = fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        // The front end's PNG probe has already read from the stream: the
        // JPEG probe must go back to the start by itself.
        unsigned char skipped[8];
        (void)!fread(skipped, 1, sizeof skipped, f);
        EXPECT_EQ(check_jpeg(f), c.expected) << c.name;
        fclose(f);
    }
}

// ---- decoding ----------------------------------------------------------------

TEST_F(jpeg, generated_files_decode_as_plain_libjpeg_does)
{
    for (const recipe &r : generated) {
        SCOPED_TRACE(r.name);
        expect_plain_pixels(write(std::string(r.name) + ".jpg", encode(r)));
    }
}

TEST_F(jpeg, channels_land_in_their_places)
{
    // Four flat 8 x 8 blocks, red, green, blue and grey, kept nearly exact by
    // 4:4:4 sampling: this catches swapped channels without trusting libjpeg.
    const int w = 32, h = 8;
    const unsigned char colours[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {128, 128, 128}};
    std::vector<unsigned char> rgb(w * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            memcpy(&rgb[(y * w + x) * 3], colours[x / 8], 3);
    const std::string path = write("rgb.jpg", encode({"rgb", w, h, 3, 1, 1, false, 0}, rgb.data()));
    loaded l = load_capturing(path);
    ASSERT_NE(l.pixels, nullptr);
    const uint32_t expected[4] = {0xFFFF0000u, 0xFF00FF00u, 0xFF0000FFu, 0xFF808080u};
    for (int block = 0; block < 4; ++block) {
        const uint32_t p = l.pixels[4 * w + block * 8 + 4];
        EXPECT_EQ(p >> 24, 0xFFu);
        for (int shift = 0; shift < 24; shift += 8)
            EXPECT_NEAR(int(p >> shift & 0xFF), int(expected[block] >> shift & 0xFF), 2)
                << "block " << block << " shift " << shift;
    }
    free_image(l.pixels);
}

TEST_F(jpeg, pixels_are_the_same_with_or_without_libjpegs_four_byte_output)
{
    if (!jpeg_decodes_direct())
        GTEST_SKIP() << "this libjpeg has no four-byte output: there is only the RGB route";
    std::vector<std::string> paths;
    for (const recipe &r : generated)
        paths.push_back(write(std::string(r.name) + ".jpg", encode(r)));
    for (const auto &entry : fs::recursive_directory_iterator(CORPUS_DIR "/jpeg"))
        if (entry.is_regular_file())
            paths.push_back(entry.path().string());
    EXPECT_EQ(paths.size() - std::size(generated), 74u); // every corpus file
    for (const std::string &path : paths) {
        uint32_t w1 = 0, h1 = 0, w2 = 0, h2 = 0;
        const std::vector<uint32_t> direct = load_by(load_jpeg, path, &w1, &h1);
        const std::vector<uint32_t> rgb = load_by(load_jpeg_rgb, path, &w2, &h2);
        EXPECT_TRUE(direct == rgb) << path;
        if (!rgb.empty()) {
            EXPECT_TRUE(w1 == w2 && h1 == h2) << path;
        }
    }
}

TEST_F(jpeg, truncated_file_warns_and_keeps_the_image)
{
    const bytes whole = encode({"cut", 64, 64, 3, 2, 2, false, 0});
    for (const bool progressive : {false, true}) {
        bytes cut = progressive ? encode({"cut", 64, 64, 3, 2, 2, true, 0}) : whole;
        cut.resize(cut.size() * 2 / 3);
        const std::string path = write(progressive ? "cut_p.jpg" : "cut.jpg", cut);
        expect_plain_pixels(path);
        loaded l = load_capturing(path);
        EXPECT_EQ(l.err, "Premature end of JPEG file\nCorrupt JPEG data: premature end of data segment\n");
        EXPECT_EQ(l.width, 64u);
        free_image(l.pixels);
    }
}

// ---- failures ----------------------------------------------------------------

// Ways to break a good file so that libjpeg gives up at each stage of the
// decode: reading the header, starting, and finishing after all the rows.
std::vector<std::pair<std::string, bytes>> broken_files()
{
    const bytes good = encode({"good", 32, 32, 3, 2, 2, false, 0});
    auto find = [&](unsigned char marker) {
        for (size_t i = 0; i + 1 < good.size(); ++i)
            if (good[i] == 0xFF && good[i + 1] == marker)
                return i;
        return good.size();
    };
    std::vector<std::pair<std::string, bytes>> out;
    // Nothing after the JFIF segment: the header never comes.
    out.push_back({"no_frame", bytes(good.begin(), good.begin() + 20)});
    // The frame header claims 9 bits per sample.
    bytes precision = good;
    precision.at(find(0xC0) + 4) = 9;
    out.push_back({"bad_precision", precision});
    // The scan asks for Huffman tables 3, which are never defined.
    bytes tables = good;
    tables.at(find(0xDA) + 6) = 0x33;
    out.push_back({"undefined_table", tables});
    // After the image data, a table segment whose length runs short.
    bytes tail(good.begin(), good.end() - 2);
    const unsigned char bad_dht[] = {0xFF, 0xC4, 0x00, 0x04, 0x00, 0x00, 0xFF, 0xD9};
    tail.insert(tail.end(), bad_dht, bad_dht + sizeof bad_dht);
    out.push_back({"bad_trailing_table", tail});
    return out;
}

TEST_F(jpeg, corrupt_data_fails_with_the_librarys_message)
{
    for (const auto &[name, data] : broken_files()) {
        SCOPED_TRACE(name);
        const std::string path = write(name + ".jpg", data);
        const reference ref = decode_plainly(path);
        ASSERT_FALSE(ref.ok);
        ASSERT_NE(ref.printed, "");
        const int fds = open_fd_count();
        loaded l = load_capturing(path);
        EXPECT_EQ(l.pixels, nullptr);
        EXPECT_EQ(l.err, ref.printed);
        EXPECT_EQ(open_fd_count(), fds);
    }
}

TEST_F(jpeg, data_that_cannot_become_rgb_fails_with_the_librarys_message)
{
    const struct {
        std::string path;
        const char *message;
    } cases[] = {
        {write("cmyk.jpg", encode({"cmyk", 16, 16, 4, 1, 1, false, 0})),
         "Unsupported color conversion request\n"},
        {write("ycck.jpg", encode({"ycck", 16, 16, 4, 2, 2, false, 0, true, JCS_YCCK})),
         "Unsupported color conversion request\n"},
        {CORPUS_DIR "/jpeg/libjpeg-turbo/testorig12.jpg", "Unsupported JPEG data precision 12\n"},
    };
    for (const auto &c : cases) {
        loaded l = load_capturing(c.path);
        EXPECT_EQ(l.pixels, nullptr) << c.path;
        EXPECT_EQ(l.err, c.message) << c.path;
        EXPECT_EQ(image_error() + std::string("\n"), c.path + ": " + c.message);
    }
}

// Where the first segment of `marker` starts (its 0xFF), or the file's size;
// the encoder writes no marker of a segment inside the coded data.
size_t segment_at(const bytes &file, unsigned char marker)
{
    for (size_t i = 0; i + 1 < file.size(); ++i)
        if (file[i] == 0xFF && file[i + 1] == marker)
            return i;
    return file.size();
}

bytes patched(bytes file, unsigned char marker, size_t offset, unsigned char value)
{
    file.at(segment_at(file, marker) + offset) = value;
    return file;
}

// Headers that libjpeg takes but whose decode it refuses as it starts,
// before reading any coded data: image_info must fail there too, for the
// same reason, or succeed where the load does, in either read mode.
TEST_F(jpeg, info_fails_where_the_load_fails_as_it_starts)
{
    const bytes baseline = encode({"b", 32, 32, 3, 2, 2, false, 0});
    const bytes progressive = encode({"p", 32, 32, 3, 2, 2, true, 0});
    const size_t first_dht = segment_at(baseline, 0xC4);
    ASSERT_EQ(baseline.at(first_dht + 4), 0x00); // DC table 0: lengths from +5, symbols from +21
    const auto without_huffman_tables = [](bytes file) { // those before the first scan
        for (size_t at; (at = segment_at(file, 0xC4)) < segment_at(file, 0xDA);)
            file.erase(file.begin() + at, file.begin() + at + 2 + (file[at + 2] << 8 | file[at + 3]));
        return file;
    };
    bytes overfull = patched(baseline, 0xC4, 5, 2); // two codes of one bit: none left for longer ones
    overfull.at(first_dht + 7) -= 2;                 // the same count of codes in all
    const struct {
        const char *name;
        bytes data;
        const char *reason; // "" where both succeed
        const char *any_reason = nullptr; // with IMAGE_READ_ANY, when not the same
    } cases[] = {
        {"CMYK", encode({"cmyk", 16, 16, 4, 1, 1, false, 0}), "Unsupported color conversion request", ""},
        {"Exif", encode({"exif", 16, 16, 3, 2, 2, false, 0, false}),
         "JPEG files without a JFIF header (Exif or Adobe ones, for instance) are not supported", ""},
        {"undefined quantisation table", patched(baseline, 0xC0, 12, 2), "Quantization table 0x02 was not defined"},
        {"quantisation table beyond the four", patched(baseline, 0xC0, 15, 7),
         "Quantization table 0x07 was not defined"},
        {"undefined Huffman table", patched(baseline, 0xDA, 6, 0x22), "Huffman table 0x02 was not defined"},
        {"no Huffman tables: the standard ones", without_huffman_tables(baseline), ""},
        {"too many codes of one length", overfull, "Bogus Huffman table definition"},
        {"DC symbol above 15", patched(baseline, 0xC4, 21, 16), "Bogus Huffman table definition"},
        {"unit of 18 blocks", patched(baseline, 0xC0, 11, 0x44), "Sampling factors too large for interleaved scan"},
        {"progressive DC band with AC", patched(progressive, 0xDA, 12, 5),
         "Invalid progressive parameters Ss=0 Se=5 Ah=0 Al=1"},
        {"progressive refinement first", patched(progressive, 0xDA, 13, 0x21),
         "Inconsistent progression sequence for component 0 coefficient 0"},
        {"progressive: no standard Huffman tables", without_huffman_tables(progressive),
         "Huffman table 0x00 was not defined"},
    };
    for (const int flags : {0, int(IMAGE_READ_ANY)}) {
        read_flags_scope scope(flags);
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (flags ? ", any" : ", strict"));
            const std::string path = write("f.jpg", c.data);
            const std::string reason = flags && c.any_reason ? c.any_reason : c.reason;
            uint32_t w = 0, h = 0;
            unsigned int format = 0;
            stderr_capture quiet;
            const int info = image_info(path.c_str(), &w, &h, &format);
            const std::string info_reason = image_error();
            uint32_t *pixels = load_image(path.c_str(), &w, &h);
            EXPECT_EQ(info, pixels ? 0 : -1);
            EXPECT_EQ(info_reason, image_error());
            EXPECT_EQ(info_reason, reason.empty() ? "" : path + ": " + reason);
            free_image(pixels);
        }
    }
}

// A damaged file can hold thousands of warnings: a load shows the first few
// and counts the rest, as it does for PNG.
TEST_F(jpeg, a_flood_of_warnings_is_cut_short_and_counted)
{
    bytes file = encode({"w", 16, 16, 3, 2, 2, false, 0});
    // A stray byte before each segment after the JFIF one: two DQT, SOF, four
    // DHT and SOS, each met with a warning.
    std::vector<size_t> starts;
    for (size_t at = 2; file.at(at + 1) != 0xDA; starts.push_back(at))
        at += 2 + (file.at(at + 2) << 8 | file.at(at + 3));
    for (auto at = starts.rbegin(); at != starts.rend(); ++at)
        file.insert(file.begin() + *at, 0x00);
    loaded l = load_capturing(write("w.jpg", file));
    EXPECT_NE(l.pixels, nullptr);
    EXPECT_EQ(l.err, "Corrupt JPEG data: 1 extraneous bytes before marker 0xdb\n"
                     "Corrupt JPEG data: 1 extraneous bytes before marker 0xdb\n"
                     "Corrupt JPEG data: 1 extraneous bytes before marker 0xc0\n"
                     "Corrupt JPEG data: 1 extraneous bytes before marker 0xc4\n"
                     "Corrupt JPEG data: 1 extraneous bytes before marker 0xc4\n"
                     "... and 3 more warnings\n");
    free_image(l.pixels);
}

TEST_F(jpeg, demo_fails_its_start_on_corrupt_data)
{
    // Before the mend libjpeg ended this very process here.
    const std::string saved = fs::current_path();
    for (const auto &[name, data] : broken_files())
        if (name == "undefined_table")
            write("out.png", data);
    write("normal.png", encode({"normal", 640, 480, 3, 2, 2, false, 0}));
    ASSERT_EQ(chdir(dir.c_str()), 0);
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    testing::internal::CaptureStderr();
    const int status = run_demo();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(chdir(saved.c_str()), 0);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, "Huffman table 0x03 was not defined\n");
}

// ---- corpus ------------------------------------------------------------------

TEST_F(jpeg, corpus_decodes_as_plain_libjpeg_does_or_fails_cleanly)
{
    int decoded = 0, failed = 0, not_jfif = 0;
    for (const auto &entry : fs::recursive_directory_iterator(CORPUS_DIR "/jpeg")) {
        if (!entry.is_regular_file())
            continue;
        const std::string path = entry.path().string();
        SCOPED_TRACE(path);
        FILE *f = fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        const bool jfif = check_jpeg(f);
        fclose(f);
        const int fds = open_fd_count();
        if (!jfif) {
            // No TGA footer on any of these either: refused without a word.
            loaded l = load_capturing(path);
            EXPECT_EQ(l.pixels, nullptr);
            EXPECT_EQ(l.err, "");
            ++not_jfif;
        } else if (decode_plainly(path).ok) {
            expect_plain_pixels(path);
            ++decoded;
        } else {
            loaded l = load_capturing(path);
            EXPECT_EQ(l.pixels, nullptr);
            EXPECT_EQ(l.err, decode_plainly(path).printed);
            ++failed;
        }
        EXPECT_EQ(open_fd_count(), fds);
    }
    // The corpus is public and fixed: a change in these counts means files
    // went missing or the library changed what it accepts.
    EXPECT_EQ(decoded, 46);
    EXPECT_EQ(failed, 3); // the three 12-bit files
    EXPECT_EQ(not_jfif, 25);
}

// ---- IMAGE_READ_ANY against peers -------------------------------------------

// Every corpus file with IMAGE_READ_ANY against the pixels a peer decoder
// gives (the list is made by tests/data/make_jpeg_reference.py with Pillow,
// and ImageMagick for CMYK), or refused with the reason listed; image_info
// agrees with each load.
TEST(jpeg_corpus, any_mode_decodes_as_the_peers_do)
{
    std::ifstream list(TEST_DATA_DIR "/jpeg_reference.txt");
    ASSERT_TRUE(list.good());
    read_flags_scope scope(IMAGE_READ_ANY);
    int matched = 0, refused = 0;
    for (std::string line; std::getline(list, line);) {
        std::istringstream in(line); // "HASH WxH NAME PEER" or "refused NAME REASON"
        std::string hash, size, name, reason;
        in >> hash;
        if (hash == "refused")
            std::getline(in >> name >> std::ws, reason);
        else
            in >> size >> name;
        const std::string path = CORPUS_DIR "/" + name;
        uint32_t w = 0, h = 0, info_w = 0, info_h = 0;
        unsigned int format = 0;
        testing::internal::CaptureStderr();
        const int info = image_info(path.c_str(), &info_w, &info_h, &format);
        const std::string info_reason = image_error();
        uint32_t *pixels = load_image(path.c_str(), &w, &h);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(info, pixels ? 0 : -1) << name;
        if (hash == "refused") {
            EXPECT_EQ(pixels, nullptr) << name;
            EXPECT_EQ(image_error(), path + ": " + reason) << name;
            EXPECT_EQ(info_reason, image_error()) << name;
            ++refused;
            continue;
        }
        ASSERT_NE(pixels, nullptr) << name;
        EXPECT_TRUE(info_w == w && info_h == h) << name;
        EXPECT_EQ(std::to_string(w) + "x" + std::to_string(h), size) << name;
        EXPECT_EQ(fnv_hex(pixels, size_t(w) * h), hash) << name;
        free_image(pixels);
        ++matched;
    }
    EXPECT_EQ(matched, 71); // every corpus file that libjpeg decodes
    EXPECT_EQ(refused, 3);  // the 12-bit ones
}

// CMYK as libjpeg writes it (with Adobe's marker, and without), and YCCK with
// its chroma halved, against ImageMagick's decode: every light of ink and of
// black, each with a spread of the other inks.
TEST_F(jpeg, any_mode_cmyk_decodes_as_image_magick_does)
{
    if (system("convert -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ImageMagick is not installed";
    read_flags_scope scope(IMAGE_READ_ANY);
    const int side = 256;
    std::vector<unsigned char> inks(side * side * 4);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            for (int k = 0; k < 4; ++k)
                inks[(y * side + x) * 4 + k] = static_cast<unsigned char>(k == 3 ? y : k == 0 ? x : x * (k + 2) + y);
    recipe plain = {"cmyk", side, side, 4, 1, 1, false, 0};
    recipe ycck = {"ycck", side, side, 4, 2, 2, true, 0, true, JCS_YCCK};
    bytes no_marker = encode(plain, inks.data());
    const size_t adobe = segment_at(no_marker, 0xEE); // APP14: made a comment, which no reader looks into
    ASSERT_LT(adobe, no_marker.size());
    no_marker[adobe + 1] = 0xFE;
    for (const auto &[name, data] : {std::pair<std::string, bytes>{"adobe", encode(plain, inks.data())},
                                     {"no_marker", no_marker},
                                     {"ycck", encode(ycck, inks.data())}}) {
        const std::string path = write(name + ".jpg", data);
        FILE *p = popen(("convert '" + path + "' -depth 8 rgba:- 2>/dev/null").c_str(), "r");
        ASSERT_NE(p, nullptr);
        bytes rgba(side * side * 4);
        EXPECT_EQ(fread(rgba.data(), 1, rgba.size(), p), rgba.size()) << name;
        pclose(p);
        loaded l = load_capturing(path);
        ASSERT_NE(l.pixels, nullptr) << name;
        size_t differ = 0;
        for (size_t i = 0; i < size_t(side) * side; ++i)
            differ += l.pixels[i] != (0xFF000000u | uint32_t(rgba[4 * i]) << 16 | uint32_t(rgba[4 * i + 1]) << 8 |
                                      rgba[4 * i + 2]);
        EXPECT_EQ(differ, 0u) << name;
        free_image(l.pixels);
    }
}

} // namespace
