// imagetool.cpp - the image library from the command line: tells what a file
// holds, and converts anything the library reads to TGA.
#include "image.h"
// save_tga, to write standard output as it stands: the public header writes
// only by name, and the name of standard output (/dev/stdout) would not do,
// as save_image writes a file anew beside it and renames it into place,
// where a redirection (> file, >> file) expects the bytes on the open
// descriptor, after what is already there.
#include "image_tga.h"
#include "tool_options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char usage[] =
    "Usage: imagetool info [--strict] FILE...\n"
    "       imagetool convert [--alpha|--no-alpha] [--flip] [--strict] INPUT OUTPUT.tga\n"
    "       imagetool --version\n"
    "\n"
    "Reads PNG, JPEG and TGA files, recognising each by its content. A FILE or\n"
    "INPUT of - is standard input as it stands (a pipe, a socket, a file read\n"
    "partly); an OUTPUT of - is standard output, which may not be a terminal.\n"
    "\n"
    "  info       print each file's format and size, read from its headers alone:\n"
    "             \"FILE: FORMAT WIDTHxHEIGHT\"\n"
    "  convert    write INPUT as an uncompressed TGA file; the output is replaced\n"
    "             only once it has been written completely. An OUTPUT file whose\n"
    "             name has an extension other than .tga is refused: TGA is written\n"
    "    -a, --alpha   keep the alpha channel (32-bit pixels) even where every\n"
    "                  pixel is opaque; by default it is kept only where one is not\n"
    "    --no-alpha    drop the alpha channel (24-bit pixels)\n"
    "    -f, --flip    mark the rows bottom first, so readers show the image flipped\n"
    "  --strict         read only what the demo reads: RGB and RGBA PNG, JFIF JPEG\n"
    "                   and uncompressed true-colour TGA with the version 2 footer\n"
    "                   (by default, every kind of these formats the library reads)\n"
    "  -h, --help       show this help\n"
    "  --version        show the version\n"
    "\n"
    "Exit status: 0 on success, 1 if a file could not be read or written, 2 on a\n"
    "usage error.\n";

const char *const format_names[] = {"PNG", "JPEG", "TGA"};

// Which of the standard descriptors were closed when the tool started.
unsigned closed_at_start = 0;

// Gives each standard descriptor that is closed a stand-in that fails every
// read and write as the closed one would (a folder opened as a path alone),
// so that no file opened later takes its number: standard error's would get
// the tool's messages, standard output's whatever is printed. A folder, as
// its name in /proc (/dev/stdout) opens to no file to write either: /dev/null
// there took the image of 'convert FILE /dev/stdout >&-' and said it was
// saved. False when none can be had.
bool stand_in_for_closed_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        closed_at_start |= 1u << fd;
        if (open("/", O_PATH | O_DIRECTORY) != fd) // the lowest free number: the ones below are open
            return false;
    }
    return true;
}

// What the library says while the tool works on one file, held until it is
// known whether the work failed: a failure is told by its reason alone, in
// one line naming the file; after a success, what was said (warnings) is
// shown after the file's name.
std::vector<std::pair<int, std::string>> held_lines;

void hold_line(void *, int kind, const char *line) noexcept
{
    try {
        held_lines.emplace_back(kind, line);
    } catch (...) { // a line there is no memory for is lost, not the load
    }
}

void show_held_lines(const std::string &name)
{
    const std::string libpng = "libpng warning: ";
    for (auto &[kind, line] : held_lines) {
        if (kind == IMAGE_MESSAGE_WARNING && line.compare(0, libpng.size(), libpng) == 0)
            line.erase(0, libpng.size());
        fprintf(stderr, "imagetool: %s: %s%s\n", name.c_str(), kind == IMAGE_MESSAGE_WARNING ? "warning: " : "",
                line.c_str());
    }
    held_lines.clear();
}

// The one line for a failure: the file as the user named it, then the cause
// the library recorded, less the name the library gave the source.
void report(const std::string &name, const std::string &source)
{
    held_lines.clear();
    std::string reason = image_error();
    const std::string prefix = source + ": ";
    if (!source.empty() && reason.compare(0, prefix.size(), prefix) == 0)
        reason.erase(0, prefix.size());
    fprintf(stderr, "imagetool: %s: %s\n", name.c_str(), reason.c_str());
}

// False, with the failure told, when name is "-" and the standard descriptor
// `fd` was closed at start.
bool standard_open(const std::string &name, int fd)
{
    if (name != "-" || !(closed_at_start & (1u << fd)))
        return true;
    fprintf(stderr, "imagetool: -: %s\n", strerror(EBADF));
    return false;
}

// The library's name for the input in its reasons.
std::string source_name(const std::string &name)
{
    return name == "-" ? "fd 0" : name;
}

uint32_t *load(const std::string &name, uint32_t *w, uint32_t *h)
{
    if (!standard_open(name, STDIN_FILENO))
        return nullptr;
    uint32_t *pixels = name == "-" ? load_image_fd(STDIN_FILENO, w, h) : load_image(name.c_str(), w, h);
    if (!pixels)
        report(name, source_name(name));
    else
        show_held_lines(name);
    return pixels;
}

