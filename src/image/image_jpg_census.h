// image_jpg_census.h - the JPEG codec's count of a file's scans, taken from
// its markers before anything is decoded, and the limits the count is held
// to. The codec's own; nothing else includes it.
#ifndef IMAGE_JPG_CENSUS_H
#define IMAGE_JPG_CENSUS_H

#include <cstdint>
#include <cstdio>

// True when `scans` scans covering `scan_blocks` blocks of an image of
// `image_blocks` are within the limits; otherwise fails with a message saying
// which is exceeded.
bool scans_within_limits(int scans, uint64_t scan_blocks, uint64_t image_blocks);

// Reads the stream from its position as libjpeg's marker reader would and
// counts the scans; false, with the reason, as soon as they exceed the
// limits. Allocates nothing. Leaves the stream's position undefined.
bool census_allows_scans(FILE *stream);

#endif
