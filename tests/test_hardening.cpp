// test_hardening.cpp - the library against bad input: every failure path of
// every loader and of save_image leaves no descriptor open and no memory
// behind, thousands of corrupt loads keep both flat, small files claiming
// enormous images fail or finish without the memory they claim, and every
// past fuzz finding still fails cleanly.
#include "image.h"
#include "image_jpg.h"
#include "image_png.h"
#include "image_tga.h"
#include "jpeg_writer.h"
#include "png_writer.h"
#include "test_util.h"
#include "tga_writer.h"

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <malloc.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

namespace {

#if defined(__SANITIZE_ADDRESS__)
const bool under_asan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool under_asan = true;
#else
const bool under_asan = false;
#endif
#else
const bool under_asan = false;
#endif

using bytes = std::vector<unsigned char>;

// Bytes the allocator has handed out and not had back. glibc counts blocks in
// its per-thread cache as in use, so the tests run with that cache off
// (GLIBC_TUNABLES=glibc.malloc.tcache_count=0, set by CTest) and settle first.
// Under the sanitizers the allocator is not glibc's and this stays put;
// LeakSanitizer checks the same at exit instead.
size_t heap_in_use()
{
    return mallinfo2().uordblks;
}

// Highest resident memory of this process so far, in MiB.
long peak_rss_mib()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

// Open descriptors and heap in use when made; same() says whether both are
// back where they were.
struct resources {
    int fds = open_fd_count();
    size_t heap = heap_in_use();
    // Takes a plain string: building a std::string here would itself count.
    void expect_same(const char *what) const
    {
        EXPECT_EQ(open_fd_count(), fds) << what << ": a descriptor was left open";
        EXPECT_EQ(heap_in_use(), heap) << what << ": memory was not released";
    }
};

void put_be32(bytes &b, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        b.push_back(static_cast<unsigned char>(v >> shift));
}

uint32_t crc32_of(const unsigned char *p, size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

void put_chunk(bytes &png, const char *type, const bytes &data)
{
    put_be32(png, static_cast<uint32_t>(data.size()));
    const size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    put_be32(png, crc32_of(png.data() + start, png.size() - start));
}

// A PNG of the given header whose zlib data is `data`, in chunks of at most
// `chunk` bytes.
bytes png_of(uint32_t width, uint32_t height, int depth, int colour_type, int interlace, const bytes &data,
             size_t chunk = SIZE_MAX)
{
    bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    bytes ihdr;
    put_be32(ihdr, width);
    put_be32(ihdr, height);
    ihdr.insert(ihdr.end(), {static_cast<unsigned char>(depth), static_cast<unsigned char>(colour_type), 0, 0,
                             static_cast<unsigned char>(interlace)});
    put_chunk(png, "IHDR", ihdr);
    for (size_t at = 0; at < data.size(); at += chunk)
        put_chunk(png, "IDAT", bytes(data.begin() + at, data.begin() + std::min(data.size(), at + chunk)));
    put_chunk(png, "IEND", {});
    return png;
}

// A PNG of the given header and a few bytes of zlib data (a stored block of
// four zeros, a whole 1 x 1 RGB image), ending properly: far too little for
// any large image.
bytes png_claiming(uint32_t width, uint32_t height, int depth, int colour_type, int interlace)
{
    return png_of(width, height, depth, colour_type, interlace,
                  {0x78, 0x01, 0x01, 0x04, 0x00, 0xFB, 0xFF, 0, 0, 0, 0, 0x00, 0x04, 0x00, 0x01});
}

// An all-zero image at zlib's best compression (or at `level`), written by
// libpng.
void write_zero_png(const std::string &path, uint32_t width, uint32_t height,
                    int colour_type = PNG_COLOR_TYPE_RGB_ALPHA, int level = 9)
{
    ASSERT_TRUE(write_png(path, {width, height, colour_type, 8, PNG_INTERLACE_NONE, level, true}));
}

struct jpeg_recipe {
    int width = 64, height = 64;
    bool progressive = false;
    bool arithmetic = false;
    int components = 3;
    J_COLOR_SPACE space = JCS_RGB;
    bool full_chroma = false;          // 4:4:4 instead of 4:2:0
    int restart_rows = 0;              // 0: no restart markers
    bool flat = false;                 // one grey instead of a gradient
    std::vector<jpeg_scan_info> scans; // a progression of our own
};

// Compresses a smooth gradient (or, for CMYK, flat ink) with libjpeg.
bytes encode_jpeg(const jpeg_recipe &r)
{
    const auto configure = [&r](jpeg_compress_struct &c) {
        c.write_JFIF_header = TRUE; // even for CMYK, so that the probe takes it
        if (r.progressive)
            jpeg_simple_progression(&c);
        if (!r.scans.empty()) {
            c.scan_info = r.scans.data();
            c.num_scans = static_cast<int>(r.scans.size());
        }
        if (r.full_chroma)
            c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = 1;
        c.arith_code = r.arithmetic ? TRUE : FALSE;
        c.restart_in_rows = r.restart_rows;
    };
    const bool flat = r.flat;
    const auto gradient = [flat](int x, int y, int k) {
        return static_cast<unsigned char>(flat ? 128 : (x + y + 40 * k) / 16);
    };
    return compress_jpeg(r.width, r.height, r.components, r.space, configure, gradient);
}

// A scan of components first to first + count - 1 and coefficients ss to se.
jpeg_scan_info scan_of(int first, int count, int ss, int se, int ah = 0, int al = 0)
{
    jpeg_scan_info s = {count, {first, first + 1, first + 2, first + 3}, ss, se, ah, al};
    return s;
}

// A progressive grey image whose scans are `scans`, each covering the whole
// image, or a colour one whose later scans cover chroma only.
bytes jpeg_with_scans(const std::vector<jpeg_scan_info> &scans, int components = 1)
{
    jpeg_recipe r;
    r.components = components;
    r.space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    r.scans = scans;
    return encode_jpeg(r);
}

// Removes the scan whose header is the `index`th (0 first), header and data.
bytes without_scan(bytes jpeg, int index)
{
    std::vector<size_t> starts;
    for (size_t i = 0; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xDA || jpeg[i + 1] == 0xD9 || jpeg[i + 1] == 0xC4))
            starts.push_back(i);
    for (size_t k = 0; k + 1 < starts.size(); ++k)
        if (jpeg[starts[k] + 1] == 0xDA && index-- == 0) {
            jpeg.erase(jpeg.begin() + starts[k], jpeg.begin() + starts[k + 1]);
            return jpeg;
        }
    ADD_FAILURE() << "no such scan";
    return jpeg;
}

// Rewrites the frame header's size and keeps `keep` bytes of coded data
// after the first scan header (SIZE_MAX: everything), optionally followed by
// an end-of-image marker.
bytes jpeg_claiming(bytes jpeg, uint16_t width, uint16_t height, size_t keep, bool end_marker)
{
    for (size_t i = 2; i + 4 < jpeg.size();) {
        const int marker = jpeg[i + 1];
        const size_t length = size_t(jpeg[i + 2]) << 8 | jpeg[i + 3];
        if (jpeg_marker_kind(marker) == jpeg_marker::frame) {
            jpeg[i + 5] = height >> 8, jpeg[i + 6] = height & 0xFF;
            jpeg[i + 7] = width >> 8, jpeg[i + 8] = width & 0xFF;
        }
        if (marker == 0xDA) {
            if (keep == SIZE_MAX) // the whole file
                return jpeg;
            jpeg.resize(i + 2 + length + keep);
            if (end_marker)
                jpeg.insert(jpeg.end(), {0xFF, 0xD9});
            return jpeg;
        }
        i += 2 + length;
    }
    ADD_FAILURE() << "no scan header";
    return jpeg;
}

struct bad_file {
    std::string name;
    bytes content;
    bool loads;        // a warning, and the image is returned all the same
    bool huge = false; // claims gigabytes; too slow to repeat under the sanitizers
};

bytes png_file_of_type(int colour_type)
{
    scratch_dir dir;
    write_zero_png(dir.file("f"), 3, 2, colour_type);
    return read_file(dir.file("f"));
}

// One file for each way a load can end early, through each probe and reader.
std::vector<bad_file> bad_files()
{
    std::vector<bad_file> files;
    const bytes sig = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    files.push_back({"empty", {}, false});
    files.push_back({"unrecognised", bytes(100, 0x5A), false});
    files.push_back({"png signature only", sig, false});
    bytes png = png_claiming(2, 2, 8, PNG_COLOR_TYPE_RGB, 0);
    bytes bad_crc = png;
    bad_crc[29] ^= 0xFF; // the header chunk's checksum
    files.push_back({"png header checksum", bad_crc, false});
    files.push_back({"png cut in its data", bytes(png.begin(), png.begin() + 45), false});
    bytes bad_zlib = png;
    bad_zlib[41] = 0x07; // not a zlib header
    files.push_back({"png bad zlib data", bad_zlib, false});
    files.push_back({"png grey", png_file_of_type(PNG_COLOR_TYPE_GRAY), false});
    files.push_back({"png palette", png_file_of_type(PNG_COLOR_TYPE_PALETTE), false});
    files.push_back({"png far too short", png_claiming(65535, 65535, 8, PNG_COLOR_TYPE_RGB_ALPHA, 0), false});

    const bytes jpeg = encode_jpeg({});
    bytes corrupt = jpeg;
    for (size_t i = 0; i + 1 < corrupt.size(); ++i)
        if (corrupt[i] == 0xFF && corrupt[i + 1] == 0xC4) // Huffman tables
            corrupt[i + 4] = 0x77;                       // no such table class
    files.push_back({"jpeg corrupt tables", corrupt, false});
    // Failing once the pixels are allocated: at the scan (tables it names were
    // never defined) and after the last row (a table segment cut short).
    bytes undefined = jpeg;
    for (size_t i = 0; i + 1 < undefined.size(); ++i)
        if (undefined[i] == 0xFF && undefined[i + 1] == 0xDA) {
            undefined[i + 6] = 0x33;
            break;
        }
    files.push_back({"jpeg undefined tables", undefined, false});
    bytes trailing(jpeg.begin(), jpeg.end() - 2);
    trailing.insert(trailing.end(), {0xFF, 0xC4, 0x00, 0x04, 0x00, 0x00, 0xFF, 0xD9});
    files.push_back({"jpeg damaged after its rows", trailing, false});
    files.push_back({"jpeg truncated", jpeg_claiming(jpeg, 64, 64, 40, false), true});
    files.push_back({"jpeg headers only", bytes(jpeg.begin(), jpeg.begin() + 20), false});
    // Luminance sampled 3 across, chroma 2 and 1: the decoder upsamples by
    // whole factors only, and refuses it before reading any data.
    bytes fractional = jpeg;
    for (size_t i = 0; i + 1 < fractional.size(); ++i)
        if (fractional[i] == 0xFF && fractional[i + 1] == 0xC0) {
            fractional[i + 11] = 0x31;
            fractional[i + 14] = 0x21;
            fractional[i + 17] = 0x11;
            break;
        }
    files.push_back({"jpeg fractional sampling", fractional, false});
    jpeg_recipe cmyk;
    cmyk.components = 4;
    cmyk.space = JCS_CMYK;
    bytes cmyk_jfif = encode_jpeg(cmyk);
    files.push_back({"jpeg cmyk", cmyk_jfif, false});
    bytes exif = jpeg;
    exif[3] = 0xE1;
    files.push_back({"jpeg exif", exif, false});
    files.push_back({"jpeg huge truncated", jpeg_claiming(jpeg, 20000, 20000, 40, false), false, true});
    files.push_back({"jpeg above the pixel limit", jpeg_claiming(jpeg, 65500, 65500, 40, false), false});
    std::vector<jpeg_scan_info> passes = {scan_of(0, 1, 0, 0)};
    for (int k = 1; k <= 32; ++k)
        passes.push_back(scan_of(0, 1, k, k));
    files.push_back({"jpeg scans over the image 33 times", jpeg_with_scans(passes), false});
    files.push_back({"jpeg without its dc scan", without_scan(jpeg_with_scans(passes), 0), false});

    files.push_back({"tga colour-mapped", tga_file({1, 1, 8, 0, 1}, {0}), false});
    files.push_back({"tga 16-bit", tga_file({1, 1, 16, 0}, {0, 0}), false});
    files.push_back({"tga truncated", tga_file({40, 40}, {1, 2, 3, 4}), true});
    files.push_back({"tga far too short", tga_file({8192, 8193}, {1, 2, 3, 4}), false});
    tga_fields id_past_the_end{1, 1};
    id_past_the_end.id_length = 255; // an ID the file does not hold: skipped as a file skips it
    files.push_back({"tga id past the end", tga_file(id_past_the_end, {1, 2, 3}), true});
    return files;
}

// Runs `action` until what first calls set up for good has settled (the
// libraries' one-time set-up, and glibc's per-thread cache of freed blocks,
// which mallinfo2 counts as in use and which fills up to 7 blocks a size),
// then three more times, and expects descriptors and heap to end where they
// began.
void expect_no_leak(const std::string &what, const std::function<void()> &action)
{
    stderr_capture quiet;
    for (int i = 0; i < 8; ++i)
        action();
    const resources before;
    for (int i = 0; i < 3; ++i)
        action();
    before.expect_same(what.c_str());
}

void load_and_free(const std::string &path, bool loads, const std::string &what)
{
    uint32_t w = 0, h = 0;
    uint32_t *pixels = load_image(path.c_str(), &w, &h);
    EXPECT_EQ(pixels != nullptr, loads) << what;
    free_image(pixels);
}

// The path of a pipe holding `content` and then its end, as a program's
// standard input is when another writes into it; -1 in *fd if there is none.
std::string piped(const bytes &content, int *fd)
{
    int ends[2];
    if (pipe(ends) != 0) {
        *fd = -1;
        return "";
    }
    // The files here are small: all of each fits in the pipe before the load starts.
    EXPECT_EQ(write(ends[1], content.data(), content.size()), ssize_t(content.size()));
    close(ends[1]);
    *fd = ends[0];
    return "/dev/fd/" + std::to_string(ends[0]);
}

TEST(leaks, no_failure_of_any_loader_leaves_a_descriptor_or_memory)
{
    scratch_dir dir;
    const std::string missing = dir.file("missing.png");
    expect_no_leak("missing file", [&] { load_and_free(missing, false, "missing file"); });
    expect_no_leak("folder", [&] { load_and_free(dir.path, false, "folder"); });
    // A path longer than the system takes: the reason shortens the path, not the cause.
    const std::string long_path = dir.path + "/" + std::string(4600, 'x');
    expect_no_leak("long path", [&] { load_and_free(long_path, false, "long path"); });
    const std::string reason = image_error();
    const std::string cause = ": " + std::string(strerror(ENAMETOOLONG));
    EXPECT_EQ(reason.rfind(dir.path + "/xxx", 0), 0u) << reason;
    EXPECT_NE(reason.find("xxx...xxx"), std::string::npos) << reason;
    EXPECT_EQ(reason.substr(reason.size() - cause.size()), cause);
    // Nor does either cut split a character: names 0 to 2 bytes longer at
    // each end move each cut through a three-byte character.
    for (size_t shift = 0; shift < 3; ++shift) {
        std::string euros;
        for (int i = 0; i < 1600; ++i)
            euros += "\xE2\x82\xAC";
        const std::string name = std::string(shift, 'a') + euros + std::string(shift, 'a');
        load_and_free(dir.path + "/" + name, false, "long path of euros");
        EXPECT_NE(std::string(image_error()).find("\xE2\x82\xAC...\xE2\x82\xAC"), std::string::npos) << shift;
    }
    for (const bad_file &f : bad_files()) {
        const std::string path = dir.file("bad");
        write_file(path, f.content);
        expect_no_leak(f.name, [&] { load_and_free(path, f.loads, f.name); });
        // The same bytes from memory, through a pipe, and their headers alone.
        expect_no_leak(f.name + " from memory", [&] {
            uint32_t w = 0, h = 0;
            uint32_t *pixels = load_image_memory(f.content.data(), f.content.size(), &w, &h);
            EXPECT_EQ(pixels != nullptr, f.loads) << f.name;
            free_image(pixels);
        });
        if (f.huge && under_asan)
            continue;
        expect_no_leak(f.name + " through a pipe", [&] {
            int fd;
            load_and_free(piped(f.content, &fd), f.loads, f.name + " through a pipe");
            close(fd);
        });
        expect_no_leak(f.name + " headers", [&] {
            uint32_t w, h;
            unsigned int format;
            (void)image_info(path.c_str(), &w, &h, &format);
        });
    }
}

// image_info fails where a load fails at the headers, with the same message
// and reason, and succeeds on every file whose headers are sound (even
// above the pixel limit). With messages off nothing is printed, and the
// reasons stay.
TEST(quiet, headers_and_messages_fail_as_the_load_does)
{
    const std::set<std::string> sound_headers = {
        "png cut in its data", "png bad zlib data", "png far too short", "jpeg truncated", "jpeg huge truncated",
        "jpeg above the pixel limit", "jpeg scans over the image 33 times", "jpeg damaged after its rows",
        "tga truncated", "tga far too short"};
    scratch_dir dir;
    const std::string path = dir.file("bad");
    settings_guard keep;
    for (const bad_file &f : bad_files()) {
        if (f.huge && under_asan)
            continue;
        write_file(path, f.content);
        std::string text[2], reason[2];
        int printed[2];
        for (int on : {1, 0}) {
            set_image_messages(on);
            stderr_capture err;
            uint32_t w, h;
            free_image(load_image(path.c_str(), &w, &h));
            text[on] = err.text();
            reason[on] = image_error();
            printed[on] = image_error_printed();
        }
        EXPECT_EQ(text[0], "") << f.name;
        EXPECT_EQ(reason[0], reason[1]) << f.name;
        EXPECT_EQ(printed[0], 0) << f.name;
        EXPECT_EQ(printed[1], !f.loads && !text[1].empty()) << f.name;

        set_image_messages(1);
        stderr_capture err;
        uint32_t w = 0, h = 0;
        unsigned int format;
        const int info = image_info(path.c_str(), &w, &h, &format);
        const std::string info_text = err.text();
        if (f.loads || sound_headers.count(f.name)) {
            EXPECT_EQ(info, 0) << f.name << ": " << image_error();
            EXPECT_STREQ(image_error(), "");
        } else {
            EXPECT_EQ(info, -1) << f.name;
            EXPECT_EQ(image_error(), reason[1]) << f.name;
            EXPECT_EQ(info_text, text[1]) << f.name;
        }
        if (f.name == "jpeg above the pixel limit") {
            EXPECT_EQ(w, 65500u);
            EXPECT_EQ(format, unsigned(IMAGE_FORMAT_JPEG));
        }
    }
}

// The limits and checks hold for the files only IMAGE_READ_ANY reads: each bad
// JFIF file, its first segment made APP1 (as an Exif file's is), loads or fails
// with IMAGE_READ_ANY exactly as the JFIF file does in the strict mode.
TEST(quiet, any_mode_holds_other_jpeg_files_to_the_same_limits)
{
    scratch_dir dir;
    for (const bad_file &f : bad_files()) {
        if (f.name.rfind("jpeg ", 0) != 0 || f.name == "jpeg cmyk" || f.name == "jpeg exif" || (f.huge && under_asan))
            continue;
        bytes app1 = f.content;
        app1.at(3) = 0xE1;
        std::string result[2];
        for (const int any : {0, 1}) {
            set_image_read_flags(any ? IMAGE_READ_ANY : 0);
            write_file(dir.file("f"), any ? app1 : f.content);
            stderr_capture err;
            uint32_t w = 0, h = 0;
            uint32_t *pixels = load_image(dir.file("f").c_str(), &w, &h);
            result[any] = err.text() + image_error() + (pixels ? fnv_hex(pixels, size_t(w) * h) : "");
            free_image(pixels);
        }
        set_image_read_flags(0);
        EXPECT_EQ(result[1], result[0]) << f.name;
    }
}

TEST(leaks, codecs_close_streams_they_are_handed_on_every_path)
{
    // Paths the front end's probes never take: a TGA stream that ends inside
    // its header, and each codec given bytes that are not its own.
    const bytes header_start = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0};
    const bytes noise(64, 0x33);
    using loader = uint32_t *(*)(FILE *, uint32_t *, uint32_t *);
    const std::pair<const char *, loader> codecs[] = {{"png", load_png}, {"jpeg", load_jpeg}, {"tga", load_tga}};
    for (const auto &codec : codecs) {
        for (const bytes *b : {&header_start, &noise}) {
            expect_no_leak(codec.first, [&] {
                FILE *stream = fmemopen(const_cast<unsigned char *>(b->data()), b->size(), "rb");
                ASSERT_NE(stream, nullptr);
                uint32_t w = 0, h = 0;
                EXPECT_EQ(codec.second(stream, &w, &h), nullptr) << codec.first;
            });
        }
    }
}

