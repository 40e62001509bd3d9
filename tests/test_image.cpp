// test_image.cpp - the library's front end: opening and probing, the save
// dispatch with its messages, the untouched-target guarantee, the save flags,
// the reason recorded for every failure, and loads and saves from many threads.
#include "image.h"
#include "jpeg_writer.h"
#include "png_writer.h"
#include "test_util.h"
#include "tga_writer.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

extern "C" int c_header_round_trip(void);

namespace {

const uint32_t two_pixels[2] = {0xFF0000FFu, 0x80FF0000u};

// Each entry of a folder by name: its bytes, or where it points.
std::map<std::string, std::string> folder_contents(const std::string &dir)
{
    std::map<std::string, std::string> out;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        const std::vector<unsigned char> bytes = e.is_symlink() ? std::vector<unsigned char>() : read_file(e.path());
        out[e.path().filename()] = e.is_symlink() ? "-> " + std::filesystem::read_symlink(e.path()).string()
                                                  : std::string(bytes.begin(), bytes.end());
    }
    return out;
}

// What changed from one listing of a folder to another, short enough to
// read in a failure: the names that appeared or went, and for each entry
// whose content changed its sizes and the first offset that differs; "" when
// nothing did.
std::string folder_changes(const std::map<std::string, std::string> &before,
                           const std::map<std::string, std::string> &after)
{
    std::ostringstream out;
    for (const auto &[name, was] : before)
        if (!after.count(name))
            out << "gone: " << name << "\n";
    for (const auto &[name, is] : after) {
        const auto old = before.find(name);
        if (old == before.end()) {
            out << "appeared: " << name << " (" << is.size() << " bytes)\n";
        } else if (old->second != is) {
            const size_t at = std::mismatch(is.begin(), is.begin() + std::min(is.size(), old->second.size()),
                                            old->second.begin()).first - is.begin();
            out << "changed: " << name << ", " << old->second.size() << " bytes before and " << is.size()
                << " after, first differing at offset " << at;
            if (at < is.size() && at < old->second.size())
                out << " (" << int(uint8_t(old->second[at])) << " before, " << int(uint8_t(is[at])) << " after)";
            out << "\n";
        }
    }
    return out.str();
}

const uid_t nobody = 65534;

} // namespace

TEST(load_image, missing_file_is_reported_with_its_name)
{
    uint32_t w, h;
    stderr_capture err;
    EXPECT_EQ(load_image("no/such/file.png", &w, &h), nullptr);
    EXPECT_EQ(err.text(), "Image loading error: could not open file no/such/file.png\n");
    EXPECT_STREQ(image_error(), "no/such/file.png: No such file or directory");
    EXPECT_EQ(get_image_messages(), 1);
    settings_guard keep;
    set_image_messages(0);
    stderr_capture quiet;
    EXPECT_EQ(load_image("no/such/file.png", &w, &h), nullptr);
    EXPECT_EQ(quiet.text(), "");
    EXPECT_STREQ(image_error(), "no/such/file.png: No such file or directory");
}

TEST(load_image, unreadable_file_has_the_same_message_and_its_own_reason)
{
    scratch_dir dir;
    const std::string path = dir.file("locked.png");
    write_file(path, {1, 2, 3});
    chmod(path.c_str(), 0);
    // Returns what went wrong, or nothing.
    auto check = [&path]() -> std::string {
        uint32_t w, h;
        stderr_capture err;
        if (load_image(path.c_str(), &w, &h))
            return "it loaded";
        if (err.text() != "Image loading error: could not open file " + path + "\n")
            return "message: " + err.text();
        if (image_error() != path + ": Permission denied")
            return std::string("reason: ") + image_error();
        return "";
    };
    if (geteuid() != 0) {
        EXPECT_EQ(check(), "");
        return;
    }
    // Root reads files whatever their permissions (and CI runs as root): try
    // from a child that has given its privileges up.
    chmod(dir.path.c_str(), 0755);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(out[0]);
        const std::string problem = setgid(65534) || setuid(65534) ? "could not give up root" : check();
        (void)!write(out[1], problem.data(), problem.size());
        _exit(0);
    }
    close(out[1]);
    std::string problem;
    char buf[256];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        problem.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(problem, "");
}

TEST(load_image, unrecognised_content_fails_silently_with_a_reason_and_closes_the_file)
{
    scratch_dir dir;
    const int fds = open_fd_count();
    const std::string not_an_image = ": not a PNG, JFIF JPEG or TGA image";
    const struct {
        std::vector<unsigned char> bytes;
        std::string reason;
    } cases[] = {
        {{}, ": the file is empty"},
        {{'h', 'e', 'l', 'l', 'o'}, not_an_image},
        {std::vector<unsigned char>(100, 0), not_an_image},
        // A TGA header with no footer: TGA is recognised by its footer only.
        {tga_file({1, 1}, {1, 2, 3}, false), ": TGA files without the version 2 footer are not supported"},
        // Exif and Adobe (CMYK) JPEG starts: only JFIF is recognised.
        {{0xFF, 0xD8, 0xFF, 0xE1, 0, 16, 'E', 'x', 'i', 'f', 0, 0},
         ": JPEG files without a JFIF header (Exif or Adobe ones, for instance) are not supported"},
        {{0xFF, 0xD8, 0xFF, 0xEE, 0, 14, 'A', 'd', 'o', 'b', 'e', 0},
         ": JPEG files without a JFIF header (Exif or Adobe ones, for instance) are not supported"},
    };
    for (const auto &c : cases) {
        write_file(dir.file("x"), c.bytes);
        uint32_t w, h;
        stderr_capture err;
        EXPECT_EQ(load_image(dir.file("x").c_str(), &w, &h), nullptr);
        EXPECT_EQ(err.text(), "");
        EXPECT_EQ(image_error(), dir.file("x") + c.reason);
    }
    {
        // A folder opens for reading but holds no bytes to read.
        uint32_t w, h;
        stderr_capture err;
        EXPECT_EQ(load_image(dir.path.c_str(), &w, &h), nullptr);
        EXPECT_EQ(err.text(), "");
        EXPECT_EQ(image_error(), dir.path + ": Is a directory");
    }
    EXPECT_EQ(open_fd_count(), fds);
}

