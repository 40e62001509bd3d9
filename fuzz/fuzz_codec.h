// fuzz_codec.h - runs one codec's probe and loader over bytes held in memory,
// the way the front end would over a file.
#ifndef FUZZ_CODEC_H
#define FUZZ_CODEC_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "image.h"

// The harnesses load under a pixel limit of 2^22 (a 16 MiB buffer) instead of
// the default 2^29. A few bytes may describe a complete flat image of any
// size within the limit, which the readers must then produce in full; at the
// default, each such input would cost gigabytes and seconds and be reported
// as a finding, though decoding it is right. The limit itself is one
// comparison, which the unit tests check at the default.
inline void fuzz_pixel_limit()
{
    set_image_max_pixels(uint64_t(1) << 22);
}

template <int (*check)(FILE *), uint32_t *(*load)(FILE *, uint32_t *, uint32_t *)>
int fuzz_codec(const uint8_t *data, size_t size)
{
    fuzz_pixel_limit();
    if (size == 0)
        return 0; // fmemopen refuses an empty buffer
    FILE *stream = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (!stream)
        return 0;
    if (!check(stream)) {
        fclose(stream);
        return 0;
    }
    uint32_t width = 0, height = 0;
    uint32_t *pixels = load(stream, &width, &height);
    if (pixels && width && height) {
        // Touch the first and last pixel so a wrongly sized buffer shows.
        volatile uint32_t sink = pixels[0] ^ pixels[static_cast<size_t>(width) * height - 1];
        (void)sink;
    }
    free(pixels);
    return 0;
}

#endif