TEST(leaks, no_failure_of_save_image_leaves_a_descriptor_memory_or_file)
{
    scratch_dir dir;
    const std::vector<uint32_t> small(4, 0xFF102030u);
    const std::vector<uint32_t> wide(70000, 0u);
    const std::string target = dir.file("out.tga");
    const std::string in_missing_folder = dir.file("no/such/folder/out.tga");
    struct save_case {
        const char *what;
        const std::string *path;
        const uint32_t *pixels;
        uint32_t width, height;
        unsigned format;
    };
    const save_case cases[] = {
        {"invalid format", &target, small.data(), 2, 2, 3},
        {"png writer", &target, small.data(), 2, 2, IMAGE_FORMAT_PNG},
        {"jpeg writer", &target, small.data(), 2, 2, IMAGE_FORMAT_JPEG},
        {"folder missing", &in_missing_folder, small.data(), 2, 2, IMAGE_FORMAT_TGA},
        {"a folder as target", &dir.path, small.data(), 2, 2, IMAGE_FORMAT_TGA},
        {"too wide for tga", &target, wide.data(), 70000, 1, IMAGE_FORMAT_TGA},
    };
    for (const save_case &c : cases) {
        expect_no_leak(c.what, [&] {
            EXPECT_EQ(save_image(c.path->c_str(), c.pixels, c.width, c.height, c.format), -1) << c.what;
        });
    }
    // A device that takes nothing: the writer finds out only at the end.
    if (access("/dev/full", W_OK) == 0)
        expect_no_leak("full device", [&] {
            EXPECT_EQ(save_image("/dev/full", small.data(), 2, 2, IMAGE_FORMAT_TGA), -1);
        });
    // Nothing half-written stays behind: no target, no temporary file.
    EXPECT_EQ(access(target.c_str(), F_OK), -1);
    EXPECT_EQ(entries_in(dir.path), 0);
}