// Runs `read` on the path of a pipe that a thread fills with `content` and
// then ends, as another program fills a program's standard input.
template <typename Read>
void through_pipe(const std::vector<unsigned char> &content, Read read)
{
    signal(SIGPIPE, SIG_IGN); // for the writers of pipes whose reader stops early
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::thread writer([&] {
        for (size_t done = 0; done < content.size();) {
            const ssize_t n = write(ends[1], content.data() + done, content.size() - done);
            if (n <= 0)
                break; // the reader stopped early
            done += static_cast<size_t>(n);
        }
        close(ends[1]);
    });
    read("/dev/fd/" + std::to_string(ends[0]));
    close(ends[0]);
    writer.join();
}

// One image of 300 x 200 pixels, more than a pipe holds at once, as a PNG, a
// JPEG and a TGA file, written once for the tests that read them through
// memory and pipes.
const int source_width = 300, source_height = 200;
struct source_file {
    std::string path;
    unsigned format;
};

const std::vector<source_file> &source_files()
{
    static const scratch_dir dir;
    static const std::vector<source_file> files = [] {
        const int width = source_width, height = source_height;
        std::vector<unsigned char> rgb(size_t(width) * height * 3);
        for (size_t i = 0; i < rgb.size(); ++i)
            rgb[i] = static_cast<unsigned char>(i * 7 + i / 191);
        write_png(dir.file("p"), {uint32_t(width), uint32_t(height)}, [&](uint32_t y, png_byte *row) {
            memcpy(row, rgb.data() + size_t(y) * width * 3, size_t(width) * 3);
        });
        write_file(dir.file("j"), compress_jpeg(width, height, 3, JCS_RGB, [](jpeg_compress_struct &) {},
                                                [&](int x, int y, int k) { return rgb[(size_t(y) * width + x) * 3 + k]; }));
        uint32_t w = 0, h = 0;
        uint32_t *pixels = load_image(dir.file("p").c_str(), &w, &h);
        save_image(dir.file("t").c_str(), pixels, w, h, IMAGE_FORMAT_TGA);
        free_image(pixels);
        return std::vector<source_file>{
            {dir.file("p"), IMAGE_FORMAT_PNG}, {dir.file("j"), IMAGE_FORMAT_JPEG}, {dir.file("t"), IMAGE_FORMAT_TGA}};
    }();
    return files;
}

const std::string &source_tga()
{
    return source_files()[2].path;
}

// The pixels a load of `path` gives; none when it fails, which the test
// is told with the reason.
std::vector<uint32_t> loaded(const std::string &path)
{
    uint32_t w = 0, h = 0;
    uint32_t *pixels = load_image(path.c_str(), &w, &h);
    EXPECT_NE(pixels, nullptr) << path << ": " << image_error();
    std::vector<uint32_t> out(pixels, pixels + (pixels ? size_t(w) * h : 0));
    free_image(pixels);
    return out;
}

TEST(load_image_memory, loads_the_same_pixels_as_the_file)
{
    for (const source_file &f : source_files()) {
        const std::vector<unsigned char> bytes = read_file(f.path);
        uint32_t w = 0, h = 0;
        uint32_t *memory = load_image_memory(bytes.data(), bytes.size(), &w, &h);
        ASSERT_NE(memory, nullptr) << f.path << ": " << image_error();
        EXPECT_EQ(std::vector<uint32_t>(memory, memory + size_t(w) * h), loaded(f.path)) << f.path;
        free_image(memory);
    }
}

TEST(load_image_memory, success_clears_the_reason_of_the_last_failure)
{
    for (const source_file &f : source_files()) {
        const std::vector<unsigned char> bytes = read_file(f.path);
        uint32_t w, h;
        {
            stderr_capture quiet;
            EXPECT_EQ(load_image("missing", &w, &h), nullptr);
        }
        free_image(load_image_memory(bytes.data(), bytes.size(), &w, &h));
        EXPECT_STREQ(image_error(), "") << f.path;
    }
}

TEST(load_image_memory, data_holding_no_image_is_refused_with_its_reason)
{
    uint32_t w, h;
    EXPECT_EQ(load_image_memory("", 0, &w, &h), nullptr);
    EXPECT_STREQ(image_error(), "memory: the data is empty");
    EXPECT_EQ(load_image_memory("junk", 4, &w, &h), nullptr);
    EXPECT_STREQ(image_error(), "memory: not a PNG, JFIF JPEG or TGA image");
}

TEST(load_image, pipes_load_the_same_pixels_as_the_file)
{
    for (const source_file &f : source_files())
        through_pipe(read_file(f.path), [&](const std::string &path) {
            EXPECT_EQ(loaded(path), loaded(f.path)) << f.path;
        });
}

