// imagetool.cpp - the image library from the command line: tells what a file
// holds, and converts anything the library reads to TGA.
#include "image.h"
// save_tga, to write standard output as it stands: the public header writes
// only by name, and the name of standard output (/dev/stdout) would not do,
// as save_image writes a file anew beside it and renames it into place,
// where a redirection (> file, >> file) expects the bytes on the open
// descriptor, after what is already there.
#include "image_tga.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char usage[] =
    "Usage: imagetool info FILE...\n"
    "       imagetool convert [--alpha] [--flip] INPUT OUTPUT.tga\n"
    "       imagetool --version\n"
    "\n"
    "Reads PNG (RGB and RGBA, 8-bit, or 16-bit reduced to 8 bits; grey and\n"
    "palette images are refused), JFIF JPEG and TGA (uncompressed true colour with\n"
    "the version 2 footer), recognising each file by its content. A FILE or INPUT\n"
    "of - is standard input (pipes work); an OUTPUT of - is standard output.\n"
    "\n"
    "  info       print each file's format and size, read from its headers alone:\n"
    "             \"FILE: FORMAT WIDTHxHEIGHT\"\n"
    "  convert    write INPUT as an uncompressed TGA file; the output is replaced\n"
    "             only once it has been written completely. An OUTPUT file whose\n"
    "             name has an extension other than .tga is refused: TGA is written\n"
    "    -a, --alpha   keep the alpha channel (32-bit pixels; default 24-bit)\n"
    "    -f, --flip    mark the rows bottom first, so readers show the image flipped\n"
    "  -h, --help       show this help\n"
    "  --version        show the version\n"
    "\n"
    "Exit status: 0 on success, 1 if a file could not be read or written, 2 on a\n"
    "usage error.\n";

const char *const format_names[] = {"PNG", "JPEG", "TGA"};

// The library prints some failures itself, in its own words and without the
// file's name, and records the reason of every one. The tool tells each
// failure once, in one line naming the file, so what the library prints is
// held back while it works: dropped when it fails (the reason says it all),
// shown after the file's name when it succeeds (warnings, which
// set_image_messages(0) would lose). They are held in memory (memfd_create),
// never in a file: a full /tmp must not cost a load its warnings.
class held_messages {
public:
    held_messages()
    {
        fflush(stderr);
        const int fd = above_standard(memfd_create("imagetool-messages", MFD_CLOEXEC));
        if (fd >= 0 && !(held_ = fdopen(fd, "w+")))
            close(fd);
        saved_ = held_ ? above_standard(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0)) : -1;
        if (saved_ >= 0)
            dup2(fileno(held_), STDERR_FILENO);
    }
    ~held_messages()
    {
        restore();
        if (held_)
            fclose(held_);
    }
    held_messages(const held_messages &) = delete;
    held_messages &operator=(const held_messages &) = delete;

    void drop() { restore(); }

    void show(const std::string &name)
    {
        restore();
        if (!held_)
            return;
        rewind(held_);
        char line[1024];
        bool line_start = true;
        while (fgets(line, sizeof line, held_)) {
            if (line_start)
                fprintf(stderr, "imagetool: %s: ", name.c_str());
            fputs(line, stderr);
            line_start = strchr(line, '\n') != nullptr;
        }
        if (!line_start)
            fputc('\n', stderr);
    }

private:
    // fd moved above the three standard numbers: where standard input or
    // output is closed, a descriptor of ours in its place would be read as
    // "-" (/dev/stdin) or take what is printed. -1 when fd is.
    static int above_standard(int fd)
    {
        if (fd < 0 || fd > STDERR_FILENO)
            return fd;
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close(fd);
        return moved;
    }
    void restore()
    {
        if (saved_ < 0)
            return;
        fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }
    FILE *held_ = nullptr;
    int saved_ = -1;
};

// The one line for a failure: the file as the user named it, then the cause
// the library recorded (which starts with the path it was given).
void report(const std::string &name, const std::string &path)
{
    std::string reason = image_error();
    const std::string prefix = path + ": ";
    if (!path.empty() && reason.compare(0, prefix.size(), prefix) == 0)
        reason.erase(0, prefix.size());
    fprintf(stderr, "imagetool: %s: %s\n", name.c_str(), reason.c_str());
}

std::string input_path(const std::string &name)
{
    return name == "-" ? "/dev/stdin" : name;
}

// False, with the failure told, when name is "-" and standard input is
// closed: /dev/stdin would then fail as a missing file.
bool input_open(const std::string &name)
{
    if (name != "-" || fcntl(STDIN_FILENO, F_GETFD) >= 0)
        return true;
    fprintf(stderr, "imagetool: -: %s\n", strerror(EBADF));
    return false;
}

