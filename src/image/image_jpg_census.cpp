// image_jpg_census.cpp - the count of a JPEG file's scans before anything is
// decoded. Each scan costs libjpeg a pass over the blocks it covers, however
// little data it holds, so a file's scans are counted from its markers first
// and a file with too many is refused before the work is done. Everything is
// held in fixed arrays: a count that cannot run out of memory cannot fail for
// want of it.
#include "image_jpg_census.h"

#include "image_base.h"
#include "image_jpg.h"

#include <algorithm>
#include <cstring>

bool scans_within_limits(int scans, uint64_t scan_blocks, uint64_t image_blocks)
{
    if (scans > max_jpeg_scans) {
        fail_with_message("jpeg file has more than %d scans", max_jpeg_scans);
        return false;
    }
    if (image_blocks != 0 && scan_blocks > max_jpeg_coverage * image_blocks) {
        fail_with_message("jpeg scans go over the image more than %d times", static_cast<int>(max_jpeg_coverage));
        return false;
    }
    return true;
}

namespace {

// Marker codes, the byte after 0xFF.
namespace marker {
const int sof0 = 0xC0, dht = 0xC4, jpg = 0xC8, dac = 0xCC, sof15 = 0xCF, rst0 = 0xD0, rst7 = 0xD7;
const int soi = 0xD8, eoi = 0xD9, sos = 0xDA, dqt = 0xDB, dnl = 0xDC, dri = 0xDD, app0 = 0xE0, app15 = 0xEF;
const int com = 0xFE;
} // namespace marker

// Reads a stream in blocks for the census; the stream has its own buffer, so
// a small block costs little more than a large one.
struct byte_reader {
    FILE *stream;
    unsigned char block[8192];
    size_t pos = 0, len = 0;

    bool fill()
    {
        pos = 0;
        len = fread(block, 1, sizeof block, stream);
        return len != 0;
    }
    int next()
    {
        if (pos == len && !fill())
            return -1;
        return block[pos++];
    }
    // Moves past the next 0xFF byte; false at the end of the stream.
    bool past_next_ff()
    {
        for (;;) {
            if (pos == len && !fill())
                return false;
            const void *ff = memchr(block + pos, 0xFF, len - pos);
            if (ff) {
                pos = static_cast<const unsigned char *>(ff) - block + 1;
                return true;
            }
            pos = len;
        }
    }
    // Copies the next n bytes to `out`, or passes over them when `out` is
    // null; false at the end of the stream.
    bool take(unsigned char *out, size_t n)
    {
        while (n > 0) {
            if (pos == len && !fill())
                return false;
            const size_t step = std::min(n, len - pos);
            if (out)
                out = static_cast<unsigned char *>(memcpy(out, block + pos, step)) + step;
            pos += step;
            n -= step;
        }
        return true;
    }
};

// A frame or scan header, the bytes after its length field. The longest
// libjpeg takes is a frame of 255 components; it refuses any longer one.
struct header_bytes {
    unsigned char data[6 + 3 * 255];
    size_t size;
};

// The frame's components and the scans so far, as the census counts them.
struct scan_census {
    struct component {
        int id;
        uint64_t blocks;
    };
    component components[255];
    size_t count = 0; // components; none until the frame header
    uint64_t image_blocks = 0, scan_blocks = 0;
    int scans = 0;
    bool started = false; // the start-of-image marker has been met
};

// The code of the next marker, found as libjpeg's marker reader finds it:
// past any bytes that are not 0xFF, then past the fill bytes (0xFF) before
// the code. -1 at the end of the stream.
int next_marker_code(byte_reader &in)
{
    if (!in.past_next_ff())
        return -1;
    int code;
    while ((code = in.next()) == 0xFF) {
    }
    return code;
}

// Reads a segment's length field less its own two bytes, as libjpeg computes
// it: negative for a field below 2. False at the end of the stream.
bool read_segment_length(byte_reader &in, long *length)
{
    const int high = in.next(), low = in.next();
    if (low < 0)
        return false;
    *length = long(high << 8 | low) - 2;
    return true;
}

// Counts the components of a frame header in blocks, each rounded up as
// libjpeg does. False for a header libjpeg refuses: a second one, no
// components, or a length that does not match them.
bool count_frame(const header_bytes &segment, scan_census &census)
{
    const unsigned char *s = segment.data;
    if (segment.size < 6 || census.count != 0)
        return false;
    const uint64_t height = s[1] << 8 | s[2], width = s[3] << 8 | s[4];
    const size_t count = s[5];
    if (count == 0 || segment.size != 6 + 3 * count)
        return false;
    int max_h = 1, max_v = 1;
    for (size_t i = 0; i < count; ++i) {
        max_h = std::max(max_h, s[7 + 3 * i] >> 4);
        max_v = std::max(max_v, s[7 + 3 * i] & 15);
    }
    for (size_t i = 0; i < count; ++i) {
        const int h = s[7 + 3 * i] >> 4, v = s[7 + 3 * i] & 15;
        const uint64_t across = (width * h + 8 * max_h - 1) / (8 * max_h);
        const uint64_t down = (height * v + 8 * max_v - 1) / (8 * max_v);
        census.components[i] = {s[6 + 3 * i], across * down};
        census.image_blocks += across * down;
    }
    census.count = count;
    return true;
}

// The blocks of the component a scan names by `id`. Should two components of
// the frame share an id, libjpeg takes one of them (which one depends on its
// version), and an id no component has may stand for one it renamed: the
// largest candidate counts, so that the census never counts less than libjpeg
// decodes.
uint64_t blocks_of(const scan_census &census, int id)
{
    uint64_t named = 0, largest = 0;
    bool found = false;
    for (size_t i = 0; i < census.count; ++i) {
        const scan_census::component &c = census.components[i];
        largest = std::max(largest, c.blocks);
        if (c.id == id) {
            named = std::max(named, c.blocks);
            found = true;
        }
    }
    return found ? named : largest;
}

// Adds a scan header's blocks. False for a header libjpeg refuses: before the
// frame, or not one to four components with the length that holds them.
bool count_scan(const header_bytes &segment, scan_census &census)
{
    if (census.count == 0 || segment.size == 0)
        return false;
    const size_t count = segment.data[0];
    if (count < 1 || count > 4 || segment.size != 4 + 2 * count)
        return false;
    ++census.scans;
    for (size_t i = 0; i < count; ++i)
        census.scan_blocks += blocks_of(census, segment.data[1 + 2 * i]);
    return true;
}

// Takes the segment after a marker of the given kind whose length field
// (less its own two bytes) is `length`: a frame or scan header is read into
// `segment`, any other is passed over. False where libjpeg stops reading: the
// stream ends, a table, frame or scan claims a length below 2, or a frame or
// scan header is longer than any libjpeg takes.
bool take_segment(byte_reader &in, jpeg_marker kind, long length, header_bytes &segment)
{
    if (kind == jpeg_marker::skipped)
        return length <= 0 || in.take(nullptr, size_t(length)); // libjpeg skips nothing for a field below 2
    if (length < 0)
        return false;
    if (kind == jpeg_marker::table)
        return in.take(nullptr, size_t(length)); // libjpeg reads it whole, and refuses one its contents do not fill
    if (size_t(length) > sizeof segment.data)
        return false;
    segment.size = size_t(length);
    return in.take(segment.data, segment.size);
}

} // namespace