TEST(image_info, pipes_give_the_format_and_size)
{
    for (const source_file &f : source_files())
        through_pipe(read_file(f.path), [&](const std::string &path) {
            uint32_t w = 0, h = 0;
            unsigned int format = 9;
            EXPECT_EQ(image_info(path.c_str(), &w, &h, &format), 0) << f.path << ": " << image_error();
            EXPECT_EQ(format, f.format);
            EXPECT_EQ(w, uint32_t(source_width)) << f.path;
            EXPECT_EQ(h, uint32_t(source_height)) << f.path;
        });
}

// A piped PNG is refused from its header chunk as a file is, before libpng
// reads it (this one's checksum is damaged).
TEST(load_image, piped_png_is_refused_from_its_header_chunk)
{
    through_pipe(read_file(CORPUS_DIR "/png/pngsuite/xhdn0g08.png"), [&](const std::string &path) {
        uint32_t w, h;
        EXPECT_EQ(load_image(path.c_str(), &w, &h), nullptr);
        EXPECT_EQ(image_error(), path + ": grey PNG images are not supported");
    });
}

// A stream no PNG or JPEG probe takes is read to its end for a TGA footer,
// but not past what a TGA file with its header can take (here 1 x 1).
TEST(load_image, endless_stream_is_read_no_further_than_a_tga_can_take)
{
    std::vector<unsigned char> endless = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 24, 0};
    endless.resize(3 << 20, 'y');
    through_pipe(endless, [&](const std::string &path) {
        uint32_t w, h;
        EXPECT_EQ(load_image(path.c_str(), &w, &h), nullptr);
        EXPECT_EQ(image_error(), path + ": not a PNG or JFIF JPEG image, and the stream goes on past the 2097200 "
                                        "bytes a TGA image with its header can take");
    });
}

// The headers are read only so far: libjpeg skips the bytes between markers
// without end.
TEST(image_info, endless_jpeg_header_is_read_no_further_than_16_mib)
{
    std::vector<unsigned char> endless_header = read_file(source_files()[1].path);
    endless_header.resize(20); // SOI and APP0
    endless_header.resize((17 << 20) + 20, 'y');
    through_pipe(endless_header, [&](const std::string &path) {
        uint32_t w, h;
        unsigned int format;
        stderr_capture quiet;
        EXPECT_EQ(image_info(path.c_str(), &w, &h, &format), -1);
        EXPECT_EQ(image_error(), path + ": the stream goes on past the 16777216 bytes read for the headers of a "
                                        "JPEG image");
    });
}

// A piped TGA image above the pixel limit is not held: its load ends with the
// limit's message...
TEST(load_image, piped_tga_above_the_pixel_limit_is_refused_with_the_limits_message)
{
    const std::vector<unsigned char> tga = read_file(source_tga());
    settings_guard keep;
    set_image_max_pixels(source_width * source_height - 1);
    through_pipe(tga, [&](const std::string &path) {
        uint32_t w, h;
        stderr_capture err;
        EXPECT_EQ(load_image(path.c_str(), &w, &h), nullptr);
        EXPECT_EQ(err.text(), "image of 300 x 200 pixels is larger than the limit of 59999 pixels\n");
    });
}

// ... and its headers still give its size.
TEST(image_info, piped_tga_above_the_pixel_limit_still_gives_its_size)
{
    const std::vector<unsigned char> tga = read_file(source_tga());
    settings_guard keep;
    set_image_max_pixels(source_width * source_height - 1);
    through_pipe(tga, [&](const std::string &path) {
        uint32_t w = 0, h = 0;
        unsigned int format;
        EXPECT_EQ(image_info(path.c_str(), &w, &h, &format), 0) << image_error();
        EXPECT_EQ(w, uint32_t(source_width));
    });
}

// What each flag writes is test_tga's; a process starts with none of them.
TEST(save_flags, start_at_zero_and_the_header_serves_c)
{
    EXPECT_EQ(get_image_save_flags(), 0);
    settings_guard keep; // the C side sets every setting and puts them back by hand
    EXPECT_TRUE(c_header_round_trip());
}

TEST(save_image, invalid_format_is_refused_before_any_file_is_touched)
{
    scratch_dir dir;
    write_file(dir.file("keep.tga"), {'o', 'l', 'd'});
    for (unsigned format : {3u, 4u, 0xFFFFFFFFu}) {
        stderr_capture err;
        EXPECT_EQ(save_image(dir.file("keep.tga").c_str(), two_pixels, 2, 1, format), -1);
        EXPECT_EQ(err.text(), "Image saving error: error saving " + dir.file("keep.tga") +
                                  ", invalid format specification");
        EXPECT_EQ(save_image(dir.file("new.tga").c_str(), two_pixels, 2, 1, format), -1);
    }
    EXPECT_EQ(read_file(dir.file("keep.tga")), (std::vector<unsigned char>{'o', 'l', 'd'}));
    EXPECT_EQ(entries_in(dir.path), 1);
    EXPECT_EQ(image_error(), dir.file("new.tga") + ": invalid format specification");
}

