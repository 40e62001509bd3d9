// image_save.cpp - the image library's front end for saving: format-code
// dispatch, and writing a file the user keeps without ever losing it.
#include "image.h"

#include "image_base.h"
#include "image_jpg.h"
#include "image_png.h"
#include "image_tga.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using writer_fn = int (*)(FILE *, const uint32_t *, uint32_t, uint32_t);

struct format_writer {
    writer_fn write;
    bool (*can_hold)(uint32_t width, uint32_t height); // null: any size goes to the writer
};

format_writer writer_for(unsigned int format)
{
    switch (format) {
    case IMAGE_FORMAT_PNG: return {save_png, nullptr};
    case IMAGE_FORMAT_JPEG: return {save_jpeg, nullptr};
    case IMAGE_FORMAT_TGA: return {save_tga, tga_can_hold};
    default: return {nullptr, nullptr};
    }
}

// error is the errno value of the call that failed; step, where the system's
// words alone would mislead, says what could not be done.
void report_open_failure(const char *path, int error, const char *step = nullptr)
{
    print_message("Image saving error: could not open file %s for writing\n", path);
    if (step)
        set_printed_image_error("%s: %s", step, errno_text(error));
    else
        set_printed_image_error("%s", errno_text(error));
}

struct descriptor {
    int fd = -1;
    descriptor() = default;
    explicit descriptor(int f) : fd(f) {}
    ~descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
};

// The file a save writes: the path given, with the symbolic links in its last
// component followed as open() follows them.
struct save_target {
    std::string path;
    std::string folder; // "." for a bare name
    std::string name;
    bool exists = false;
    struct stat st; // of the existing file
};

// Follows the links in the last component of `path` by their text, to the
// name to replace or create. 0 or an errno value.
int follow_links(const char *path, save_target &t)
{
    t.exists = false;
    std::string name = path;
    for (int links = 0;; ++links) {
        if (lstat(name.c_str(), &t.st) != 0) {
            if (errno != ENOENT)
                return errno;
            break;
        }
        if (!S_ISLNK(t.st.st_mode)) {
            t.exists = true;
            break;
        }
        if (links == 40) // the kernel's own limit for one lookup
            return ELOOP;
        char to[PATH_MAX];
        const ssize_t n = readlink(name.c_str(), to, sizeof to);
        if (n < 0)
            return errno;
        if (size_t(n) == sizeof to)
            return ENAMETOOLONG;
        // A relative link names a file beside the link itself.
        name = to[0] == '/' ? std::string(to, n) : name.substr(0, name.rfind('/') + 1) + std::string(to, n);
    }
    t.path = name;
    const size_t slash = name.rfind('/');
    t.folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    t.name = slash == std::string::npos ? name : name.substr(slash + 1);
    if (t.name.empty()) // "" or "folder/": what open() says of them
        return name.empty() ? ENOENT : EISDIR;
    return 0;
}

// 0, or the errno value fopen would have failed with (step, when set, says
// what that errno value alone would not). A link to nothing names the file to
// create, as with fopen.
int resolve_target(const char *path, save_target &t, const char *&step)
{
    for (int look = 0; look < 10; ++look) {
        // The kernel looks the path up first, so that what it refuses stays
        // refused (a link another user left in a sticky folder, under
        // fs.protected_symlinks), and so that the links only it can follow
        // (/dev/stdout, /proc/self/fd/N) reach what they stand for.
        struct stat reached;
        const bool found = stat(path, &reached) == 0;
        if (!found && errno != ENOENT)
            return errno;
        if (found && !S_ISREG(reached.st_mode)) { // written directly, through the path given
            t.path = path;
            t.exists = true;
            t.st = reached;
            return 0;
        }
        if (const int error = follow_links(path, t))
            return error;
        // The name replaced must hold the file the path opens. Where it does
        // not, the file was most likely replaced between the two looks (by
        // another save of it): look again.
        if (!found || (t.exists && t.st.st_dev == reached.st_dev && t.st.st_ino == reached.st_ino))
            return 0;
    }
    // A link of /proc to a deleted file reads "NAME (deleted)", and one to a
    // file of another mount namespace names a file of ours: saving there
    // would make a stray file and leave the caller's one as it was.
    step = "the file it opens has no name to be replaced under";
    return ENOENT;
}

