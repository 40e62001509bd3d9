// byteorder.h - fixed-width values on streams, in host order or reversed (_inv).
// The host is little-endian: plain operations move little-endian data, the
// _inv ones big-endian data. A read that meets the end of the stream returns 0
// for the bytes it did not get; callers test feof themselves.
#ifndef BYTEORDER_H
#define BYTEORDER_H

#include <cstdint>
#include <cstdio>

int read_int8(FILE *stream);
int read_int16(FILE *stream);
int read_int16_inv(FILE *stream);
int32_t read_int32(FILE *stream);
int32_t read_int32_inv(FILE *stream);
float read_float(FILE *stream);
float read_float_inv(FILE *stream);

void write_int8(FILE *stream, int value);
void write_int16(FILE *stream, int16_t value);
void write_int16_inv(FILE *stream, int16_t value);
void write_int32(FILE *stream, int32_t value);
void write_int32_inv(FILE *stream, int32_t value);
void write_float(FILE *stream, float value);
void write_float_inv(FILE *stream, float value);

#endif