TEST(save_image, unimplemented_writers_say_so_and_leave_the_target_alone)
{
    scratch_dir dir;
    write_file(dir.file("keep"), {'o', 'l', 'd'});
    const struct {
        unsigned format;
        const char *message;
    } cases[] = {{IMAGE_FORMAT_PNG, "saving png files is not implemented yet"},
                 {IMAGE_FORMAT_JPEG, "saving jpeg files is not implemented yet\n"}};
    for (const auto &c : cases) {
        for (const char *name : {"keep", "new"}) {
            stderr_capture err;
            EXPECT_EQ(save_image(dir.file(name).c_str(), two_pixels, 2, 1, c.format), -1);
            EXPECT_EQ(err.text(), c.message);
        }
    }
    EXPECT_EQ(read_file(dir.file("keep")), (std::vector<unsigned char>{'o', 'l', 'd'}));
    EXPECT_EQ(entries_in(dir.path), 1); // no temporary file left behind
}

TEST(save_image, unopenable_path_is_reported_with_the_systems_reason)
{
    stderr_capture err;
    EXPECT_EQ(save_image("/no/such/dir/x.tga", two_pixels, 2, 1, IMAGE_FORMAT_TGA), -1);
    EXPECT_EQ(err.text(), "Image saving error: could not open file /no/such/dir/x.tga for writing\n");
    EXPECT_STREQ(image_error(), "/no/such/dir/x.tga: No such file or directory");

    scratch_dir dir;
    stderr_capture err2;
    EXPECT_EQ(save_image(dir.path.c_str(), two_pixels, 2, 1, IMAGE_FORMAT_TGA), -1);
    EXPECT_EQ(err2.text(), "Image saving error: could not open file " + dir.path + " for writing\n");
    EXPECT_EQ(image_error(), dir.path + ": Is a directory");
}

// Whatever stops a save, the folder keeps exactly what it had: a file that
// cannot hold the image (beside a name of 250 bytes, where a temporary name
// of its own would be too long), a folder or a file the caller may not write,
// another user's file, links in a loop, a null pixel buffer, the program
// killed while it writes. Each save runs in a child; where it says so, the
// child gives up root (the tests run as root) and saves as nobody.
TEST(save_image, a_failed_save_changes_nothing_in_the_folder)
{
    const bool root = geteuid() == 0;
    int held = -1; // open in the child too, through /proc/self/fd
    const struct {
        const char *what;
        std::string name;
        std::function<void(const std::string &folder, const std::string &file)> setup;
        bool as_nobody;
        uint32_t width, height;
        std::string reason; // empty: the child is killed while it writes
        bool no_buffer = false; // null for the pixels
    } cases[] = {
        {"too wide", std::string(246, 'x') + ".tga", nullptr, false, 70000, 1,
         "tga images cannot be larger than 65535 x 65535 pixels"},
        {"no pixels", "a.tga", nullptr, false, 0, 1, "tga images cannot be smaller than 1 x 1 pixels"},
        {"no pixel buffer", "a.tga", nullptr, false, 2, 1, "Invalid argument", true},
        {"read-only folder", "a.tga", [](const std::string &folder, const std::string &file) {
             chmod(file.c_str(), 0666);
             chmod(folder.c_str(), 0555);
         }, true, 2, 1, "no new file can be made beside it: Permission denied"},
        {"read-only file", "a.tga", [](const std::string &, const std::string &file) {
             (void)chown(file.c_str(), nobody, nobody);
             chmod(file.c_str(), 0444);
         }, true, 2, 1, "Permission denied"},
        {"another user's file", "a.tga", [](const std::string &, const std::string &file) {
             chmod(file.c_str(), 0666);
         }, true, 2, 1, "a new file cannot keep its owner, group and permissions: Operation not permitted"},
        {"link loop", "a.tga", [](const std::string &folder, const std::string &file) {
             unlink(file.c_str());
             symlink("b.tga", file.c_str());
             symlink("a.tga", (folder + "/b.tga").c_str());
         }, false, 2, 1, "Too many levels of symbolic links"},
        {"link to a deleted file", "a.tga", [&held](const std::string &folder, const std::string &file) {
             held = open((folder + "/gone.tga").c_str(), O_WRONLY | O_CREAT, 0644);
             unlink((folder + "/gone.tga").c_str());
             unlink(file.c_str());
             symlink(("/proc/self/fd/" + std::to_string(held)).c_str(), file.c_str());
         }, false, 2, 1, "the file it opens has no name to be replaced under: No such file or directory"},
        {"killed while writing", "a.tga", nullptr, false, 512, 512, ""},
    };
    const std::vector<uint32_t> pixels(70000 + 512 * 512, 0xFF336699u);
    scratch_dir dir;
    chmod(dir.path.c_str(), 0755);
    for (const auto &c : cases) {
        if (c.what == std::string("another user's file") && !root)
            continue; // the caller's own file
        const std::string folder = dir.file(c.what), file = folder + "/" + c.name;
        mkdir(folder.c_str(), 0777);
        chmod(folder.c_str(), 0777);
        write_file(file, {'o', 'l', 'd'});
        if (c.setup)
            c.setup(folder, file);
        const auto before = folder_contents(folder);

        int out[2];
        ASSERT_EQ(pipe(out), 0);
        const pid_t child = fork();
        if (child == 0) {
            if (c.as_nobody && root && (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0))
                _exit(2);
            if (c.reason.empty()) { // the file-size limit kills it at 64 KiB
                const rlimit size = {65536, 65536}, no_core = {0, 0};
                setrlimit(RLIMIT_FSIZE, &size);
                setrlimit(RLIMIT_CORE, &no_core);
                signal(SIGXFSZ, SIG_DFL);
            }
            dup2(open("/dev/null", O_WRONLY), 2);
            const int status =
                save_image(file.c_str(), c.no_buffer ? nullptr : pixels.data(), c.width, c.height, IMAGE_FORMAT_TGA);
            const std::string said = std::to_string(status) + " " + image_error();
            _exit(write(out[1], said.data(), said.size()) == ssize_t(said.size()) ? 0 : 3);
        }
        close(out[1]);
        std::string said;
        char block[512];
        for (ssize_t n; (n = read(out[0], block, sizeof block)) > 0;)
            said.append(block, n);
        close(out[0]);
        int status = 0;
        waitpid(child, &status, 0);
        if (c.reason.empty())
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << c.what << ": " << said;
        else
            EXPECT_EQ(said, "-1 " + file + ": " + c.reason) << c.what;
        EXPECT_EQ(folder_changes(before, folder_contents(folder)), "") << c.what;
        chmod(folder.c_str(), 0777);
    }
    close(held);
}

