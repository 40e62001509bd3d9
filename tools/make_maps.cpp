// make_maps.cpp - writes the demo's default maps, "normal.png" and "out.png",
// from one procedural water surface: a sum of travelling-wave crests frozen in
// time. The normal map holds the surface's normals, the offset map the
// sideways shift that refraction through the surface gives the light.
//
// Usage: make_maps [DIRECTORY]   (default: the current directory)
#include <png.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
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
    {0.0310, 0.0120, 7.5, 0.3},  {-0.0170, 0.0290, 6.5, 1.7}, {0.0220, -0.0250, 5.5, 4.1},
    {0.0450, 0.0380, 2.6, 2.2},  {-0.0520, 0.0210, 2.2, 5.3}, {0.0090, 0.0610, 1.8, 0.9},
    {0.0830, -0.0360, 0.9, 3.6}, {-0.0290, -0.0880, 0.8, 1.1},
};

// Slope of the surface at (x, y): the height's partial derivatives.
void slope(double x, double y, double &dx, double &dy)
{
    dx = dy = 0;
    for (const wave &w : waves) {
        const double c = w.amp * std::cos(w.kx * x + w.ky * y + w.phase);
        dx += c * w.kx;
        dy += c * w.ky;
    }
}

// Channel value c encodes c / 128 - 1.
png_byte encode(double v)
{
    long c = std::lround((v + 1.0) * 128.0);
    return static_cast<png_byte>(c < 0 ? 0 : c > 255 ? 255 : c);
}

bool write_rgb_png(const std::string &path, const std::vector<png_byte> &rgb)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) {
        fprintf(stderr, "make_maps: cannot write %s\n", path.c_str());
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        fclose(f);
        fprintf(stderr, "make_maps: cannot write %s\n", path.c_str());
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_byte *>(&rgb[static_cast<size_t>(y) * width * 3]));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (fclose(f) != 0) {
        fprintf(stderr, "make_maps: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string dir = argc > 1 ? std::string(argv[1]) + "/" : std::string();
    std::vector<png_byte> normal(static_cast<size_t>(width) * height * 3);
    std::vector<png_byte> offset(normal.size());

    // Refraction bends light along the slope; this sets how far, in the
    // offset map's units (1 = 0.6 of the screen).
    const double refraction = 0.55;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double dx, dy;
            slope(x, y, dx, dy);
            // Normal of the height field (-dh/dx, -dh/dy, 1), with the normal
            // map's green axis pointing up the screen.
            const double len = std::sqrt(dx * dx + dy * dy + 1.0);
            png_byte *n = &normal[(static_cast<size_t>(y) * width + x) * 3];
            n[0] = encode(-dx / len);
            n[1] = encode(-dy / len);
            n[2] = encode(1.0 / len);
            png_byte *o = &offset[(static_cast<size_t>(y) * width + x) * 3];
            o[0] = encode(refraction * dx);
            o[1] = encode(refraction * dy);
            o[2] = 128;
        }
    }
    if (!write_rgb_png(dir + "normal.png", normal) || !write_rgb_png(dir + "out.png", offset))
        return 1;
    return 0;
}
