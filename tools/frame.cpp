// frame.cpp - renders, without a window, exactly the frame the demo presents
// for a pair of maps and a pointer position, and writes it as a PNG file.
// It runs the demo's own functions in the demo's own order: the sub-ray table
// first, then the maps, the light map, the drag event and one frame.
//
// Usage: caustic-render-frame [--pointer X Y] [-o FILE] [DIRECTORY]
#include "drag_event.h"
#include "png_write.h"
#include "tool_options.h"
#include "test.h"

#include "image.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void usage(FILE *to)
{
    fputs("Usage: caustic-render-frame [--pointer X Y] [-o FILE] [DIRECTORY]\n"
          "Writes the frame the demo shows for the maps out.png and normal.png in\n"
          "DIRECTORY (default: the current directory) after a left-button drag to\n"
          "window position (X, Y); without --pointer, the frame before any drag.\n"
          "  --pointer X Y  pointer position in window pixels, 0-65535 each\n"
          "  -o FILE        output PNG file (default: frame.png)\n"
          "  -h, --help     show this text\n"
          "  --version      show the version\n",
          to);
}

// The event's coordinates are unsigned 16-bit, as SDL delivers them.
bool parse_coordinate(const char *text, Uint16 *out)
{
    char *end;
    const unsigned long v = strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || v > 65535)
        return false;
    *out = static_cast<Uint16>(v);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const char *const tool = "caustic-render-frame";
    std::string dir = ".", output = "frame.png";
    bool dragged = false;
    Uint16 px = 0, py = 0;
    bool have_dir = false;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (const int status = answer_help_or_version(a, tool, usage); status >= 0) {
            return status;
        } else if (!strcmp(a, "--pointer") && i + 2 < argc) {
            if (!parse_coordinate(argv[i + 1], &px) || !parse_coordinate(argv[i + 2], &py)) {
                fprintf(stderr, "%s: bad pointer position %s %s\n", tool, argv[i + 1], argv[i + 2]);
                return 2;
            }
            dragged = true;
            i += 2;
        } else if (!strcmp(a, "-o") && i + 1 < argc) {
            output = argv[++i];
        } else if (a[0] != '-' && !have_dir) {
            dir = a;
            have_dir = true;
        } else {
            usage(stderr);
            return 2;
        }
    }

    // First of all, as at the demo's start: the table takes rand()'s first results.
    make_subrays();

    const std::string offset_path = dir + "/out.png", normal_path = dir + "/normal.png";
    offset_map = load_image(offset_path.c_str(), &oxsz, &oysz);
    nref_map = offset_map ? load_image(normal_path.c_str(), &nxsz, &nysz) : nullptr;
    if (!nref_map) {
        // As in the demo: the library's line where it printed one, else its reason.
        if (!image_error_printed())
            fprintf(stderr, "%s: %s\n", tool, image_error());
        free_image(offset_map);
        return 1;
    }
    if (nxsz != static_cast<uint32_t>(scrx) || nysz != static_cast<uint32_t>(scry)) {
        fprintf(stderr, "%s: %s is %u x %u pixels; the normal map must be 640 x 480\n", tool,
                normal_path.c_str(), nxsz, nysz);
        return 1;
    }
    make_light_map(nref_map, nxsz, nysz);

    if (dragged) {
        // The ray moves the way the demo moves it: through its event handler.
        const SDL_Event motion = left_drag_event(px, py);
        handle_event(&motion);
    }

    std::vector<uint32_t> screen(static_cast<size_t>(scrx) * scry);
    draw_frame(screen.data(), static_cast<size_t>(scrx));

    std::vector<unsigned char> rgb(screen.size() * 3);
    for (size_t i = 0; i < screen.size(); ++i) {
        rgb[3 * i] = static_cast<unsigned char>(screen[i] >> 16);
        rgb[3 * i + 1] = static_cast<unsigned char>(screen[i] >> 8);
        rgb[3 * i + 2] = static_cast<unsigned char>(screen[i]);
    }
    free_image(offset_map);
    free_image(nref_map);
    return write_rgb_png(output.c_str(), scrx, scry, rgb.data()) ? 0 : 1;
}