TEST(leaks, ten_thousand_corrupt_loads_keep_memory_and_descriptors_flat)
{
    scratch_dir dir;
    std::vector<std::string> paths;
    for (const bad_file &f : bad_files()) {
        if (f.loads || (f.huge && under_asan))
            continue;
        paths.push_back(dir.file(std::to_string(paths.size())));
        write_file(paths.back(), f.content);
    }
    stderr_capture quiet;
    auto load_round = [&](int count, int &done) {
        for (int i = 0; i < count; ++i, ++done) {
            uint32_t w = 0, h = 0;
            free_image(load_image(paths[done % paths.size()].c_str(), &w, &h));
        }
    };
    int done = 0;
    load_round(static_cast<int>(paths.size()) * 5, done);
    const resources settled;
    load_round(10000, done);
    settled.expect_same("10000 corrupt loads");
}

// Loads one regression file: null unless `expected` lists it, then exactly
// the image listed.
void expect_fails_or_loads_as_listed(const std::string &name, const std::map<std::string, std::string> &expected)
{
    read_flags_scope mode(name.find("/any/") != std::string::npos ? IMAGE_READ_ANY : 0);
    uint32_t w = 0, h = 0;
    uint32_t *pixels = load_image((REGRESSIONS_DIR "/" + name).c_str(), &w, &h);
    const auto e = expected.find(name);
    if (e == expected.end()) {
        EXPECT_EQ(pixels, nullptr) << name;
    } else if (pixels) {
        EXPECT_EQ(std::to_string(w) + " " + std::to_string(h) + " " + fnv_hex(pixels, size_t(w) * h), e->second)
            << name;
    } else {
        ADD_FAILURE() << name << " should load";
    }
    free_image(pixels);
}

