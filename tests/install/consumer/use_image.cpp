// use_image.cpp - a C++ program built against the installed image library.
#include <image.h>

#include <cstdio>
#include <memory>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    const uint32_t pixels[2] = {0xFF102030u, 0xFF405060u};
    if (save_image(argv[1], pixels, 2, 1, IMAGE_FORMAT_TGA) != 0)
        return 1;
    uint32_t w, h;
    std::unique_ptr<uint32_t, void (*)(uint32_t *)> back(load_image(argv[1], &w, &h), free_image);
    const bool ok = back && w == 2 && h == 1 && back.get()[0] == pixels[0] && back.get()[1] == pixels[1];
    std::puts(ok ? "c++ ok" : "c++ mismatch");
    return ok ? 0 : 1;
}
