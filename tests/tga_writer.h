// tga_writer.h - builds TGA files byte by byte, for the tests that need
// particular kinds of file, damaged ones included.
#ifndef TGA_WRITER_H
#define TGA_WRITER_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

struct tga_fields {
    uint16_t width, height;
    int depth = 24;
    int descriptor = 0x20; // top row first, no alpha bits
    int image_type = 2;    // uncompressed true colour
    int id_length = 0;
    int cmap_type = 0;
    uint16_t cmap_length = 0;
    int cmap_bits = 0;
    uint16_t cmap_first = 0;
};

// The header, `body` as it is, and (unless left out) the version 2 footer:
// extension and developer offsets of 0, the signature and its closing zero.
inline std::vector<unsigned char> tga_file(const tga_fields &t, const std::vector<unsigned char> &body,
                                           bool with_footer = true)
{
    static const unsigned char footer[26] = {0, 0, 0, 0, 0, 0, 0, 0, 'T', 'R', 'U', 'E', 'V', 'I', 'S', 'I', 'O',
                                             'N', '-', 'X', 'F', 'I', 'L', 'E', '.', 0};
    const unsigned char header[18] = {
        uint8_t(t.id_length), uint8_t(t.cmap_type), uint8_t(t.image_type), uint8_t(t.cmap_first),
        uint8_t(t.cmap_first >> 8),
        uint8_t(t.cmap_length), uint8_t(t.cmap_length >> 8), uint8_t(t.cmap_bits), 0, 0, 0, 0,
        uint8_t(t.width), uint8_t(t.width >> 8), uint8_t(t.height), uint8_t(t.height >> 8),
        uint8_t(t.depth), uint8_t(t.descriptor)};
    std::vector<unsigned char> f(sizeof header + body.size() + (with_footer ? sizeof footer : 0));
    memcpy(f.data(), header, sizeof header);
    std::copy(body.begin(), body.end(), f.begin() + sizeof header);
    if (with_footer)
        memcpy(f.data() + sizeof header + body.size(), footer, sizeof footer);
    return f;
}

#endif
