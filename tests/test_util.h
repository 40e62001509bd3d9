// test_util.h - small helpers shared by the unit tests: scratch folders,
// captured standard error, open-descriptor counts, whole-file I/O, read flags.
#ifndef TEST_UTIL_H
#define TEST_UTIL_H

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "image.h"

// Sets the process-wide read flags while alive, then puts them back.
struct scoped_read_flags {
    const int saved = get_image_read_flags();
    explicit scoped_read_flags(int flags) { set_image_read_flags(flags); }
    ~scoped_read_flags() { set_image_read_flags(saved); }
};

// A fresh folder under TMPDIR, removed with its contents when done.
struct scratch_dir {
    std::string path;
    scratch_dir()
    {
        std::string pattern = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/imgtest.XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        path = mkdtemp(buf.data());
    }
    ~scratch_dir() { (void)system(("rm -rf '" + path + "'").c_str()); }
    std::string file(const std::string &name) const { return path + "/" + name; }
};

// Redirects file descriptor 2 into a file while alive; text() returns what was
// written so far.
class stderr_capture {
public:
    stderr_capture()
    {
        fflush(stderr);
        saved_ = dup(2);
        file_ = tmpfile();
        dup2(fileno(file_), 2);
    }
    ~stderr_capture()
    {
        restore();
        fclose(file_);
    }
    std::string text()
    {
        restore();
        std::string out;
        rewind(file_);
        for (int c; (c = fgetc(file_)) != EOF;)
            out.push_back(static_cast<char>(c));
        return out;
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    int saved_ = -1;
    FILE *file_ = nullptr;
};

// Number of file descriptors this process has open.
inline int open_fd_count()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

inline std::vector<unsigned char> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string &path, const std::vector<unsigned char> &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

#endif