TEST(save_image, tga_round_trip_replaces_the_target_in_place)
{
    scratch_dir dir;
    const std::string path = dir.file("out.tga");
    write_file(path, std::vector<unsigned char>(1000, 'x'));
    chmod(path.c_str(), 0640);
    const bool root = geteuid() == 0;
    if (root) { // root saving over another user's file leaves it theirs
        ASSERT_EQ(chown(path.c_str(), nobody, nobody), 0);
    }
    {
        settings_guard keep;
        set_image_save_flags(IMAGE_SAVE_ALPHA);
        ASSERT_EQ(save_image(path.c_str(), two_pixels, 2, 1, IMAGE_FORMAT_TGA), 0);
    }
    uint32_t w = 0, h = 0;
    uint32_t *pixels = load_image(path.c_str(), &w, &h);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(w, 2u);
    EXPECT_EQ(h, 1u);
    EXPECT_EQ(pixels[0], two_pixels[0]);
    EXPECT_EQ(pixels[1], two_pixels[1]);
    free_image(pixels);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u); // an existing file keeps its permissions
    if (root) {
        EXPECT_TRUE(st.st_uid == nobody && st.st_gid == nobody);
    }
    EXPECT_EQ(entries_in(dir.path), 1);
}

TEST(save_image, new_files_get_the_usual_permissions_and_links_are_followed)
{
    scratch_dir dir;
    const mode_t old_mask = umask(022);
    ASSERT_EQ(save_image(dir.file("new.tga").c_str(), two_pixels, 2, 1, IMAGE_FORMAT_TGA), 0);
    umask(old_mask);
    struct stat st;
    ASSERT_EQ(stat(dir.file("new.tga").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // Saving through a symbolic link writes the file it points to, as a plain
    // open would, and keeps the link.
    write_file(dir.file("real.tga"), {'o', 'l', 'd'});
    ASSERT_EQ(symlink("real.tga", dir.file("link.tga").c_str()), 0);
    ASSERT_EQ(save_image(dir.file("link.tga").c_str(), two_pixels, 2, 1, IMAGE_FORMAT_TGA), 0);
    struct stat lst;
    ASSERT_EQ(lstat(dir.file("link.tga").c_str(), &lst), 0);
    EXPECT_TRUE(S_ISLNK(lst.st_mode));
    EXPECT_EQ(read_file(dir.file("real.tga")), read_file(dir.file("new.tga")));
    // A link to nothing makes the file it names, as open() does.
    ASSERT_EQ(symlink("made.tga", dir.file("dangling").c_str()), 0);
    ASSERT_EQ(save_image(dir.file("dangling").c_str(), two_pixels, 2, 1, IMAGE_FORMAT_TGA), 0);
    EXPECT_EQ(read_file(dir.file("made.tga")), read_file(dir.file("new.tga")));
    // The longest names are saved, and saved over, like any other.
    const std::string longest = dir.file(std::string(251, 'x') + ".tga");
    for (int round = 0; round < 2; ++round)
        ASSERT_EQ(save_image(longest.c_str(), two_pixels, 2, 1, IMAGE_FORMAT_TGA), 0) << image_error();
    EXPECT_EQ(entries_in(dir.path), 6);
}

TEST(save_image, devices_are_written_directly)
{
    // /dev/null cannot be replaced by renaming; it is written like a file.
    EXPECT_EQ(save_image("/dev/null", two_pixels, 2, 1, IMAGE_FORMAT_TGA), 0);
    // A full device must fail, not report success, and say why.
    stderr_capture err;
    EXPECT_EQ(save_image("/dev/full", two_pixels, 2, 1, IMAGE_FORMAT_TGA), -1);
    EXPECT_EQ(err.text(), "");
    EXPECT_STREQ(image_error(), "/dev/full: No space left on device");
    EXPECT_EQ(save_image("/dev/null", two_pixels, 2, 1, IMAGE_FORMAT_TGA), 0);
    EXPECT_STREQ(image_error(), "");
    // So is a pipe reached through /proc (/dev/stdout piped on): no name leads to it.
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    EXPECT_EQ(save_image(("/proc/self/fd/" + std::to_string(pipe_ends[1])).c_str(), two_pixels, 2, 1,
                         IMAGE_FORMAT_TGA), 0) << image_error();
    close(pipe_ends[1]);
    char bytes[64];
    EXPECT_EQ(read(pipe_ends[0], bytes, sizeof bytes), 50);
    close(pipe_ends[0]);
}

// Loads and saves from many threads at once: each thread gets its own pixels
// and its own reasons, and saves beside one shared target do not collide.
// ./test.sh also runs this under ThreadSanitizer, which fails it on any race.
TEST(threads, loads_and_saves_at_once_keep_their_pixels_and_reasons_apart)
{
    scratch_dir dir;
    const int width = 64, height = 48;
    std::vector<unsigned char> rgb(size_t(width) * height * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<unsigned char>(i * 7 + i / 191);
    ASSERT_TRUE(write_png(dir.file("p.png"), {width, height}, [&](uint32_t y, png_byte *row) {
        memcpy(row, &rgb[size_t(y) * width * 3], size_t(width) * 3);
    }));
    write_file(dir.file("j.jpg"),
               compress_jpeg(width, height, 3, JCS_RGB, [](jpeg_compress_struct &) {},
                             [&](int x, int y, int k) { return rgb[(size_t(y) * width + x) * 3 + k]; }));
    const std::string files[3] = {dir.file("p.png"), dir.file("j.jpg"), dir.file("t.tga")};
    std::vector<uint32_t> expected[3];
    for (int f = 0; f < 3; ++f) {
        uint32_t w = 0, h = 0;
        if (f == 2) {
            ASSERT_EQ(save_image(files[2].c_str(), expected[0].data(), width, height, IMAGE_FORMAT_TGA), 0);
        }
        uint32_t *pixels = load_image(files[f].c_str(), &w, &h);
        ASSERT_NE(pixels, nullptr) << files[f] << ": " << image_error();
        ASSERT_EQ(w * h, uint32_t(width * height));
        expected[f].assign(pixels, pixels + w * h);
        free_image(pixels);
    }

    const int thread_count = 8, rounds = 12;
    for (int t = 0; t < thread_count; ++t)
        write_file(dir.file("junk" + std::to_string(t)), {'j', 'u', 'n', 'k', static_cast<unsigned char>(t)});
    // One descriptor read by every thread: none may move its position, which
    // the others read from.
    const int shared_fd = open(files[0].c_str(), O_RDONLY);
    ASSERT_GE(shared_fd, 0);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            const std::string own = dir.file("t" + std::to_string(t) + ".tga");
            const std::string junk = dir.file("junk" + std::to_string(t));
            for (int r = 0; r < rounds; ++r) {
                const int f = (t + r) % 3;
                uint32_t w = 0, h = 0;
                uint32_t *pixels = load_image(files[f].c_str(), &w, &h);
                bool ok = pixels && w == uint32_t(width) && h == uint32_t(height) &&
                          std::equal(expected[f].begin(), expected[f].end(), pixels) && *image_error() == '\0';
                ok = ok && save_image(own.c_str(), pixels, w, h, IMAGE_FORMAT_TGA) == 0;
                ok = ok && save_image(dir.file("shared.tga").c_str(), pixels, w, h, IMAGE_FORMAT_TGA) == 0;
                free_image(pixels);
                ok = ok && !load_image(junk.c_str(), &w, &h) &&
                     image_error() == junk + ": not a PNG, JFIF JPEG or TGA image";
                pixels = load_image_fd(shared_fd, &w, &h);
                ok = ok && pixels && std::equal(expected[0].begin(), expected[0].end(), pixels);
                free_image(pixels);
                for (int i = 0; i < 100; ++i)
                    ok = ok && image_info_fd(shared_fd, &w, &h, nullptr) == 0 && w == uint32_t(width);
                if (!ok)
                    ++failures;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(lseek(shared_fd, 0, SEEK_CUR), 0);
    close(shared_fd);
    // Three sources, eight junk files, eight own outputs and the shared one:
    // no temporary file is left behind.
    EXPECT_EQ(entries_in(dir.path), 3 + 2 * thread_count + 1);
    uint32_t w = 0, h = 0;
    uint32_t *shared = load_image(dir.file("shared.tga").c_str(), &w, &h);
    ASSERT_NE(shared, nullptr);
    EXPECT_TRUE(std::equal(expected[0].begin(), expected[0].end(), shared) ||
                std::equal(expected[1].begin(), expected[1].end(), shared));
    free_image(shared);
}

namespace {

// The lines a handler was given, each with its kind.
using heard_lines = std::vector<std::pair<int, std::string>>;

void listen(void *context, int kind, const char *line)
{
    static_cast<heard_lines *>(context)->emplace_back(kind, line);
}

// A 1 x 1 PNG with `count` chunks of no known kind after its header, each with
// a wrong checksum: a warning apiece.
std::vector<unsigned char> png_with_bad_chunks(const scratch_dir &dir, int count)
{
    EXPECT_TRUE(write_png(dir.file("good.png"), {1, 1}));
    std::vector<unsigned char> png = read_file(dir.file("good.png"));
    const std::vector<unsigned char> bad_crc = {0, 0, 0, 0, 'z', 'z', 'Z', 'z', 0, 0, 0, 0};
    for (int i = 0; i < count; ++i)
        png.insert(png.begin() + 33, bad_crc.begin(), bad_crc.end());
    return png;
}

} // namespace

TEST(messages, reach_the_handler_with_their_kinds_and_the_default_prints_them_as_ever)
{
    scratch_dir dir;
    write_file(dir.file("warns.png"), png_with_bad_chunks(dir, 7));
    const std::string missing = dir.file("missing"), out = dir.file("out.tga");
    const std::string png_warning = "libpng warning: zzZz: CRC error";
    const int error = IMAGE_MESSAGE_ERROR, warning = IMAGE_MESSAGE_WARNING;
    uint32_t w, h;
    const struct {
        std::function<bool()> call; // true when it succeeds
        heard_lines lines;
        bool line_break; // the default printer ends the last line with one
    } cases[] = {
        {[&] { return load_image(missing.c_str(), &w, &h) != nullptr; },
         {{error, "Image loading error: could not open file " + missing}}, true},
        {[&] { return save_image(out.c_str(), two_pixels, 2, 1, 7) == 0; },
         {{error, "Image saving error: error saving " + out + ", invalid format specification"}}, false},
        {[&] { return save_image(out.c_str(), two_pixels, 2, 1, IMAGE_FORMAT_PNG) == 0; },
         {{error, "saving png files is not implemented yet"}}, false},
        {[&] { return save_image(out.c_str(), two_pixels, 0, 1, IMAGE_FORMAT_TGA) == 0; },
         {{error, "tga images cannot be smaller than 1 x 1 pixels"}}, true},
        {[&] {
             uint32_t *pixels = load_image(dir.file("warns.png").c_str(), &w, &h);
             free_image(pixels);
             return pixels != nullptr;
         },
         {{warning, png_warning}, {warning, png_warning}, {warning, png_warning}, {warning, png_warning},
          {warning, png_warning}, {warning, "... and 2 more warnings"}}, true},
    };
    for (const auto &c : cases) {
        const std::string what = c.lines[0].second;
        heard_lines heard;
        set_image_message_handler(listen, &heard);
        const bool succeeded = c.call();
        EXPECT_EQ(heard, c.lines) << what;
        EXPECT_EQ(image_error_printed(), !succeeded) << what;
        std::string printed;
        for (const auto &line : c.lines)
            printed += line.second + "\n";
        if (!c.line_break)
            printed.pop_back();
        set_image_message_handler(nullptr, &heard);
        {
            stderr_capture err;
            c.call();
            EXPECT_EQ(err.text(), printed) << what;
        }
        set_image_messages(0);
        set_image_messages(1); // the default again, not the handler before
        {
            stderr_capture err;
            c.call();
            EXPECT_EQ(err.text(), printed) << what;
        }
        set_image_message_handler(listen, &heard);
        set_image_messages(0);
        EXPECT_EQ(get_image_messages(), 0);
        EXPECT_EQ(c.call(), succeeded);
        EXPECT_EQ(image_error_printed(), 0) << what;
        set_image_messages(1);
        EXPECT_EQ(heard, c.lines) << what; // nothing more while off
        set_image_message_handler(nullptr, nullptr);
    }
}

// A handler that calls the library leaves the call it was called from as it was.
TEST(messages, a_handler_may_call_the_library)
{
    scratch_dir dir;
    write_file(dir.file("junk"), {'j', 'u', 'n', 'k'});
    static std::string junk;
    junk = dir.file("junk");
    set_image_message_handler([](void *, int, const char *) {
        uint32_t w, h;
        EXPECT_EQ(load_image(junk.c_str(), &w, &h), nullptr);
    }, nullptr);
    uint32_t w, h;
    EXPECT_EQ(load_image(dir.file("missing").c_str(), &w, &h), nullptr);
    EXPECT_EQ(image_error(), dir.file("missing") + ": No such file or directory");
    EXPECT_EQ(image_error_printed(), 1);
    // A read that fails is told by the system's word for it, not by what the
    // handler's own calls (or a closed standard error) left in errno: a socket
    // that stops sending, whose reads time out.
    ASSERT_TRUE(write_png(dir.file("p"), {40, 30}, [](uint32_t, png_byte *) {}));
    const std::vector<unsigned char> png = read_file(dir.file("p"));
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    ASSERT_EQ(write(ends[1], png.data(), 60), 60);
    const timeval timeout = {0, 1000};
    ASSERT_EQ(setsockopt(ends[0], SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout), 0);
    EXPECT_EQ(load_image_fd(ends[0], &w, &h), nullptr);
    EXPECT_EQ(image_error(), "fd " + std::to_string(ends[0]) + ": Read Error: Resource temporarily unavailable");
    close(ends[0]);
    close(ends[1]);
    set_image_message_handler(nullptr, nullptr);
}

// Every source reads alike: a file by name, a descriptor at any position,
// a pipe, memory; what is not wanted may be null; image_info agrees.
TEST(load_image, descriptors_from_where_they_stand_and_null_for_what_is_not_wanted)
{
    signal(SIGPIPE, SIG_IGN);
    scratch_dir dir;
    const uint32_t width = 40, height = 30;
    ASSERT_TRUE(write_png(dir.file("p"), {width, height}, [](uint32_t y, png_byte *row) { row[y] = 200; }));
    write_file(dir.file("j"), compress_jpeg(width, height, 3, JCS_RGB, [](jpeg_compress_struct &) {},
                                            [](int x, int y, int k) { return (x * 7 + y * 3 + k * 50) & 255; }));
    uint32_t w = 0, h = 0;
    uint32_t *pixels = load_image(dir.file("p").c_str(), &w, &h);
    ASSERT_EQ(save_image(dir.file("t").c_str(), pixels, w, h, IMAGE_FORMAT_TGA), 0);
    free_image(pixels);
    for (const char *name : {"p", "j", "t"}) {
        const std::vector<unsigned char> bytes = read_file(dir.file(name));
        unsigned int format = 9;
        ASSERT_EQ(image_info(dir.file(name).c_str(), &w, &h, &format), 0);
        uint32_t *expected = load_image(dir.file(name).c_str(), nullptr, nullptr);
        ASSERT_NE(expected, nullptr) << image_error();
        // Everything a load or image_info can give, from one source: the same
        // pixels, size and format, whether or not the size is asked for.
        auto same = [&](const std::string &source, const std::function<uint32_t *(uint32_t *, uint32_t *)> &load,
                        const std::function<int(uint32_t *, uint32_t *, unsigned int *)> &info) {
            for (bool sizes : {false, true}) {
                uint32_t lw = 0, lh = 0, iw = 0, ih = 0;
                unsigned int f = 9;
                uint32_t *got = sizes ? load(&lw, &lh) : load(nullptr, nullptr);
                ASSERT_NE(got, nullptr) << name << " " << source << ": " << image_error();
                EXPECT_TRUE(std::equal(expected, expected + width * height, got)) << name << " " << source;
                free_image(got);
                EXPECT_EQ(sizes ? info(&iw, &ih, &f) : info(nullptr, nullptr, nullptr), 0) << name << " " << source;
                if (sizes) {
                    EXPECT_TRUE(lw == w && lh == h && iw == w && ih == h && f == format) << name << " " << source;
                }
            }
        };
        same("file", [&](uint32_t *a, uint32_t *b) { return load_image(dir.file(name).c_str(), a, b); },
             [&](uint32_t *a, uint32_t *b, unsigned *f) { return image_info(dir.file(name).c_str(), a, b, f); });
        same("memory", [&](uint32_t *a, uint32_t *b) { return load_image_memory(bytes.data(), bytes.size(), a, b); },
             [&](uint32_t *a, uint32_t *b, unsigned *f) {
                 return image_info_memory(bytes.data(), bytes.size(), a, b, f);
             });
        // A file read partly: the image starts where the position is, which stays there.
        std::vector<unsigned char> behind(100, 'x');
        behind.insert(behind.end(), bytes.begin(), bytes.end());
        write_file(dir.file("behind"), behind);
        const int fd = open(dir.file("behind").c_str(), O_RDONLY);
        ASSERT_EQ(lseek(fd, 100, SEEK_SET), 100);
        same("fd", [&](uint32_t *a, uint32_t *b) { return load_image_fd(fd, a, b); },
             [&](uint32_t *a, uint32_t *b, unsigned *f) { return image_info_fd(fd, a, b, f); });
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 100);
        close(fd);
        through_pipe(bytes, [&](const std::string &path) {
            const int pipe_fd = open(path.c_str(), O_RDONLY);
            uint32_t *got = load_image_fd(pipe_fd, nullptr, nullptr);
            ASSERT_NE(got, nullptr) << name << ": " << image_error();
            EXPECT_TRUE(std::equal(expected, expected + width * height, got)) << name;
            free_image(got);
            close(pipe_fd);
        });
        free_image(expected);
    }
    // Reasons name the descriptor.
    const int junk = open(dir.path.c_str(), O_RDONLY);
    EXPECT_EQ(load_image_fd(junk, nullptr, nullptr), nullptr);
    EXPECT_EQ(image_error(), "fd " + std::to_string(junk) + ": Is a directory");
    close(junk);
    EXPECT_EQ(image_info_fd(junk, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(image_error(), "fd " + std::to_string(junk) + ": Bad file descriptor");
}

// A handler set from another thread while loads run: each line goes to one
// pair of handler and context, never to one with the other's context.
// ./test.sh runs this under ThreadSanitizer too.
// Every setting may change while other threads load and save (ThreadSanitizer
// tells a plain word written here and read there): each call sees the old
// value or the new one, and a handler is never seen with another's context.
TEST(threads, settings_and_handlers_set_while_others_load_and_save_are_never_seen_torn)
{
    settings_guard keep;
    scratch_dir dir;
    write_file(dir.file("warns.png"), png_with_bad_chunks(dir, 3));
    static std::atomic<int> torn{0}, heard{0};
    static int first_context, second_context;
    const image_message_handler first = [](void *context, int, const char *) {
        torn += context != &first_context;
        ++heard;
    };
    const image_message_handler second = [](void *context, int, const char *) {
        torn += context != &second_context;
        ++heard;
    };
    set_image_message_handler(first, &first_context);
    free_image(load_image(dir.file("warns.png").c_str(), nullptr, nullptr));
    std::atomic<bool> done{false};
    std::thread setter([&] {
        for (int i = 0; !done; ++i) {
            if (i % 3 == 2)
                set_image_messages(0);
            else
                set_image_message_handler(i % 3 ? second : first, i % 3 ? &second_context : &first_context);
            // Values that change nothing these loads and saves can see.
            set_image_save_flags(i & IMAGE_SAVE_ALPHA);
            set_image_read_flags(i & IMAGE_READ_ANY);
            set_image_max_pixels(i % 2 ? 0 : uint64_t(1) << 20);
        }
    });
    std::vector<std::thread> workers;
    std::atomic<int> failed{0};
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&, t] {
            const std::string out = dir.file("out" + std::to_string(t) + ".tga");
            for (int r = 0; r < 50; ++r) {
                uint32_t w = 0, h = 0;
                uint32_t *pixels = load_image(dir.file("warns.png").c_str(), &w, &h);
                failed += pixels == nullptr || save_image(out.c_str(), pixels, w, h, IMAGE_FORMAT_TGA) != 0;
                free_image(pixels);
            }
        });
    for (std::thread &t : workers)
        t.join();
    done = true;
    setter.join();
    set_image_message_handler(nullptr, nullptr);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GE(heard.load(), 3);
}
