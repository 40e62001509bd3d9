// make_maps.cpp - writes the demo's default maps, "normal.png" and "out.png",
// from one procedural water surface: a sum of travelling-wave crests frozen in
// time. The normal map holds the surface's normals, the offset map the
// sideways shift that refraction through the surface gives the light.
//
// Usage: caustic-make-maps [DIRECTORY]   (default: the current directory)
#include "png_write.h"
#include "tool_options.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int width = 640;
const int height = 480;

struct wave {
    double kx, ky;  // direction and wave number, radians per pixel
    double amp;     // height, in pixels
    double phase;
};

// A handful of crossing swells and a few short ripples. Fixed values, so the
// maps are the same on every run and every machine.
const wave waves[] = {
    {0.0310, 0.0120, 5.0, 0.3},  {-0.0170, 0.0290, 4.5, 1.7}, {0.0220, -0.0250, 4.0, 4.1},
    {0.0450, 0.0380, 2.2, 2.2},  {-0.0520, 0.0210, 2.0, 5.3}, {0.0090, 0.0610, 1.6, 0.9},
    {0.0830, -0.0360, 0.9, 3.6}, {-0.0290, -0.0880, 0.8, 1.1},
    {0.1310, 0.0570, 1.0, 2.8},  {-0.0610, 0.1420, 0.9, 0.4}, {0.1030, -0.1180, 0.8, 5.9},
};

// The whole surface leans a little towards the demo's light, so that the
// crests' slopes swing normals into and out of the highlight everywhere on
// the screen rather than on a few steep crests only.
const double tilt_x = 0.07, tilt_y = -0.07;

// Slope of the surface at (x, y): the height's partial derivatives.
void slope(double x, double y, double &dx, double &dy)
{
    dx = tilt_x;
    dy = tilt_y;
    for (const wave &w : waves) {
        const double c = w.amp * std::cos(w.kx * x + w.ky * y + w.phase);
        dx += c * w.kx;
        dy += c * w.ky;
    }
}

// Channel value c encodes c / 128 - 1.
unsigned char encode(double v)
{
    long c = std::lround((v + 1.0) * 128.0);
    return static_cast<unsigned char>(c < 0 ? 0 : c > 255 ? 255 : c);
}

void usage(FILE *to)
{
    fputs("Usage: caustic-make-maps [DIRECTORY]\n"
          "Writes the demo's default maps, 640 x 480 PNG files, into DIRECTORY\n"
          "(default: the current directory), which must exist; files of the same\n"
          "names there are replaced. Both come from one procedural water surface,\n"
          "a sum of crossing waves:\n"
          "  normal.png  the surface's normals: red x (right), green y (up the\n"
          "              screen), blue z (out of it)\n"
          "  out.png     its slope, the sideways shift that refraction through the\n"
          "              surface gives the light: red rightwards, green downwards\n"
          "A channel value c stands for c/128 - 1.\n"
          "  -h, --help  show this text\n"
          "  --version   show the version\n",
          to);
}

} // namespace

int main(int argc, char **argv)
{
    const char *const tool = "caustic-make-maps";
    if (argc == 2) {
        const int status = answer_help_or_version(argv[1], tool, usage);
        if (status >= 0)
            return status;
    }
    // An option it does not know is a mistake, not a folder's name (./-x is one).
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        if (argc > 2)
            fprintf(stderr, "%s: too many arguments\n", tool);
        else
            fprintf(stderr, "%s: unknown option %s\n", tool, argv[1]);
        usage(stderr);
        return 2;
    }
    const std::string dir = argc > 1 ? std::string(argv[1]) + "/" : std::string();
    std::vector<unsigned char> normal(static_cast<size_t>(width) * height * 3);
    std::vector<unsigned char> offset(normal.size());

    // Refraction bends light along the slope; this sets how far, in the
    // offset map's units (1 = 0.6 of the screen).
    const double refraction = 0.35;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double dx, dy;
            slope(x, y, dx, dy);
            // Normal of the height field (-dh/dx, -dh/dy, 1) with y down the
            // screen; the normal map's green axis points up, hence dy, not -dy.
            const double len = std::sqrt(dx * dx + dy * dy + 1.0);
            unsigned char *n = &normal[(static_cast<size_t>(y) * width + x) * 3];
            n[0] = encode(-dx / len);
            n[1] = encode(dy / len);
            n[2] = encode(1.0 / len);
            unsigned char *o = &offset[(static_cast<size_t>(y) * width + x) * 3];
            o[0] = encode(refraction * dx);
            o[1] = encode(refraction * dy);
            o[2] = 128;
        }
    }
    if (!write_rgb_png((dir + "normal.png").c_str(), width, height, normal.data()) ||
        !write_rgb_png((dir + "out.png").c_str(), width, height, offset.data()))
        return 1;
    return 0;
}
