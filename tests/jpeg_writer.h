// jpeg_writer.h - makes JPEG files in memory with libjpeg's own encoder, for
// the tests that need particular kinds of file.
#ifndef JPEG_WRITER_H
#define JPEG_WRITER_H

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <jpeglib.h>
#include <vector>

// Compresses width x height pixels of `components` samples, sample(x, y, k)
// each, at quality 90. `configure` adjusts the compressor before it starts
// (sampling, progression, markers); `after_start` may write extra markers.
inline std::vector<unsigned char> compress_jpeg(int width, int height, int components, J_COLOR_SPACE space,
                                                const std::function<void(jpeg_compress_struct &)> &configure,
                                                const std::function<unsigned char(int, int, int)> &sample,
                                                const std::function<void(jpeg_compress_struct &)> &after_start = {})
{
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = width;
    c.image_height = height;
    c.input_components = components;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    configure(c);
    jpeg_start_compress(&c, TRUE);
    if (after_start)
        after_start(c);
    std::vector<unsigned char> row(static_cast<size_t>(width) * components);
    while (c.next_scanline < c.image_height) {
        const int y = static_cast<int>(c.next_scanline);
        for (int x = 0; x < width; ++x)
            for (int k = 0; k < components; ++k)
                row[static_cast<size_t>(x) * components + k] = sample(x, y, k);
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&c, &p, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<unsigned char> result(out, out + size);
    jpeg_destroy_compress(&c);
    free(out);
    return result;
}

#endif