// A temporary name beside `name`, as long as the folder allows for any valid
// name: the name, cut to leave room, then ".PID.N.tmp", so that a file left
// by a killed save still says whose it was.
std::string temp_name_for(const std::string &name, int folder)
{
    char suffix[48];
    // Never rand(): the caller's random sequence is not ours to advance.
    // Atomic, as threads saving beside the same file share it.
    static std::atomic<unsigned> counter{0};
    snprintf(suffix, sizeof suffix, ".%ld.%u.tmp", static_cast<long>(getpid()), counter++);
    long name_max = fpathconf(folder, _PC_NAME_MAX);
    if (name_max <= 0)
        name_max = NAME_MAX;
    const size_t suffix_length = strlen(suffix);
    size_t keep = std::min(name.size(), size_t(name_max) > suffix_length ? size_t(name_max) - suffix_length : 0);
    // Cut between characters, not inside one of UTF-8's multi-byte ones.
    while (keep > 0 && keep < name.size() && continues_character(name[keep]))
        --keep;
    return name.substr(0, keep) + suffix;
}

// The file being written: unnamed where the file system allows, so that
// nothing is left behind whenever the program ends; otherwise under a
// temporary name, removed on every way out but the rename.
struct new_file {
    int folder;
    descriptor fd;
    std::string temp_name; // empty while the file has no name

    explicit new_file(int in) : folder(in) {}
    ~new_file() { discard(); }
    void discard()
    {
        if (!temp_name.empty())
            unlinkat(folder, temp_name.c_str(), 0);
        temp_name.clear();
    }
};

// Makes the file with `mode` less the umask. 0 or an errno value.
int make_new_file(new_file &f, const std::string &target_name, mode_t mode)
{
    f.fd.fd = openat(f.folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (f.fd.fd >= 0)
        return 0;
    // What file systems, and kernels, without unnamed files answer.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return errno;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temp_name_for(target_name, f.folder);
        f.fd.fd = openat(f.folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (f.fd.fd >= 0) {
            f.temp_name = name;
            return 0;
        }
        if (errno != EEXIST)
            break;
    }
    return errno;
}

// Gives the new file the old one's owner, group and permissions, each only
// where it differs, so that nobody who could use the file loses it. The
// set-ID bits stay behind: new contents should not run with another's rights
// (the kernel drops them too when anyone but root writes to such a file).
int keep_owner_and_mode(int fd, const struct stat &old)
{
    struct stat now;
    if (fstat(fd, &now) != 0)
        return errno;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && fchown(fd, old.st_uid, old.st_gid) != 0)
        return errno;
    const mode_t mode = old.st_mode & 0777;
    if ((now.st_mode & 07777) != mode && fchmod(fd, mode) != 0)
        return errno;
    return 0;
}

// Gives the unnamed file its first name. 0 or an errno value.
int link_unnamed(int fd, int folder, const char *name)
{
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, proc, folder, name, AT_SYMLINK_FOLLOW) == 0)
        return 0;
    const int error = errno;
    // Without /proc, the direct way, which older kernels allow only to the privileged.
    if (error == ENOENT && linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0)
        return 0;
    return error;
}

