// fuzz_load_image.cpp - fuzz harness: the library's front end on a real file
// holding arbitrary bytes, probes and all, and on the same bytes in memory
// and their headers alone.
#include "fuzz_codec.h"
#include "image.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = [] {
        const char *dir = getenv("TMPDIR");
        return std::string(dir ? dir : "/tmp") + "/fuzz_load_image." + std::to_string(getpid());
    }();
    fuzz_pixel_limit();
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    if (size && fwrite(data, 1, size, f) != size)
        abort();
    fclose(f);
    // The same bytes from memory load alike, and a load gets past the
    // headers exactly where image_info says they are sound.
    uint32_t width = 0, height = 0, memory_width = 0, memory_height = 0, info_width = 0, info_height = 0;
    unsigned int format;
    uint32_t *pixels = load_image(path.c_str(), &width, &height);
    uint32_t *memory = load_image_memory(data, size, &memory_width, &memory_height);
    const int info = image_info(path.c_str(), &info_width, &info_height, &format);
    if (!pixels != !memory || (pixels && (memory_width != width || memory_height != height ||
                                          memcmp(pixels, memory, size_t(width) * height * 4) != 0)))
        abort();
    if (pixels && (info != 0 || info_width != width || info_height != height))
        abort();
    free_image(pixels);
    free_image(memory);
    unlink(path.c_str());
    return 0;
}