uint32_t *load(const std::string &name, uint32_t *w, uint32_t *h)
{
    if (!input_open(name))
        return nullptr;
    const std::string path = input_path(name);
    held_messages held;
    uint32_t *pixels = load_image(path.c_str(), w, h);
    if (!pixels) {
        held.drop();
        report(name, path);
        return nullptr;
    }
    held.show(name);
    return pixels;
}

// Standard output is written as it stands, whatever it is connected to;
// anything else by name, replaced only once complete.
int save(const std::string &name, const uint32_t *pixels, uint32_t w, uint32_t h)
{
    // Standard output is taken before anything else is opened: were it
    // closed, the next file opened would take its number.
    FILE *out = nullptr;
    if (name == "-") {
        const int fd = dup(STDOUT_FILENO);
        if (fd < 0 || !(out = fdopen(fd, "wb"))) {
            const int error = errno;
            if (fd >= 0)
                close(fd);
            fprintf(stderr, "imagetool: -: %s\n", strerror(error));
            return 1;
        }
    }
    held_messages held;
    int result;
    if (out) {
        result = save_tga(out, pixels, w, h);
    } else {
        result = save_image(name.c_str(), pixels, w, h, IMAGE_FORMAT_TGA);
    }
    if (result != 0) {
        held.drop();
        report(name, name == "-" ? "" : name);
        return 1;
    }
    held.show(name);
    return 0;
}

// An output's extension when it is not .tga, or "": the tool writes TGA
// only, and a file named .png or .bmp holding TGA bytes misleads every
// program that goes by the name. Names without one ("-"), and what exists
// and is no regular file (a device, or a folder, which fails as such), are
// taken.
std::string misleading_extension(const std::string &name)
{
    struct stat st;
    if (stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return "";
    const size_t slash = name.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot <= base)
        return "";
    std::string ext = name.substr(dot);
    for (char &c : ext)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return ext == ".tga" ? "" : name.substr(dot);
}

int usage_error(const std::string &message)
{
    fprintf(stderr, "imagetool: %s\nTry 'imagetool --help'.\n", message.c_str());
    return 2;
}

// `status`, unless what was printed on standard output did not get there.
int flushed(int status)
{
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "imagetool: standard output: %s\n", strerror(errno));
        return 1;
    }
    return status;
}

int info(const std::vector<std::string> &files)
{
    int status = 0;
    for (const std::string &name : files) {
        if (!input_open(name)) {
            status = 1;
            continue;
        }
        const std::string path = input_path(name);
        uint32_t w = 0, h = 0;
        unsigned int format = 0;
        held_messages held;
        if (image_info(path.c_str(), &w, &h, &format) != 0) {
            held.drop();
            report(name, path);
            status = 1;
            continue;
        }
        held.show(name);
        printf("%s: %s %ux%u\n", name.c_str(), format_names[format], w, h);
    }
    return flushed(status);
}

int convert(const std::string &in, const std::string &out, int flags)
{
    const std::string ext = misleading_extension(out);
    if (!ext.empty())
        return usage_error(out + ": the name ends in " + ext + ", but imagetool writes TGA only (.tga)");
    uint32_t w = 0, h = 0;
    uint32_t *pixels = load(in, &w, &h);
    if (!pixels)
        return 1;
    set_image_save_flags(flags);
    const int status = save(out, pixels, w, h);
    free_image(pixels);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage_error("no command given");
    const std::string command = argv[1];
    if (command == "-h" || command == "--help") {
        fputs(usage, stdout);
        return flushed(0);
    }
    if (command == "--version") {
        puts("imagetool " CAUSTIC_VERSION);
        return flushed(0);
    }
    if (command.size() > 1 && command[0] == '-')
        return usage_error("unknown option " + command);
    int flags = 0;
    std::vector<std::string> operands;
    bool options_done = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!options_done && arg == "--") {
            options_done = true;
        } else if (!options_done && (arg == "-h" || arg == "--help")) {
            fputs(usage, stdout);
            return flushed(0);
        } else if (!options_done && command == "convert" && (arg == "-a" || arg == "--alpha")) {
            flags |= IMAGE_SAVE_ALPHA;
        } else if (!options_done && command == "convert" && (arg == "-f" || arg == "--flip")) {
            flags |= IMAGE_SAVE_FLIP;
        } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
            return usage_error("unknown option " + arg);
        } else {
            operands.push_back(arg);
        }
    }
    if (command == "info") {
        if (operands.empty())
            return usage_error("info needs at least one file");
        return info(operands);
    }
    if (command == "convert") {
        if (operands.size() > 2)
            return usage_error("too many arguments: convert takes one input and one output file");
        if (operands.size() != 2)
            return usage_error("convert needs an input and an output file");
        return convert(operands[0], operands[1], flags);
    }
    return usage_error("unknown command " + command);
}
