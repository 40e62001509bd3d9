// image_limits.h - the bounds every reader applies to what a file claims,
// shared by the codecs behind the image library's front end.
#ifndef IMAGE_LIMITS_H
#define IMAGE_LIMITS_H

#include <cstdint>

// True when a width x height image is within the process-wide pixel limit
// (set_image_max_pixels); otherwise says so on standard error and returns
// false. Readers call it as soon as the header gives the size.
bool image_size_allowed(uint64_t width, uint64_t height);

// The most pixels a reader makes up for a file whose data ends early. Below
// it, a cut-off file still shows what it has, the rest filled in; above it the
// load fails, as a few bytes claiming a huge image would otherwise cost the
// whole image's time and memory.
const uint64_t max_invented_pixels = uint64_t(1) << 26; // an 8192 x 8192 image

#endif