// Loads `path` twice in a child process whose address space may grow by only
// `spare` bytes beyond what it has, the second time counting descriptors and
// heap. The exit status: 0 when both loads failed and nothing was left
// behind, 1 when an image came back, 2 for a descriptor, 3 for memory.
int load_in_tight_memory(const std::string &path, size_t spare)
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 2); // libpng and libjpeg say "out of memory" here
        close(null_fd);
        long pages = 0;
        FILE *statm = fopen("/proc/self/statm", "r");
        if (!statm || fscanf(statm, "%ld", &pages) != 1)
            _exit(4);
        fclose(statm);
        rlimit limit;
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + spare;
        setrlimit(RLIMIT_AS, &limit);
        uint32_t w = 0, h = 0;
        uint32_t *first = load_image(path.c_str(), &w, &h);
        const resources before;
        uint32_t *second = load_image(path.c_str(), &w, &h);
        if (first || second)
            _exit(1);
        if (open_fd_count() != before.fds)
            _exit(2);
        _exit(heap_in_use() != before.heap ? 3 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(leaks, running_out_of_memory_anywhere_in_a_load_leaves_nothing_behind)
{
    if (under_asan)
        GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit leaves";
    scratch_dir dir;
    write_zero_png(dir.file("png"), 8192, 2048); // rows of 32 KiB, 64 MiB of pixels
    jpeg_recipe r;
    r.width = r.height = 4096; // 64 MiB of pixels, allocated at once
    write_file(dir.file("jpeg"), encode_jpeg(r));
    r.width = r.height = 8200; // 269 MB of pixels, grown as rows come
    write_file(dir.file("big jpeg"), encode_jpeg(r));
    write_file(dir.file("tga"), tga_file({4096, 4096}, {1, 2, 3}));
    const size_t mib = size_t(1) << 20;
    const struct {
        const char *what, *file;
        size_t spare;
    } cases[] = {
        {"libpng's own memory", "png", mib / 2},
        {"the PNG pixel buffer", "png", 32 * mib},
        {"libjpeg's own memory", "jpeg", mib / 4},
        {"the JPEG pixel buffer", "jpeg", 32 * mib},
        {"growing the JPEG pixel buffer", "big jpeg", 128 * mib},
        {"the TGA pixel buffer", "tga", 32 * mib},
    };
    for (const auto &c : cases)
        EXPECT_EQ(load_in_tight_memory(dir.file(c.file), c.spare), 0) << c.what;
}

// Every past finding of the fuzz harnesses, in its format's folder, fails
// cleanly, unless listed in the folder's expected.txt ("name width height
// fnv1a-hex"; # begins a comment) with the exact image it must load as.
// Those in a folder `any` below it are read with IMAGE_READ_ANY.
TEST(fuzz_regressions, every_file_fails_cleanly_or_loads_exactly)
{
    std::ifstream list(REGRESSIONS_DIR "/expected.txt");
    ASSERT_TRUE(list.good()) << "cannot read " REGRESSIONS_DIR "/expected.txt";
    std::map<std::string, std::string> expected;
    for (std::string line, name, w, h, hash; std::getline(list, line);)
        if (line[0] != '#' && std::istringstream(line) >> name >> w >> h >> hash)
            expected[name] = w + " " + h + " " + hash;

    namespace fs = std::filesystem;
    std::vector<std::string> files;
    for (const auto &e : fs::recursive_directory_iterator(REGRESSIONS_DIR))
        if (e.is_regular_file() && e.path().filename() != "expected.txt")
            files.push_back(fs::relative(e.path(), REGRESSIONS_DIR).string());
    std::sort(files.begin(), files.end());
    EXPECT_GE(files.size(), 10u);
    for (const auto &e : expected)
        EXPECT_EQ(std::count(files.begin(), files.end(), e.first), 1) << e.first << " is listed but missing";
    stderr_capture quiet;
    resources before;
    for (int pass = 0; pass < 2; ++pass) {
        // The first pass settles the libraries' one-time set-up.
        if (pass == 1)
            before = resources();
        for (const std::string &name : files)
            expect_fails_or_loads_as_listed(name, expected);
    }
    before.expect_same("regression files");
}

// Loads `content` from a file and returns what standard error said; the
// process must not have grown by anything like the claimed image.
std::string load_hostile(const bytes &content, bool expect_image, uint32_t *w = nullptr, uint32_t *h = nullptr,
                         uint32_t **kept = nullptr)
{
    scratch_dir dir;
    write_file(dir.file("f"), content);
    const long rss_before = peak_rss_mib();
    stderr_capture err;
    uint32_t width = 0, height = 0;
    uint32_t *pixels = load_image(dir.file("f").c_str(), &width, &height);
    const std::string text = err.text();
    EXPECT_EQ(pixels != nullptr, expect_image) << text;
    // A refusal's reason names the file and, where the library printed its
    // own line, says the same (libpng's lines carry a prefix of their own).
    const std::string named = dir.file("f") + ": ";
    const size_t last_line = text.rfind('\n', text.size() >= 2 ? text.size() - 2 : 0);
    const std::string printed = text.empty() ? "" : text.substr(last_line == std::string::npos ? 0 : last_line + 1);
    if (!pixels) {
        EXPECT_EQ(std::string(image_error()).rfind(named, 0), 0u) << image_error();
        if (!printed.empty() && printed.rfind("libpng", 0) != 0) {
            EXPECT_EQ(image_error() + std::string("\n"), named + printed);
        }
    }
    // Under AddressSanitizer a huge zeroed block costs an eighth of its size
    // in shadow memory, so the figure says nothing there.
    if (!under_asan) {
        EXPECT_LT(peak_rss_mib() - rss_before, 64) << "MiB of resident memory for a small file";
    }
    if (w) {
        *w = width;
        *h = height;
    }
    if (kept)
        *kept = pixels;
    else
        free_image(pixels);
    return text;
}

TEST(hostile_sizes, png_refused_from_its_header_fails_before_any_row_is_allocated)
{
    const struct {
        uint32_t w, h;
        int depth, type, interlace;
    } claims[] = {{23170, 23170, 8, PNG_COLOR_TYPE_RGB_ALPHA, 0},
                  {20000, 20000, 16, PNG_COLOR_TYPE_RGB_ALPHA, 0},
                  {536870912, 1, 16, PNG_COLOR_TYPE_RGB, 1}};
    for (const auto &c : claims) {
        const std::string text = load_hostile(png_claiming(c.w, c.h, c.depth, c.type, c.interlace), false);
        EXPECT_NE(text.find("libpng error: Not enough image data for a " + std::to_string(c.w) + " x " +
                            std::to_string(c.h) + " image"),
                  std::string::npos)
            << text;
    }
    // Colour types this loader does not read are refused, without a word,
    // before libpng decodes anything.
    for (int type : {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_PALETTE, PNG_COLOR_TYPE_GRAY_ALPHA})
        EXPECT_EQ(load_hostile(png_claiming(20000, 20000, 8, type, 0), false), "") << type;
}

TEST(hostile_sizes, png_at_deflates_best_ratio_still_loads)
{
    // Zeros at zlib's best compression come close to deflate's limit; the
    // refusal must leave such a file alone.
    scratch_dir dir;
    const uint32_t w = 8192, h = 2048;
    write_zero_png(dir.file("zero.png"), w, h);
    const size_t size = read_file(dir.file("zero.png")).size();
    EXPECT_GT(size_t(w) * h * 4 / size, 900u) << "not compressed nearly as far as expected";
    uint32_t gw = 0, gh = 0;
    uint32_t *pixels = load_image(dir.file("zero.png").c_str(), &gw, &gh);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(gw, w);
    EXPECT_EQ(gh, h);
    size_t non_zero = 0;
    for (size_t i = 0; i < size_t(w) * h; ++i)
        non_zero += pixels[i] != 0;
    EXPECT_EQ(non_zero, 0u);
    free_image(pixels);
}

TEST(hostile_sizes, jpeg_whose_data_ends_with_most_of_a_huge_image_missing_fails)
{
    const bytes baseline = encode_jpeg({});
    jpeg_recipe r;
    r.progressive = true;
    const bytes progressive = encode_jpeg(r);
    r.progressive = false;
    r.arithmetic = true;
    const bytes arithmetic = encode_jpeg(r);
    // Arithmetic-coded data may meet a marker early, but not while restart
    // intervals are still due.
    r.restart_rows = 1;
    const bytes arithmetic_restarts = encode_jpeg(r);
    const std::pair<const char *, bytes> files[] = {
        {"baseline cut short", jpeg_claiming(baseline, 20000, 20000, 40, false)},
        {"baseline ended by a marker", jpeg_claiming(baseline, 20000, 20000, 40, true)},
        {"progressive cut short", jpeg_claiming(progressive, 20000, 20000, 20, false)},
        {"progressive ended by a marker", jpeg_claiming(progressive, 20000, 20000, 20, true)},
        {"arithmetic cut short", jpeg_claiming(arithmetic, 20000, 20000, 20, false)},
        {"arithmetic restarts ended by a marker", jpeg_claiming(arithmetic_restarts, 20000, 20000, 20, true)},
        {"wide and short", jpeg_claiming(baseline, 65500, 2000, 40, false)},
    };
    for (const auto &f : files) {
        const std::string text = load_hostile(f.second, false);
        EXPECT_NE(text.find("jpeg data ends too early for its "), std::string::npos) << f.first << ": " << text;
    }
}

// Genuine images of 12000 x 12000 pixels, far above every rule's threshold
// for made-up pixels and well within the pixel limit. Each file loads
// whole; `first` and `last` are its first and last pixels.
const uint32_t large_side = 12000;
const size_t large_count = size_t(large_side) * large_side;

void expect_large_image(const std::string &path, uint32_t first, uint32_t last, const char *printed = "")
{
    stderr_capture err;
    uint32_t w = 0, h = 0;
    uint32_t *pixels = load_image(path.c_str(), &w, &h);
    const std::string text = err.text();
    ASSERT_NE(pixels, nullptr) << path << ": " << text;
    EXPECT_EQ(w, large_side);
    EXPECT_EQ(h, large_side);
    EXPECT_EQ(pixels[0], first) << path;
    EXPECT_EQ(pixels[large_count - 1], last) << path;
    EXPECT_EQ(text, printed) << path;
    free_image(pixels);
}

#define SKIP_UNDER_ASAN()                                                                                    \
    if (under_asan)                                                                                          \
    GTEST_SKIP() << "hundreds of megabytes an image: too slow under the sanitizers"

TEST(genuine_large_images, flat_jpegs_load_arithmetic_coded_or_not)
{
    SKIP_UNDER_ASAN();
    // Flat grey: a few hundred bytes with arithmetic coding, whose encoder
    // leaves out the zero bytes at the end of the data, so its decoder meets
    // the end of the file long before the last row.
    jpeg_recipe r;
    r.width = r.height = large_side;
    r.components = 1;
    r.space = JCS_GRAYSCALE;
    r.flat = r.arithmetic = true;
    const bytes arithmetic = encode_jpeg(r);
    EXPECT_LT(arithmetic.size(), 1000u);
    r.arithmetic = false;
    scratch_dir dir;
    write_file(dir.file("arithmetic"), arithmetic);
    write_file(dir.file("huffman"), encode_jpeg(r));
    expect_large_image(dir.file("arithmetic"), 0xFF808080u, 0xFF808080u);
    expect_large_image(dir.file("huffman"), 0xFF808080u, 0xFF808080u);
}

TEST(genuine_large_images, png_loads)
{
    SKIP_UNDER_ASAN();
    scratch_dir dir;
    write_zero_png(dir.file("png"), large_side, large_side, PNG_COLOR_TYPE_RGB_ALPHA, 1);
    expect_large_image(dir.file("png"), 0u, 0u);
}

// A TGA file of width x height 24-bit pixels of which only the first
// `pixel_bytes` bytes are there, all zero, then the footer. The pixel area is
// a hole in the file, so the file costs no disk space.
void write_sparse_tga(const std::string &path, uint16_t width, uint16_t height, size_t pixel_bytes)
{
    const bytes head = tga_file({width, height}, {});
    const size_t header = 18;
    write_file(path, bytes(head.begin(), head.begin() + header));
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(header + pixel_bytes)), 0);
    FILE *f = fopen(path.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    fwrite(head.data() + header, 1, head.size() - header, f);
    fclose(f);
}

