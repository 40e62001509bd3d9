// fuzz_load_image.cpp - fuzz harness: the library's front end on a real file
// holding arbitrary bytes, probes and all.
#include "fuzz_codec.h"
#include "image.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
    uint32_t width = 0, height = 0;
    free_image(load_image(path.c_str(), &width, &height));
    unlink(path.c_str());
    return 0;
}
