// test_image.cpp - the library's front end: opening and probing, the save
// dispatch with its messages, the untouched-target guarantee, the save flags.
#include "image.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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
}

TEST(load_image, unrecognised_content_fails_silently_and_closes_the_file)
{
    scratch_dir dir;
    const int fds = open_fd_count();
    const std::vector<std::vector<unsigned char>> contents = {
        {},
        {'h', 'e', 'l', 'l', 'o'},
        std::vector<unsigned char>(100, 0),
        // A TGA header with no footer: TGA is recognised by its footer only.
        {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 24, 0x20, 1, 2, 3},
        // An Exif JPEG start: only JFIF is recognised.
        {0xFF, 0xD8, 0xFF, 0xE1, 0, 16, 'E', 'x', 'i', 'f', 0, 0},
    };
    for (const auto &bytes : contents) {
        write_file(dir.file("x"), bytes);
        uint32_t w, h;
        stderr_capture err;
        EXPECT_EQ(load_image(dir.file("x").c_str(), &w, &h), nullptr);
        EXPECT_EQ(err.text(), "");
    }
    EXPECT_EQ(open_fd_count(), fds);
}

TEST(load_image, free_image_accepts_null)
{
    free_image(nullptr);
}

TEST(save_flags, start_at_zero_and_keep_every_bit_set)
{
    EXPECT_EQ(get_image_save_flags(), 0);
    for (int flags : {int(IMAGE_SAVE_ALPHA), int(IMAGE_SAVE_FLIP), IMAGE_SAVE_ALPHA | IMAGE_SAVE_FLIP, 2, -1, 0x7FFF0000, 0}) {
        set_image_save_flags(flags);
        EXPECT_EQ(get_image_save_flags(), flags);
    }
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

TEST(save_image, unopenable_path_is_reported)
{
    stderr_capture err;
    EXPECT_EQ(save_image("/no/such/dir/x.tga", two_pixels, 2, 1, IMAGE_FORMAT_TGA), -1);
    EXPECT_EQ(err.text(), "Image saving error: could not open file /no/such/dir/x.tga for writing\n");
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
    // A full device must fail, not report success.
    EXPECT_EQ(save_image("/dev/full", two_pixels, 2, 1, IMAGE_FORMAT_TGA), -1);
}