TEST(genuine_large_images, tga_loads_whole_or_cut_at_ninety_percent)
{
    SKIP_UNDER_ASAN();
    scratch_dir dir;
    write_sparse_tga(dir.file("whole"), large_side, large_side, large_count * 3);
    expect_large_image(dir.file("whole"), 0xFF000000u, 0xFF000000u);
    // 14.4 million pixels short: made up as zeros.
    write_sparse_tga(dir.file("cut"), large_side, large_side, large_count * 3 / 10 * 9);
    expect_large_image(dir.file("cut"), 0xFF000000u, 0u);
}

TEST(hostile_sizes, every_reader_refuses_an_image_above_the_pixel_limit_from_its_header)
{
    EXPECT_EQ(get_image_max_pixels(), uint64_t(1) << 29);
    const std::string message = " pixels is larger than the limit of 536870912 pixels\n";
    const std::pair<std::string, bytes> huge[] = {
        {"65535 x 65535", png_claiming(65535, 65535, 8, PNG_COLOR_TYPE_RGB_ALPHA, 0)},
        {"65500 x 65500", jpeg_claiming(encode_jpeg({}), 65500, 65500, 40, false)},
        {"65535 x 65535", tga_file({65535, 65535}, {1, 2, 3})},
        {"23171 x 23171", jpeg_claiming(encode_jpeg({}), 23171, 23171, 40, false)},
    };
    for (const auto &f : huge)
        EXPECT_EQ(load_hostile(f.second, false), "image of " + f.first + message);

    // A limit of the caller's: an image of exactly that many pixels loads in
    // every format, one more row is refused; 0 lifts the limit.
    scratch_dir dir;
    write_zero_png(dir.file("png"), 64, 49);
    jpeg_recipe r;
    r.height = 49;
    write_file(dir.file("jpeg"), encode_jpeg(r));
    write_file(dir.file("tga"), tga_file({64, 49}, bytes(64 * 49 * 3, 7)));
    for (const char *format : {"png", "jpeg", "tga"}) {
        for (const uint64_t limit : {uint64_t(64 * 49), uint64_t(64 * 48), uint64_t(0)}) {
            settings_guard keep;
            set_image_max_pixels(limit);
            EXPECT_EQ(get_image_max_pixels(), limit);
            stderr_capture err;
            uint32_t w = 0, h = 0;
            uint32_t *pixels = load_image(dir.file(format).c_str(), &w, &h);
            const std::string text = err.text();
            if (limit == 64 * 48) {
                EXPECT_EQ(pixels, nullptr) << format;
                EXPECT_EQ(text, "image of 64 x 49 pixels is larger than the limit of 3072 pixels\n") << format;
            } else {
                EXPECT_NE(pixels, nullptr) << format << " under a limit of " << limit << ": " << text;
            }
            free_image(pixels);
        }
    }

    // A PNG stream that cannot be looked ahead in is held to the limit too.
    const bytes png = read_file(dir.file("png"));
    FILE *stream = fmemopen(const_cast<unsigned char *>(png.data()), png.size(), "rb");
    ASSERT_NE(stream, nullptr);
    cookie_io_functions_t forward_only = {};
    forward_only.read = [](void *c, char *buf, size_t n) -> ssize_t { return fread(buf, 1, n, static_cast<FILE *>(c)); };
    forward_only.close = [](void *c) { return fclose(static_cast<FILE *>(c)); };
    FILE *pipe_like = fopencookie(stream, "rb", forward_only);
    ASSERT_NE(pipe_like, nullptr);
    ASSERT_TRUE(check_png(pipe_like));
    settings_guard keep;
    set_image_max_pixels(64 * 48);
    stderr_capture err;
    uint32_t w = 0, h = 0;
    EXPECT_EQ(load_png(pipe_like, &w, &h), nullptr);
    EXPECT_EQ(err.text(), "image of 64 x 49 pixels is larger than the limit of 3072 pixels\n");
}