jpeg_marker jpeg_marker_kind(int code)
{
    // Below the frame markers: 0x00 (a stuffed zero in coded data), TEM and
    // the reserved codes, which libjpeg refuses between segments but passes
    // over while it looks for a restart marker in coded data.
    if (code < marker::sof0 || (code >= marker::rst0 && code <= marker::rst7))
        return jpeg_marker::no_segment;
    if (code == marker::dht || code == marker::dac || code == marker::dqt || code == marker::dri)
        return jpeg_marker::table;
    if (code == marker::soi || code == marker::eoi || code == marker::sos)
        return code == marker::soi ? jpeg_marker::start : code == marker::eoi ? jpeg_marker::end : jpeg_marker::scan;
    if (code == marker::dnl || code == marker::com || (code >= marker::app0 && code <= marker::app15))
        return jpeg_marker::skipped;
    if (code <= marker::sof15 && code != marker::jpg)
        return jpeg_marker::frame;
    return jpeg_marker::refused; // JPG, DHP, EXP, JPGn (0xF0 to 0xFD)
}

// The progress monitor alone would see the scans only as libjpeg reaches
// them, after paying for a pass over the image for each one allowed. Segments
// are read as libjpeg's marker reader reads them, and everything between them
// (coded data, stray bytes) is passed over as it passes over it. Where libjpeg
// stops with an error the count ends too, as libjpeg reads no scan beyond
// that point.
bool census_allows_scans(FILE *stream)
{
    byte_reader in;
    in.stream = stream;
    scan_census census;
    header_bytes segment;
    for (int code; (code = next_marker_code(in)) >= 0;) {
        const jpeg_marker kind = jpeg_marker_kind(code);
        if (kind == jpeg_marker::no_segment)
            continue;
        if (kind == jpeg_marker::start && !census.started) {
            census.started = true;
            continue;
        }
        if (kind == jpeg_marker::start || kind == jpeg_marker::end || kind == jpeg_marker::refused)
            return true;
        long length;
        if (!read_segment_length(in, &length) || !take_segment(in, kind, length, segment))
            return true;
        if (kind == jpeg_marker::frame && !count_frame(segment, census))
            return true;
        if (kind == jpeg_marker::scan && !count_scan(segment, census))
            return true;
        if (kind == jpeg_marker::scan && !scans_within_limits(census.scans, census.scan_blocks, census.image_blocks))
            return false;
    }
    return true;
}
