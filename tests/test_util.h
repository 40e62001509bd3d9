// test_util.h - small helpers shared by the unit tests: scratch folders,
// captured standard error, open-descriptor counts, whole-file I/O, and the
// library's settings put back after a test.
#ifndef TEST_UTIL_H
#define TEST_UTIL_H

#include "image.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "image.h"

// Sets the process-wide read flags while alive, then puts them back.
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

// The library's process-wide settings as they were when made, put back when
// it goes: a test that changes one leaves it as it found it even when a
// failed assertion ends the test early, so no test depends on another's order.
struct settings_guard {
    const uint64_t max_pixels = get_image_max_pixels();
    const int save_flags = get_image_save_flags();
    const int read_flags = get_image_read_flags();
    const int messages = get_image_messages();
    ~settings_guard()
    {
        set_image_max_pixels(max_pixels);
        set_image_save_flags(save_flags);
        set_image_read_flags(read_flags);
        set_image_messages(messages);
    }
};

// The read flags for a scope, every setting put back after it.
struct read_flags_scope : settings_guard {
    explicit read_flags_scope(int flags) { set_image_read_flags(flags); }
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

// Number of entries in a folder, "." and ".." aside.
inline int entries_in(const std::string &dir)
{
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

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

// FNV-1a (64 bits, hex) of `count` pixels' bytes as they lie in memory, as the
// reference lists made with peer decoders give it.
inline std::string fnv_hex(const uint32_t *pixels, size_t count)
{
    uint64_t hash = 0xcbf29ce484222325ull;
    const unsigned char *b = reinterpret_cast<const unsigned char *>(pixels);
    for (size_t i = 0; i < count * 4; ++i)
        hash = (hash ^ b[i]) * 0x100000001b3ull;
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

#endif
