// fuzz_codec.h - runs one codec's probe and loader over bytes held in memory,
// the way the front end would over a file.
#ifndef FUZZ_CODEC_H
#define FUZZ_CODEC_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

template <int (*check)(FILE *), uint32_t *(*load)(FILE *, uint32_t *, uint32_t *)>
int fuzz_codec(const uint8_t *data, size_t size)
{
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