TEST(hostile_sizes, jpeg_memory_ceiling_leaves_room_for_the_largest_image_within_the_limit)
{
    // Progressive 4:4:4 colour needs the most of libjpeg's own memory per
    // pixel: a whole-image buffer of every component's coefficients.
    jpeg_recipe r;
    r.width = r.height = 1024;
    r.progressive = r.full_chroma = true;
    const bytes jpeg = encode_jpeg(r);
    settings_guard keep;
    set_image_max_pixels(1024 * 1024);
    uint32_t w = 0, h = 0;
    uint32_t *pixels = nullptr;
    load_hostile(jpeg, true, &w, &h, &pixels);
    EXPECT_EQ(w, 1024u);
    free_image(pixels);
}

TEST(hostile_scans, jpeg_scans_are_limited_in_number_and_in_passes_over_the_image)
{
    // Grey: each scan goes over the whole image, one coefficient at a time.
    std::vector<jpeg_scan_info> passes = {scan_of(0, 1, 0, 0)};
    for (int k = 1; k < 32; ++k)
        passes.push_back(scan_of(0, 1, k, k));
    const bytes thirty_two = jpeg_with_scans(passes);
    passes.push_back(scan_of(0, 1, 32, 32));
    const bytes thirty_three = jpeg_with_scans(passes);
    // Colour 4:2:0: after the DC and the luminance, each chroma scan covers a
    // sixth of the blocks; 100 scans go over the image 18 times.
    std::vector<jpeg_scan_info> many = {scan_of(0, 3, 0, 0), scan_of(0, 1, 1, 63)};
    for (int k = 1; k <= 49; ++k) {
        many.push_back(scan_of(1, 1, k, k));
        many.push_back(scan_of(2, 1, k, k));
    }
    const bytes hundred = jpeg_with_scans(many, 3);
    many.push_back(scan_of(1, 1, 50, 50));
    const bytes hundred_and_one = jpeg_with_scans(many, 3);

    for (const bytes *fine : {&thirty_two, &hundred})
        EXPECT_EQ(load_hostile(*fine, true), "");
    EXPECT_EQ(load_hostile(thirty_three, false), "jpeg scans go over the image more than 32 times\n");
    EXPECT_EQ(load_hostile(hundred_and_one, false), "jpeg file has more than 100 scans\n");

    // The same files claiming a large image: still refused before the scans
    // are decoded, the number of them known from the file's markers.
    const bytes claiming = jpeg_claiming(thirty_three, 16384, 16384, SIZE_MAX, false);
    EXPECT_EQ(load_hostile(claiming, false), "jpeg scans go over the image more than 32 times\n");
    // Behind a comment or an application segment whose length field is below
    // 2, which libjpeg reads on past, skipping nothing, the census goes on too.
    for (const bytes &segment : {bytes{0xFF, 0xFE, 0, 0}, bytes{0xFF, 0xE5, 0, 1}}) {
        bytes f = claiming;
        f.insert(f.begin() + 4 + (f[4] << 8 | f[5]), segment.begin(), segment.end()); // after APP0
        EXPECT_EQ(load_hostile(f, false), "jpeg scans go over the image more than 32 times\n");
    }
}

