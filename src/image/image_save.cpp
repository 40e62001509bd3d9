// image_save.cpp - the image library's front end for saving: format-code
// dispatch, and writing a file the user keeps without ever losing it. Only
// fixed buffers on the way: nothing here can throw through save_image.
#include "image.h"

#include "image_base.h"
#include "image_jpg.h"
#include "image_png.h"
#include "image_tga.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using writer_fn = int (*)(FILE *, const uint32_t *, uint32_t, uint32_t);

// The writers, by format code.
const struct {
    writer_fn write;
    bool (*can_hold)(uint32_t width, uint32_t height); // null: any size goes to the writer
} writers[] = {{save_png, nullptr}, {save_jpeg, nullptr}, {save_tga, tga_can_hold}};
static_assert(IMAGE_FORMAT_PNG == 0 && IMAGE_FORMAT_JPEG == 1 && IMAGE_FORMAT_TGA == 2, "writers by format code");


// error is the errno value of the call that failed; step, where the system's
// words alone would mislead, says what could not be done. -1, for the save
// to return.
int report_open_failure(const char *path, int error, const char *step = nullptr)
{
    print_message("Image saving error: could not open file %s for writing\n", path);
    set_printed_image_error("%s%s%s", step ? step : "", step ? ": " : "", errno_text(error));
    return -1;
}

struct descriptor {
    int fd = -1;
    ~descriptor() { if (fd >= 0) close(fd); }
};

// The file a save replaces or makes: the path given, with the symbolic links
// in its last component followed as open() follows them.
struct save_target {
    char path[PATH_MAX];
    char folder[PATH_MAX]; // "." for a bare name
    const char *name;      // the last component, within path
    bool exists;
    struct stat st; // of the existing file
};

// Follows the links in the last component of `path` by their text, to the
// name to replace or create. 0 or an errno value.
int follow_links(const char *path, save_target &t)
{
    if (snprintf(t.path, sizeof t.path, "%s", path) >= int(sizeof t.path))
        return ENAMETOOLONG;
    for (int links = 0; (t.exists = lstat(t.path, &t.st) == 0) && S_ISLNK(t.st.st_mode); ++links) {
        char to[PATH_MAX];
        const ssize_t n = links == max_save_links ? 0 : readlink(t.path, to, sizeof to);
        if (n <= 0)
            return n < 0 ? errno : ELOOP;
        // A relative link names a file beside the link itself.
        const char *slash = strrchr(t.path, '/');
        const int keep = to[0] == '/' || !slash ? 0 : int(slash + 1 - t.path);
        if (snprintf(t.path + keep, sizeof t.path - keep, "%.*s", int(n), to) >= int(sizeof t.path) - keep)
            return ENAMETOOLONG;
    }
    if (!t.exists && errno != ENOENT)
        return errno;
    const char *slash = strrchr(t.path, '/');
    t.name = slash ? slash + 1 : t.path;
    snprintf(t.folder, sizeof t.folder, "%.*s", slash && slash > t.path ? int(slash - t.path) : 1,
             slash ? t.path : ".");
    if (*t.name == '\0') // "" or "folder/": what open() says of them
        return t.path[0] == '\0' ? ENOENT : EISDIR;
    return 0;
}

// Finds where a save of `path` goes. A path that leads to no regular file (a
// device, a pipe, a terminal) is opened for writing into `direct`, as fopen
// opens it; otherwise `t` names the file to replace or create. 0, or the
// errno value fopen would have failed with (step, when set, says what that
// value alone would not).
int find_target(const char *path, save_target &t, descriptor &direct, const char *&step)
{
    for (int look = 0; look < max_save_attempts; ++look) {
        // The kernel looks the path up first, so that what it refuses stays
        // refused (a link another user left in a sticky folder, under
        // fs.protected_symlinks), and so that the links only it can follow
        // (/dev/stdout, /proc/self/fd/N) reach what they stand for.
        struct stat reached;
        const bool found = stat(path, &reached) == 0;
        if (!found && errno != ENOENT)
            return errno;
        if (found && !S_ISREG(reached.st_mode)) {
            // Opened without truncating and looked at once open, so that a
            // regular file put there meanwhile is still never written in
            // place: the path is looked up again.
            if ((direct.fd = open(path, O_WRONLY | O_CLOEXEC)) < 0)
                return errno;
            if (fstat(direct.fd, &reached) != 0 || !S_ISREG(reached.st_mode))
                return 0;
            close(direct.fd);
            direct.fd = -1;
        } else if (const int error = follow_links(path, t)) {
            return error;
        } else if (!found || (t.exists && t.st.st_dev == reached.st_dev && t.st.st_ino == reached.st_ino)) {
            // The name replaced holds the file the path opens. Where it does
            // not, the file was most likely replaced between the two looks
            // (by another save of it): look again.
            return 0;
        }
    }
    // A link of /proc to a deleted file reads "NAME (deleted)", and one to a
    // file of another mount namespace names a file of ours: saving there
    // would make a stray file and leave the caller's one as it was.
    step = "the file it opens has no name to be replaced under";
    return ENOENT;
}