// Puts the complete, synced file in place under the target's name. 0 or an
// errno value.
int put_in_place(new_file &f, const std::string &target_name, bool target_exists)
{
    // A new target gets the file's one name at once: nothing else appears.
    if (f.temp_name.empty() && !target_exists) {
        const int error = link_unnamed(f.fd.fd, f.folder, target_name.c_str());
        if (error != EEXIST)
            return error;
        // Made meanwhile by someone else: replaced, as fopen would have.
    }
    // No call puts an unnamed file over an existing name: it takes a
    // temporary name for the instant before the rename, two system calls with
    // nothing but a swap between them. The signals that end a program wait
    // until both are done, so that a killed program leaves no such name
    // behind; only SIGKILL, a power failure, or a signal another thread takes
    // can fall between the two.
    const bool unnamed = f.temp_name.empty();
    std::string name = unnamed ? temp_name_for(target_name, f.folder) : f.temp_name;
    // Held across the rename, the old file is freed when this closes, after
    // the window: ext4 takes milliseconds to free a file, the rename alone
    // some microseconds.
    descriptor old(openat(f.folder, target_name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    int error = 0;
    for (int attempt = 0; unnamed && attempt < 100; ++attempt) {
        error = link_unnamed(f.fd.fd, f.folder, name.c_str());
        if (error == 0)
            f.temp_name.swap(name);
        if (error != EEXIST)
            break;
        name = temp_name_for(target_name, f.folder);
    }
    if (error == 0 && renameat(f.folder, f.temp_name.c_str(), f.folder, target_name.c_str()) != 0)
        error = errno;
    if (error == 0)
        f.temp_name.clear(); // it is the target now
    f.discard();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return error;
}

// Saves over a regular file, or as a new one: the image goes into a new file
// beside the target, synced and renamed over it only when complete, so that
// whenever a save stops the target holds the old file or the whole new one.
int replace(const char *path, const save_target &t, writer_fn write, const uint32_t *pixels, uint32_t width,
            uint32_t height)
{
    // Only who may write the file itself may replace it, as with fopen (a
    // writable folder is not enough); by the effective IDs, as open() checks,
    // so root still writes a read-only file.
    if (t.exists && faccessat(AT_FDCWD, t.path.c_str(), W_OK, AT_EACCESS) != 0) {
        report_open_failure(path, errno);
        return -1;
    }
    // Read access lets the folder be synced once the file is in place; a
    // folder that may be written but not read still takes the file.
    descriptor folder(open(t.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const bool syncable = folder.fd >= 0;
    if (!syncable && errno == EACCES)
        folder.fd = open(t.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder.fd < 0) {
        report_open_failure(path, errno);
        return -1;
    }

    // An append-only folder takes a new name but gives none up: the new file
    // could neither be renamed over the old one nor have its temporary name
    // removed. (Readable folders only: the flags need a descriptor that reads.)
    int flags = 0;
    if (t.exists && syncable && ioctl(folder.fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL)) {
        report_open_failure(path, EPERM, "the folder is append-only");
        return -1;
    }

    // An existing file is never written in place: where no new file can be
    // made beside it, the save fails and the file stays as it was. A new
    // file gets the mode fopen gives one (0666 less the umask); one that
    // replaces a file starts readable by its owner alone, as under a
    // temporary name it can be opened before it takes the old file's
    // permissions, and whoever opened it then would read all written after.
    new_file f(folder.fd);
    int error = make_new_file(f, t.name, t.exists ? 0600 : 0666);
    const char *step = t.exists ? "no new file can be made beside it" : nullptr;
    if (error == 0 && t.exists && (error = keep_owner_and_mode(f.fd.fd, t.st)) != 0)
        step = "a new file cannot keep its owner, group and permissions";
    if (error != 0) {
        report_open_failure(path, error, step);
        return -1;
    }

    // The writer closes its stream; our own descriptor stays to sync and name the file.
    // Not inherited by a program another thread starts meanwhile.
    const int copy = fcntl(f.fd.fd, F_DUPFD_CLOEXEC, 0);
    FILE *stream = copy >= 0 ? fdopen(copy, "wb") : nullptr;
    if (!stream) {
        record_errno(errno);
        if (copy >= 0)
            close(copy);
        return -1;
    }
    if (write(stream, pixels, width, height) != 0)
        return -1;
    // On the disk before it has the target's name, and the name on the disk
    // after: after a power failure the target holds one file or the other.
    if (fsync(f.fd.fd) != 0) {
        record_errno(errno);
        return -1;
    }
    if ((error = put_in_place(f, t.name, t.exists)) != 0) {
        report_open_failure(path, error);
        return -1;
    }
    // The save has happened: a folder that cannot be synced leaves it done,
    // not failed, since a failed save leaves the old file.
    if (syncable)
        (void)fsync(folder.fd);
    return 0;
}

int save(const char *path, const uint32_t *pixels, uint32_t width, uint32_t height, unsigned int format)
{
    // The format and the size are checked before anything is opened or made,
    // so a call that cannot succeed never costs the caller a file.
    const format_writer writer = writer_for(format);
    if (!writer.write) {
        print_message("Image saving error: error saving %s, invalid format specification", path);
        set_printed_image_error("invalid format specification");
        return -1;
    }
    if (writer.can_hold && !writer.can_hold(width, height))
        return -1;

    // Devices, pipes and the like cannot be replaced by renaming: they are
    // written directly, as with fopen. Opened without truncating and looked
    // at once open, so that a regular file put there meanwhile is still
    // never written in place: the path is then looked up again, a few times
    // at most, so that a path that keeps changing cannot hold the caller.
    save_target t;
    for (int look = 0;; ++look) {
        const char *step = nullptr;
        if (const int error = resolve_target(path, t, step)) {
            report_open_failure(path, error, step);
            return -1;
        }
        if (!t.exists || S_ISREG(t.st.st_mode))
            break;
        const int fd = open(path, O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            report_open_failure(path, errno);
            return -1;
        }
        if (fstat(fd, &t.st) != 0 || !S_ISREG(t.st.st_mode)) {
            FILE *stream = fdopen(fd, "wb");
            if (!stream) {
                report_open_failure(path, errno);
                close(fd);
                return -1;
            }
            return writer.write(stream, pixels, width, height);
        }
        close(fd);
        if (look == 9) {
            report_open_failure(path, EAGAIN);
            return -1;
        }
        t = save_target();
    }
    return replace(path, t, writer.write, pixels, width, height);
}

} // namespace

extern "C" int save_image(const char *path, const uint32_t *pixels, uint32_t width,
                          uint32_t height, unsigned int format)
{
    error_scope scope(path);
    if (!without_exceptions([&] { return save(path, pixels, width, height, format) == 0; })) {
        // Every writer records its reasons; this is only a safety net.
        if (!image_error_recorded())
            set_image_error("could not be written");
        return -1;
    }
    clear_image_error();
    return 0;
}
