// byteorder.cpp - fixed-width values on standard I/O streams, in host order.
// Each value moves with one fread or fwrite of its width.
#include "byteorder.h"

#include <cstring>

namespace {

template <typename T>
T read_value(FILE *stream)
{
    unsigned char bytes[sizeof(T)] = {};
    (void)fread(bytes, 1, sizeof bytes, stream);
    T value;
    memcpy(&value, bytes, sizeof value);
    return value;
}

template <typename T>
void write_value(FILE *stream, T value)
{
    (void)fwrite(&value, 1, sizeof value, stream);
}

} // namespace

int read_int8(FILE *stream) { return read_value<int8_t>(stream); }
int read_int16(FILE *stream) { return read_value<int16_t>(stream); }
int32_t read_int32(FILE *stream) { return read_value<int32_t>(stream); }

void write_int8(FILE *stream, int value) { write_value(stream, static_cast<uint8_t>(value)); }
void write_int16(FILE *stream, int16_t value) { write_value(stream, value); }
void write_int32(FILE *stream, int32_t value) { write_value(stream, value); }
