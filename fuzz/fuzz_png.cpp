// fuzz_png.cpp - fuzz harness: the png probe and loader on arbitrary bytes, in
// the read mode the input's last byte picks, and the header reading, which
// must accept every file that loads, with its size.
#include "fuzz_codec.h"
#include "image_png.h"

namespace {

// A stream over the bytes, past the probe; null when the probe refuses them.
FILE *probed(const uint8_t *data, size_t size)
{
    FILE *stream = size != 0 ? fmemopen(const_cast<uint8_t *>(data), size, "rb") : nullptr;
    if (stream && !check_png(stream)) {
        fclose(stream);
        return nullptr;
    }
    return stream;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A whole PNG file ends with its end chunk's checksum, 0x82: the seeds are
    // read with IMAGE_READ_ANY, which takes all the strict mode takes and
    // more, and an odd last byte picks the strict mode.
    set_image_read_flags(size != 0 && data[size - 1] % 2 != 0 ? 0 : IMAGE_READ_ANY);
    fuzz_pixel_limit();
    FILE *stream = probed(data, size);
    if (!stream)
        return 0;
    uint32_t width = 0, height = 0, info_width = 0, info_height = 0;
    uint32_t *pixels = load_png(stream, &width, &height);
    if (pixels && (info_png(probed(data, size), &info_width, &info_height) != 0 || info_width != width ||
                   info_height != height))
        abort();
    if (pixels && width && height) {
        // Touch the first and last pixel so a wrongly sized buffer shows.
        volatile uint32_t sink = pixels[0] ^ pixels[static_cast<size_t>(width) * height - 1];
        (void)sink;
    }
    free(pixels);
    return 0;
}
