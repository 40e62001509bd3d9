// imagetool.cpp - the image library from the command line: tells what a file
// holds, and converts anything the library reads to TGA.
#include "image.h"
#include "image_jpg.h"
#include "image_png.h"
#include "image_tga.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const char usage[] =
    "Usage: imagetool info FILE...\n"
    "       imagetool convert [--alpha] [--flip] INPUT OUTPUT.tga\n"
    "\n"
    "Reads PNG (8-bit RGB and RGBA), JFIF JPEG and TGA (uncompressed true colour\n"
    "with the version 2 footer), recognising each file by its content.\n"
    "\n"
    "  info       print each file's format and size: \"FILE: FORMAT WIDTHxHEIGHT\"\n"
    "  convert    write INPUT as an uncompressed TGA file; the output is replaced\n"
    "             only once it has been written completely\n"
    "    -a, --alpha   keep the alpha channel (32-bit pixels; default 24-bit)\n"
    "    -f, --flip    mark the rows bottom first, so readers show the image flipped\n"
    "  -h, --help       show this help\n"
    "\n"
    "Exit status: 0 on success, 1 if a file could not be read or written, 2 on a\n"
    "usage error.\n";

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};

// The library's own probes, in its own order: the first that accepts names the format.
const char *detect_format(const char *path)
{
    std::unique_ptr<FILE, file_closer> f(fopen(path, "rb"));
    if (!f)
        return nullptr;
    if (check_png(f.get()))
        return "PNG";
    if (check_jpeg(f.get()))
        return "JPEG";
    if (check_tga(f.get()))
        return "TGA";
    return "unknown";
}

int usage_error(const char *message)
{
    fprintf(stderr, "imagetool: %s\nTry 'imagetool --help'.\n", message);
    return 2;
}

int info(const std::vector<std::string> &files)
{
    int status = 0;
    for (const std::string &path : files) {
        const char *format = detect_format(path.c_str());
        if (!format) {
            fprintf(stderr, "imagetool: %s: %s\n", path.c_str(), strerror(errno));
            status = 1;
            continue;
        }
        const bool known = std::string(format) != "unknown";
        uint32_t w = 0, h = 0;
        uint32_t *pixels = known ? load_image(path.c_str(), &w, &h) : nullptr;
        if (!pixels) {
            fprintf(stderr, "imagetool: %s: not an image this library reads (%s)\n", path.c_str(),
                    known ? "damaged or unsupported" : "unrecognised content");
            status = 1;
            continue;
        }
        free_image(pixels);
        printf("%s: %s %ux%u\n", path.c_str(), format, w, h);
    }
    return status;
}

int convert(const std::string &in, const std::string &out, int flags)
{
    uint32_t w = 0, h = 0;
    uint32_t *pixels = load_image(in.c_str(), &w, &h);
    if (!pixels) {
        fprintf(stderr, "imagetool: %s: could not be read\n", in.c_str());
        return 1;
    }
    set_image_save_flags(flags);
    const int result = save_image(out.c_str(), pixels, w, h, IMAGE_FORMAT_TGA);
    free_image(pixels);
    if (result != 0) {
        fprintf(stderr, "imagetool: %s: could not be written\n", out.c_str());
        return 1;
    }
    return 0;
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
            return usage_error(("unknown option " + arg).c_str());
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
    return usage_error(("unknown command " + command).c_str());
}