// A stream that reads as `first` until it is rewound to the start twice (the
// reader's own seek, then its census's), and as `second` from then on: a
// file rewritten while it is loaded.
struct changing_file {
    const bytes *first, *second;
    size_t pos = 0;
    int rewinds = 0;
    size_t bytes_read = 0;
};

FILE *open_changing(changing_file *f)
{
    cookie_io_functions_t io = {};
    io.read = [](void *c, char *buf, size_t n) -> ssize_t {
        changing_file *f = static_cast<changing_file *>(c);
        const bytes &b = f->rewinds >= 2 ? *f->second : *f->first;
        const size_t got = f->pos < b.size() ? std::min(n, b.size() - f->pos) : 0;
        memcpy(buf, b.data() + f->pos, got);
        f->pos += got;
        f->bytes_read += got;
        return static_cast<ssize_t>(got);
    };
    io.seek = [](void *c, off64_t *offset, int whence) -> int {
        changing_file *f = static_cast<changing_file *>(c);
        if (whence != SEEK_SET)
            return -1;
        f->pos = static_cast<size_t>(*offset);
        f->rewinds += f->pos == 0;
        return 0;
    };
    return fopencookie(f, "rb", io);
}

TEST(hostile_scans, jpeg_scan_limits_hold_for_the_scans_libjpeg_meets)
{
    // The census before the decode saw a harmless file; libjpeg's progress
    // then counts what it really reads.
    std::vector<jpeg_scan_info> passes = {scan_of(0, 1, 0, 0)};
    for (int k = 1; k <= 32; ++k)
        passes.push_back(scan_of(0, 1, k, k));
    const bytes harmless = encode_jpeg({}), hostile = jpeg_with_scans(passes);
    changing_file f = {&harmless, &hostile};
    FILE *stream = open_changing(&f);
    ASSERT_NE(stream, nullptr);
    stderr_capture err;
    uint32_t w = 0, h = 0;
    EXPECT_EQ(load_jpeg(stream, &w, &h), nullptr);
    EXPECT_EQ(err.text(), "jpeg scans go over the image more than 32 times\n");
    EXPECT_EQ(f.rewinds, 2);
}

TEST(hostile_sizes, png_data_going_on_after_the_last_row_is_left_unread)
{
    // A 1 x 1 image whose compressed data goes on for 4 MiB after its row, in
    // one chunk or in chunks of 64 KiB: at most 64 KiB more is read.
    bytes raw = {0, 0x11, 0x22, 0x33};
    raw.resize(raw.size() + (4 << 20), 0x5A);
    uLongf size = compressBound(raw.size());
    bytes data(size);
    ASSERT_EQ(compress2(data.data(), &size, raw.data(), raw.size(), 0), Z_OK);
    data.resize(size);
    for (const size_t chunk : {SIZE_MAX, size_t(65536)}) {
        const bytes png = png_of(1, 1, 8, PNG_COLOR_TYPE_RGB, 0, data, chunk);
        changing_file f = {&png, &png};
        FILE *stream = open_changing(&f);
        ASSERT_TRUE(check_png(stream));
        stderr_capture err;
        uint32_t w = 0, h = 0;
        uint32_t *pixels = load_png(stream, &w, &h);
        ASSERT_NE(pixels, nullptr);
        EXPECT_EQ(pixels[0], 0xFF112233u);
        EXPECT_LT(f.bytes_read, size_t(128) << 10) << chunk;
        EXPECT_EQ(err.text(), "");
        free_image(pixels);
    }
}

