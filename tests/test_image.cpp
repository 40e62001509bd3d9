// test_image.cpp - the library's front end: opening and probing, the save
// dispatch with its messages, the untouched-target guarantee, the save flags,
// the reason recorded for every failure, and loads and saves from many threads.
#include "image.h"
#include "jpeg_writer.h"
#include "png_writer.h"
#include "test_util.h"
#include "tga_writer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

extern "C" int c_header_round_trip(void);

namespace {

const uint32_t two_pixels[2] = {0xFF0000FFu, 0x80FF0000u};

int entries_in(const std::string &dir)
{
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

} // namespace

TEST(load_image, missing_file_is_reported_with_its_name)
{
    uint32_t w, h;
    stderr_capture err;
    EXPECT_EQ(load_image("no/such/file.png", &w, &h), nullptr);
    EXPECT_EQ(err.text(), "Image loading error: could not open file no/such/file.png\n");
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
        {tga_file({1, 1}, {1, 2, 3}, false), not_an_image},
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

TEST(load_image, a_pipe_is_read_like_a_file_and_success_clears_the_reason)
{
    scratch_dir dir;
    const uint32_t pixels[2] = {0xFF0000FFu, 0xFF00FF00u};
    ASSERT_EQ(save_image(dir.file("a.tga").c_str(), pixels, 2, 1, IMAGE_FORMAT_TGA), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    uint32_t w, h;
    EXPECT_EQ(load_image(dir.file("missing").c_str(), &w, &h), nullptr);
    ASSERT_STRNE(image_error(), "");
    // The probes and the TGA reader seek, which a pipe cannot.
    std::thread writer([&] { write_file(dir.file("fifo"), read_file(dir.file("a.tga"))); });
    uint32_t *back = load_image(dir.file("fifo").c_str(), &w, &h);
    writer.join();
    ASSERT_NE(back, nullptr) << image_error();
    EXPECT_EQ(w, 2u);
    EXPECT_EQ(h, 1u);
    EXPECT_TRUE(std::equal(pixels, pixels + 2, back));
    EXPECT_STREQ(image_error(), "");
    free_image(back);
}

// What each flag writes is test_tga's; a process starts with none of them.
TEST(save_flags, start_at_zero_and_the_header_serves_c)
{
    EXPECT_EQ(get_image_save_flags(), 0);
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

TEST(save_image, tga_round_trip_replaces_the_target_in_place)
{
    scratch_dir dir;
    const std::string path = dir.file("out.tga");
    write_file(path, std::vector<unsigned char>(1000, 'x'));
    chmod(path.c_str(), 0640);
    set_image_save_flags(IMAGE_SAVE_ALPHA);
    ASSERT_EQ(save_image(path.c_str(), two_pixels, 2, 1, IMAGE_FORMAT_TGA), 0);
    set_image_save_flags(0);
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
                if (!ok)
                    ++failures;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
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