// Writes all of `bytes` to standard output for the stream of "-" (stdio
// takes fewer for a failure). One made non-blocking by whoever handed it over
// says EAGAIN while its reader is behind: waited for (poll), as a blocking
// one would be, its flags left as they are. The bytes written.
ssize_t write_standard_output(void *, const char *bytes, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(STDOUT_FILENO, bytes + done, size - done);
        pollfd ready = {STDOUT_FILENO, POLLOUT, 0};
        if (n >= 0)
            done += size_t(n);
        else if (errno != EINTR && ((errno != EAGAIN && errno != EWOULDBLOCK) ||
                                    (poll(&ready, 1, -1) < 0 && errno != EINTR)))
            break;
    }
    return ssize_t(done);
}

// Standard output is written as it stands, whatever it is connected to;
// anything else by name, replaced only once complete.
int save(const std::string &name, const uint32_t *pixels, uint32_t w, uint32_t h)
{
    if (!standard_open(name, STDOUT_FILENO))
        return 1;
    FILE *out = nullptr;
    if (name == "-" && !(out = fopencookie(nullptr, "wb", {nullptr, write_standard_output, nullptr, nullptr}))) {
        fprintf(stderr, "imagetool: -: %s\n", strerror(errno));
        return 1;
    }
    const int result = out ? save_tga(out, pixels, w, h) : save_image(name.c_str(), pixels, w, h, IMAGE_FORMAT_TGA);
    if (result != 0) {
        report(name, name == "-" ? "" : name);
        return 1;
    }
    show_held_lines(name);
    return 0;
}

// True when the output is a terminal, which binary data would only garble:
// standard output for "-", else a character device that is one.
bool terminal_output(const std::string &name)
{
    if (name == "-")
        return !(closed_at_start & (1u << STDOUT_FILENO)) && isatty(STDOUT_FILENO);
    struct stat st;
    if (stat(name.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const int fd = open(name.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const bool terminal = fd >= 0 && isatty(fd);
    if (fd >= 0)
        close(fd);
    return terminal;
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

void print_usage(FILE *to)
{
    fputs(usage, to);
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
        if (!standard_open(name, STDIN_FILENO)) {
            status = 1;
            continue;
        }
        uint32_t w = 0, h = 0;
        unsigned int format = 0;
        const int read = name == "-" ? image_info_fd(STDIN_FILENO, &w, &h, &format)
                                     : image_info(name.c_str(), &w, &h, &format);
        if (read != 0) {
            report(name, source_name(name));
            status = 1;
            continue;
        }
        show_held_lines(name);
        printf("%s: %s %ux%u\n", name.c_str(), format_names[format], w, h);
    }
    return flushed(status);
}

enum class alpha { where_needed, kept, dropped };

int convert(const std::string &in, const std::string &out, alpha keep_alpha, int flags)
{
    const std::string ext = misleading_extension(out);
    if (!ext.empty())
        return usage_error(out + ": the name ends in " + ext + ", but imagetool writes TGA only (.tga)");
    if (terminal_output(out))
        return usage_error(out + ": image data not written to a terminal");
    uint32_t w = 0, h = 0;
    uint32_t *pixels = load(in, &w, &h);
    if (!pixels)
        return 1;
    const bool translucent = std::any_of(pixels, pixels + size_t(w) * h, [](uint32_t p) { return p >> 24 != 0xFF; });
    if (keep_alpha == alpha::kept || (keep_alpha == alpha::where_needed && translucent))
        flags |= IMAGE_SAVE_ALPHA;
    set_image_save_flags(flags);
    const int status = save(out, pixels, w, h);
    free_image(pixels);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    if (!stand_in_for_closed_descriptors())
        return 1; // a file opened now could take the place of standard output or error
    set_image_message_handler(hold_line, nullptr);
    set_image_read_flags(IMAGE_READ_ANY); // a tool for people's files, whatever wrote them
    if (argc < 2)
        return usage_error("no command given");
    const std::string command = argv[1];
    if (const int status = answer_help_or_version(argv[1], "imagetool", print_usage); status >= 0)
        return status;
    if (command.size() > 1 && command[0] == '-')
        return usage_error("unknown option " + command);
    int flags = 0;
    alpha keep_alpha = alpha::where_needed;
    std::vector<std::string> operands;
    bool options_done = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!options_done && arg == "--") {
            options_done = true;
        } else if (!options_done && (arg == "-h" || arg == "--help")) {
            return answer_help_or_version(argv[i], "imagetool", print_usage);
        } else if (!options_done && arg == "--strict") {
            set_image_read_flags(0);
        } else if (!options_done && command == "convert" && (arg == "-a" || arg == "--alpha")) {
            keep_alpha = alpha::kept;
        } else if (!options_done && command == "convert" && arg == "--no-alpha") {
            keep_alpha = alpha::dropped;
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
        return convert(operands[0], operands[1], keep_alpha, flags);
    }
    return usage_error("unknown command " + command);
}