// With IMAGE_READ_ANY, grey and palette images meet every limit RGB ones do:
// the pixel limit and the amount of data, from the header before libpng
// decodes anything; a file whose data ends early fails; what follows the last
// row is left unread.
TEST(hostile_sizes, png_of_every_colour_type_keeps_the_limits_with_the_any_flag)
{
    const struct {
        int depth, type;
        bytes row; // the first row's samples
        uint32_t pixel;
    } kinds[] = {{1, PNG_COLOR_TYPE_GRAY, {0x80}, 0xFFFFFFFFu},
                 {8, PNG_COLOR_TYPE_GRAY, {0x11}, 0xFF111111u},
                 {16, PNG_COLOR_TYPE_GRAY, {0x11, 0x22}, 0xFF111111u},
                 {8, PNG_COLOR_TYPE_GRAY_ALPHA, {0x11, 0x80}, 0x80111111u},
                 {2, PNG_COLOR_TYPE_PALETTE, {0x40}, 0xFF112233u},
                 {8, PNG_COLOR_TYPE_PALETTE, {0x01}, 0xFF112233u}};
    // Palette images get two entries, the second 0x112233, before their data.
    const auto with_palette = [](bytes png, int type) {
        bytes plte;
        if (type == PNG_COLOR_TYPE_PALETTE)
            put_chunk(plte, "PLTE", {0, 0, 0, 0x11, 0x22, 0x33});
        png.insert(png.begin() + 33, plte.begin(), plte.end());
        return png;
    };
    bytes raw(4 << 20, 0x5A);
    read_flags_scope any(IMAGE_READ_ANY);
    for (const auto &k : kinds) {
        const std::string kind = std::to_string(k.depth) + "-bit type " + std::to_string(k.type);
        EXPECT_EQ(load_hostile(with_palette(png_claiming(65535, 65535, k.depth, k.type, 0), k.type), false),
                  "image of 65535 x 65535 pixels is larger than the limit of 536870912 pixels\n")
            << kind;
        EXPECT_NE(load_hostile(with_palette(png_claiming(20000, 20000, k.depth, k.type, 0), k.type), false)
                      .find("libpng error: Not enough image data for a 20000 x 20000 image"),
                  std::string::npos)
            << kind;
        const bytes whole = with_palette(png_claiming(2, 2, k.depth, k.type, 0), k.type);
        load_hostile(bytes(whole.begin(), whole.end() - 25), false);
        EXPECT_NE(std::string(image_error()).find(": Read Error: the file ends too early"), std::string::npos)
            << kind << ": " << image_error();

        // A 1 x 1 image whose data goes on for 4 MiB after its row.
        raw[0] = 0;
        std::copy(k.row.begin(), k.row.end(), raw.begin() + 1);
        uLongf size = compressBound(raw.size());
        bytes data(size);
        ASSERT_EQ(compress2(data.data(), &size, raw.data(), raw.size(), 0), Z_OK);
        data.resize(size);
        const bytes png = with_palette(png_of(1, 1, k.depth, k.type, 0, data), k.type);
        changing_file f = {&png, &png};
        FILE *stream = open_changing(&f);
        ASSERT_TRUE(check_png(stream));
        uint32_t w = 0, h = 0;
        uint32_t *pixels = load_png(stream, &w, &h);
        ASSERT_NE(pixels, nullptr) << kind;
        EXPECT_EQ(pixels[0], k.pixel) << kind;
        EXPECT_LT(f.bytes_read, size_t(128) << 10) << kind;
        free_image(pixels);
    }
}

TEST(hostile_sizes, a_flood_of_warnings_prints_five_lines_and_a_count)
{
    // 100 empty chunks of no known kind after the header, each with a wrong
    // checksum.
    bytes png = png_claiming(1, 1, 8, PNG_COLOR_TYPE_RGB, 0);
    const bytes bad_crc = {0, 0, 0, 0, 'z', 'z', 'Z', 'z', 0, 0, 0, 0};
    for (int i = 0; i < 100; ++i)
        png.insert(png.begin() + 33, bad_crc.begin(), bad_crc.end());
    std::string warnings;
    for (int i = 0; i < 5; ++i)
        warnings += "libpng warning: zzZz: CRC error\n";
    EXPECT_EQ(load_hostile(png, true), warnings + "... and 95 more warnings\n");
}

TEST(hostile_scans, jpeg_progression_refining_what_was_never_sent_fails)
{
    // The AC scans without the DC scan before them: what a few bytes of
    // end-of-block runs claiming a huge image look like.
    const std::vector<jpeg_scan_info> scans = {scan_of(0, 1, 0, 0), scan_of(0, 1, 1, 63)};
    const bytes no_dc = without_scan(jpeg_with_scans(scans), 0);
    const std::string message = "Inconsistent progression sequence for component 0 coefficient 0\n";
    EXPECT_EQ(load_hostile(no_dc, false), message);
    EXPECT_EQ(load_hostile(jpeg_claiming(no_dc, 20000, 20000, SIZE_MAX, false), false), message);
}

TEST(hostile_sizes, jpeg_cut_short_still_loads_when_little_is_missing)
{
    // A 2048 x 2048 file cut at two thirds, and one claiming 8192 x 8192
    // (the largest that libjpeg may fill in): both come back, the first with
    // its top rows exactly as in the whole file.
    jpeg_recipe r;
    r.width = r.height = 2048;
    const bytes whole = encode_jpeg(r);
    scratch_dir dir;
    write_file(dir.file("whole"), whole);
    uint32_t w = 0, h = 0;
    uint32_t *full = load_image(dir.file("whole").c_str(), &w, &h);
    ASSERT_NE(full, nullptr);
    uint32_t *cut = nullptr;
    const std::string text = load_hostile(bytes(whole.begin(), whole.begin() + whole.size() * 2 / 3), true, &w, &h, &cut);
    EXPECT_NE(text.find("Premature end of JPEG file"), std::string::npos) << text;
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(memcmp(cut, full, size_t(2048) * 512 * 4), 0) << "the rows the file holds differ";
    free_image(cut);
    free_image(full);

    stderr_capture quiet;
    write_file(dir.file("claims"), jpeg_claiming(encode_jpeg({}), 8192, 8192, 40, false));
    uint32_t *filled = load_image(dir.file("claims").c_str(), &w, &h);
    EXPECT_NE(filled, nullptr);
    free_image(filled);
}

TEST(hostile_sizes, complete_jpeg_larger_than_the_fill_limit_loads_the_same_both_ways)
{
    // 67.24 million pixels: above the 2^26 of the rule, and large enough that
    // the buffer grows as rows come rather than being allocated at once.
    jpeg_recipe r;
    r.width = 8200;
    r.height = 8200;
    scratch_dir dir;
    write_file(dir.file("big"), encode_jpeg(r));
    stderr_capture err;
    uint32_t w = 0, h = 0;
    uint32_t *pixels = load_image(dir.file("big").c_str(), &w, &h);
    ASSERT_NE(pixels, nullptr) << err.text();
    EXPECT_EQ(w, 8200u);
    EXPECT_EQ(h, 8200u);
    const size_t count = size_t(8200) * 8200;
    EXPECT_EQ(pixels[count - 1] >> 24, 0xFFu);

    FILE *stream = fopen(dir.file("big").c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    uint32_t *by_rgb_rows = load_jpeg_rgb(stream, &w, &h);
    ASSERT_NE(by_rgb_rows, nullptr);
    EXPECT_EQ(memcmp(pixels, by_rgb_rows, count * 4), 0);
    free_image(by_rgb_rows);

    // The same coefficients in progressive scans, arithmetic-coded: the
    // decoder reads the marker after each scan while finishing it, which the
    // rule must not take for data running out.
    r.progressive = r.arithmetic = true;
    write_file(dir.file("big"), encode_jpeg(r));
    uint32_t *progressive = load_image(dir.file("big").c_str(), &w, &h);
    ASSERT_NE(progressive, nullptr);
    EXPECT_EQ(memcmp(pixels, progressive, count * 4), 0);
    EXPECT_EQ(err.text(), "");
    free_image(progressive);
    free_image(pixels);
}

} // namespace
