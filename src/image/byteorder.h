// byteorder.h - fixed-width little-endian values on streams (the host's order:
// the host is little-endian), as TGA stores them. A read that meets the end of
// the stream returns 0 for the bytes it did not get; callers test feof
// themselves.
#ifndef BYTEORDER_H
#define BYTEORDER_H

#include <cstdint>
#include <cstdio>

int read_int8(FILE *stream);
int read_int16(FILE *stream);
int32_t read_int32(FILE *stream);

void write_int8(FILE *stream, int value);
void write_int16(FILE *stream, int16_t value);
void write_int32(FILE *stream, int32_t value);

#endif