// The file being written: unnamed where the file system allows, so that
// nothing is left behind whenever the program ends; otherwise under a
// temporary name, removed on every way out but the rename.
struct new_file {
    int folder;
    descriptor fd;
    char temp[NAME_MAX + 1]; // "" while the file has no name
    ~new_file() { if (temp[0]) unlinkat(folder, temp, 0); }
};

// Names f.temp for a file beside `name`, as long as the folder allows for
// any valid name: the name, cut to leave room, then ".PID.N.tmp", so that a
// file left by a killed save still says whose it was.
void name_temporary(new_file &f, const char *name)
{
    char suffix[48];
    // Never rand(): the caller's random sequence is not ours to advance.
    // Atomic, as threads saving beside the same file share it.
    static std::atomic<unsigned> counter{0};
    snprintf(suffix, sizeof suffix, ".%ld.%u.tmp", static_cast<long>(getpid()), counter++);
    long name_max = fpathconf(f.folder, _PC_NAME_MAX);
    if (name_max <= 0 || name_max > NAME_MAX)
        name_max = NAME_MAX;
    const size_t length = strlen(name), suffix_length = strlen(suffix);
    const size_t room = size_t(name_max) > suffix_length ? size_t(name_max) - suffix_length : 0;
    size_t keep = length < room ? length : room;
    // Cut between characters, not inside one of UTF-8's multi-byte ones.
    while (keep > 0 && keep < length && continues_character(name[keep]))
        --keep;
    snprintf(f.temp, sizeof f.temp, "%.*s%s", int(keep), name, suffix);
}

