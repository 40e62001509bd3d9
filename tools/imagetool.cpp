// imagetool.cpp - the image library from the command line: tells what a file
// holds, and converts anything the library reads to TGA.
#include "image.h"
#include "image_front.h" // load_image_format, until the public header tells the format
#include "image_tga.h"   // save_tga, to write standard output as it stands

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char usage[] =
    "Usage: imagetool info FILE...\n"
    "       imagetool convert [--alpha] [--flip] INPUT OUTPUT.tga\n"
    "       imagetool --version\n"
    "\n"
    "Reads PNG (8-bit RGB and RGBA), JFIF JPEG and TGA (uncompressed true colour\n"
    "with the version 2 footer), recognising each file by its content. A FILE or\n"
    "INPUT of - is standard input (pipes work); an OUTPUT of - is standard output.\n"
    "\n"
    "  info       print each file's format and size: \"FILE: FORMAT WIDTHxHEIGHT\"\n"
    "  convert    write INPUT as an uncompressed TGA file; the output is replaced\n"
    "             only once it has been written completely. An OUTPUT named\n"
    "             .png or .jpg (.jpeg, .jpe, .jfif) is refused: TGA is written\n"
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
// shown after the file's name when it succeeds (warnings).
class held_messages {
public:
    held_messages()
    {
        fflush(stderr);
        held_ = tmpfile();
        saved_ = held_ ? dup(STDERR_FILENO) : -1;
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

uint32_t *load(const std::string &name, uint32_t *w, uint32_t *h, unsigned int *format)
{
    const std::string path = name == "-" ? "/dev/stdin" : name;
    held_messages held;
    uint32_t *pixels = load_image_format(path.c_str(), w, h, format);
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

// The format an output's extension claims other than TGA, or null: the tool
// writes TGA only, and a file named .png holding TGA bytes misleads every
// program that goes by the name.
const char *misleading_format(const std::string &name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.find('/', dot) != std::string::npos)
        return nullptr;
    std::string ext = name.substr(dot + 1);
    for (char &c : ext)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (ext == "png")
        return "PNG";
    if (ext == "jpg" || ext == "jpeg" || ext == "jpe" || ext == "jfif")
        return "JPEG";
    return nullptr;
}

int usage_error(const std::string &message)
{
    fprintf(stderr, "imagetool: %s\nTry 'imagetool --help'.\n", message.c_str());
    return 2;
}

int info(const std::vector<std::string> &files)
{
    int status = 0;
    for (const std::string &name : files) {
        uint32_t w = 0, h = 0;
        unsigned int format = 0;
        uint32_t *pixels = load(name, &w, &h, &format);
        if (!pixels) {
            status = 1;
            continue;
        }
        free_image(pixels);
        printf("%s: %s %ux%u\n", name.c_str(), format_names[format], w, h);
    }
    if (fflush(stdout) != 0) {
        fprintf(stderr, "imagetool: standard output: %s\n", strerror(errno));
        return 1;
    }
    return status;
}

int convert(const std::string &in, const std::string &out, int flags)
{
    if (const char *claimed = misleading_format(out))
        return usage_error(out + ": the name says " + claimed + ", but imagetool writes TGA only");
    uint32_t w = 0, h = 0;
    uint32_t *pixels = load(in, &w, &h, nullptr);
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
        return 0;
    }
    if (command == "--version") {
        puts("imagetool " CAUSTIC_VERSION);
        return 0;
    }
    int flags = 0;
    std::vector<std::string> operands;
    bool options_done = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!options_done && arg == "--") {
            options_done = true;
        } else if (!options_done && (arg == "-h" || arg == "--help")) {
            fputs(usage, stdout);
            return 0;
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
        if (operands.size() != 2)
            return usage_error("convert needs an input and an output file");
        return convert(operands[0], operands[1], flags);
    }
    return usage_error("unknown command " + command);
}
