// byteorder.cpp - fixed-width values on standard I/O streams, in host order or
// reversed. Each value moves with one fread or fwrite of its width.
#include "byteorder.h"

#include <cstring>

namespace {

// Fills n bytes from the stream; bytes the stream no longer has stay 0, so a
// short read yields a value built from what was there and zeros.
template <size_t n>
void read_bytes(FILE *stream, unsigned char (&bytes)[n])
{
    memset(bytes, 0, n);
    (void)fread(bytes, 1, n, stream);
}

template <size_t n>
void reverse_bytes(unsigned char (&bytes)[n])
{
    for (size_t i = 0; i < n / 2; ++i) {
        const unsigned char t = bytes[i];
        bytes[i] = bytes[n - 1 - i];
        bytes[n - 1 - i] = t;
    }
}

// Reads one value of type T, its bytes reversed when inv is set. memcpy keeps
// the bit pattern as it is: floats are not converted, and sign extension
// happens only when the caller widens the result.
template <typename T>
T read_value(FILE *stream, bool inv)
{
    unsigned char bytes[sizeof(T)];
    read_bytes(stream, bytes);
    if (inv)
        reverse_bytes(bytes);
    T value;
    memcpy(&value, bytes, sizeof value);
    return value;
}

template <typename T>
void write_value(FILE *stream, T value, bool inv)
{
    unsigned char bytes[sizeof(T)];
    memcpy(bytes, &value, sizeof bytes);
    if (inv)
        reverse_bytes(bytes);
    (void)fwrite(bytes, 1, sizeof bytes, stream);
}

} // namespace

int read_int8(FILE *stream) { return read_value<int8_t>(stream, false); }
int read_int16(FILE *stream) { return read_value<int16_t>(stream, false); }
int read_int16_inv(FILE *stream) { return read_value<int16_t>(stream, true); }
int32_t read_int32(FILE *stream) { return read_value<int32_t>(stream, false); }
int32_t read_int32_inv(FILE *stream) { return read_value<int32_t>(stream, true); }
float read_float(FILE *stream) { return read_value<float>(stream, false); }
float read_float_inv(FILE *stream) { return read_value<float>(stream, true); }

void write_int8(FILE *stream, int value) { write_value(stream, static_cast<uint8_t>(value), false); }
void write_int16(FILE *stream, int16_t value) { write_value(stream, value, false); }
void write_int16_inv(FILE *stream, int16_t value) { write_value(stream, value, true); }
void write_int32(FILE *stream, int32_t value) { write_value(stream, value, false); }
void write_int32_inv(FILE *stream, int32_t value) { write_value(stream, value, true); }
void write_float(FILE *stream, float value) { write_value(stream, value, false); }
void write_float_inv(FILE *stream, float value) { write_value(stream, value, true); }