// Makes the file with `mode` less the umask. 0 or an errno value.
int make_new_file(new_file &f, const char *target_name, mode_t mode)
{
    f.fd.fd = openat(f.folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (f.fd.fd >= 0)
        return 0;
    // What file systems, and kernels, without unnamed files answer.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return errno;
    int error = EEXIST;
    for (int attempt = 0; error == EEXIST && attempt < max_save_attempts; ++attempt) {
        name_temporary(f, target_name);
        f.fd.fd = openat(f.folder, f.temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        error = f.fd.fd >= 0 ? 0 : errno;
    }
    if (error != 0)
        f.temp[0] = '\0'; // another's, or none
    return error;
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
    if ((now.st_mode & 07777) != (old.st_mode & 0777) && fchmod(fd, old.st_mode & 0777) != 0)
        return errno;
    return 0;
}

// Gives the unnamed file a name. 0 or an errno value.
int link_unnamed(int fd, int folder, const char *name)
{
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    // Without /proc, the direct way, which older kernels allow only to the privileged.
    if (linkat(AT_FDCWD, proc, folder, name, AT_SYMLINK_FOLLOW) == 0 ||
        (errno == ENOENT && linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0))
        return 0;
    return errno;
}

// Puts the complete, synced file in place under the target's name. 0, or an
// errno value with `step` saying what could not be done.
int put_in_place(new_file &f, const char *name, bool exists, const char *&step)
{
    int error = EEXIST;
    // A new target gets the file's one name at once: nothing else appears.
    // One made meanwhile by someone else is replaced, as fopen would have.
    if (!f.temp[0] && !exists && (error = link_unnamed(f.fd.fd, f.folder, name)) != EEXIST) {
        step = "the new file cannot be given its name";
        return error;
    }
    // No call puts an unnamed file over an existing name: it takes a
    // temporary name for the two calls that name it and rename it over the
    // target, and only a program killed between them leaves it behind.
    for (int attempt = 0; !f.temp[0] && error == EEXIST && attempt < max_save_attempts; ++attempt) {
        name_temporary(f, name);
        if ((error = link_unnamed(f.fd.fd, f.folder, f.temp)) != 0)
            f.temp[0] = '\0'; // another's, or none
    }
    if (!f.temp[0]) {
        step = "the new file cannot be given a temporary name";
        return error;
    }
    if (renameat(f.folder, f.temp, f.folder, name) != 0) {
        step = "the new file cannot be renamed over the old one";
        return errno;
    }
    f.temp[0] = '\0'; // it is the target now
    return 0;
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
    if (t.exists && faccessat(AT_FDCWD, t.path, W_OK, AT_EACCESS) != 0)
        return report_open_failure(path, errno);
    // Read access lets the folder be synced once the file is in place; a
    // folder that may be written but not read still takes the file.
    descriptor folder{open(t.folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    const bool syncable = folder.fd >= 0;
    if (!syncable && errno == EACCES)
        folder.fd = open(t.folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder.fd < 0)
        return report_open_failure(path, errno);

    // An append-only folder takes a new name but gives none up: the new file
    // could neither be renamed over the old one nor have its temporary name
    // removed. (Readable folders only: the flags need a descriptor that reads.)
    int flags = 0;
    if (t.exists && syncable && ioctl(folder.fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL))
        return report_open_failure(path, EPERM, "the folder is append-only");

    // An existing file is never written in place: where no new file can be
    // made beside it, the save fails and the file stays as it was. A new
    // file gets the mode fopen gives one (0666 less the umask); one that
    // replaces a file starts readable by its owner alone, as under a
    // temporary name it can be opened before it takes the old file's
    // permissions, and whoever opened it then would read all written after.
    new_file f{folder.fd, {}, ""};
    int error = make_new_file(f, t.name, t.exists ? 0600 : 0666);
    const char *step = t.exists ? "no new file can be made beside it" : nullptr;
    if (error == 0 && t.exists && (error = keep_owner_and_mode(f.fd.fd, t.st)) != 0)
        step = "a new file cannot keep its owner, group and permissions";
    if (error != 0)
        return report_open_failure(path, error, step);

    // The writer closes its stream; our own descriptor stays to sync and name the file.
    // Not inherited by a program another thread starts meanwhile.
    descriptor copy{fcntl(f.fd.fd, F_DUPFD_CLOEXEC, 0)};
    FILE *stream = copy.fd >= 0 ? fdopen(copy.fd, "wb") : nullptr;
    if (!stream) {
        record_errno(errno);
        return -1;
    }
    copy.fd = -1; // the stream's now
    if (write(stream, pixels, width, height) != 0)
        return -1;
    // On the disk before it has the target's name, and the name on the disk
    // after: after a power failure the target holds one file or the other.
    if (fsync(f.fd.fd) != 0) {
        set_image_error("the new file cannot be synced to the disk: %s", errno_text(errno));
        return -1;
    }
    if ((error = put_in_place(f, t.name, t.exists, step)) != 0)
        return report_open_failure(path, error, step);
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
    if (format >= sizeof writers / sizeof writers[0]) {
        print_message("Image saving error: error saving %s, invalid format specification", path);
        set_printed_image_error("invalid format specification");
        return -1;
    }
    const auto &writer = writers[format];
    if (writer.can_hold && !writer.can_hold(width, height))
        return -1;
    if (!pixels) { // nothing to read the image from: refused, as load_image_memory refuses null data
        record_errno(EINVAL);
        return -1;
    }

    save_target t;
    descriptor direct;
    const char *step = nullptr;
    if (const int error = find_target(path, t, direct, step))
        return report_open_failure(path, error, step);
    if (direct.fd < 0)
        return replace(path, t, writer.write, pixels, width, height);
    // Devices, pipes and the like cannot be replaced by renaming: they are
    // written directly, as with fopen.
    FILE *stream = fdopen(direct.fd, "wb");
    if (!stream)
        return report_open_failure(path, errno);
    direct.fd = -1; // the stream's now
    return writer.write(stream, pixels, width, height);
}

} // namespace

extern "C" int save_image(const char *path, const uint32_t *pixels, uint32_t width,
                          uint32_t height, unsigned int format)
{
    error_scope scope(path);
    if (save(path, pixels, width, height, format) != 0) {
        // Every writer records its reasons; this is only a safety net.
        if (!image_error_recorded())
            set_image_error("could not be written");
        return -1;
    }
    clear_image_error();
    return 0;
}
