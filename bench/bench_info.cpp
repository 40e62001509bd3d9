// bench_info.cpp - what image_info costs against a whole load of the same
// file: a 4096 x 4096 photo as PNG (written by libpng with its defaults) and
// as TGA (written by this library). image_info reads the headers alone, so
// its time should not grow with the image: at most a twentieth of the load.
#include "load_bench.h"
#include "png_write.h"

namespace {

// Timing wrong results tells nothing: the load gives the picture back and
// image_info its size and format.
bool agree(const std::string &path, const picture &p, unsigned int format)
{
    uint32_t w = 0, h = 0;
    uint32_t *pixels = load_image(path.c_str(), &w, &h);
    bool ok = pixels && w == p.width && h == p.height && memcmp(pixels, p.pixels.data(), p.pixels.size() * 4) == 0;
    free_image(pixels);
    unsigned int found = 99;
    w = h = 0;
    return ok && image_info(path.c_str(), &w, &h, &found) == 0 && w == p.width && h == p.height && found == format;
}

} // namespace

int main(int argc, char **argv)
{
    pin_allocator(argc, argv);
    picture p{"photo", 4096, 4096, false, std::vector<uint32_t>(size_t(4096) * 4096)};
    paint_photo(p, false);
    std::vector<unsigned char> rgb(p.pixels.size() * 3);
    for (size_t i = 0; i < p.pixels.size(); ++i)
        for (int k = 0; k < 3; ++k)
            rgb[3 * i + k] = static_cast<unsigned char>(p.pixels[i] >> (16 - 8 * k));
    const std::string png = temp_path("bench_info", p, ".png"), tga = temp_path("bench_info", p, ".tga");
    const bool written = write_rgb_png(png.c_str(), int(p.width), int(p.height), rgb.data()) &&
                         save_image(tga.c_str(), p.pixels.data(), p.width, p.height, IMAGE_FORMAT_TGA) == 0;
    if (!written || !agree(png, p, IMAGE_FORMAT_PNG) || !agree(tga, p, IMAGE_FORMAT_TGA)) {
        fprintf(stderr, "image_info or load_image got the picture wrong\n");
        return 1;
    }
    std::vector<contender> all;
    for (const std::string &path : {png, tga}) {
        const std::string label = path.substr(path.size() - 3);
        all.push_back({"info/" + label, [path] {
                           uint32_t w, h;
                           unsigned int format;
                           benchmark::DoNotOptimize(image_info(path.c_str(), &w, &h, &format));
                       }});
        all.push_back({"load/" + label, [path] {
                           uint32_t w, h;
                           uint32_t *pixels = load_image(path.c_str(), &w, &h);
                           benchmark::DoNotOptimize(pixels);
                           free_image(pixels);
                       }});
    }
    const round_collector c = run_rounds(argc, argv, all, 7);
    for (const char *label : {"png", "tga"})
        ratio_row(c, std::string("image_info of a ") + label + " photo 4096x4096", std::string("info/") + label,
                  "load_image of the same file", std::string("load/") + label);
    unlink(png.c_str());
    unlink(tga.c_str());
    return 0;
}
