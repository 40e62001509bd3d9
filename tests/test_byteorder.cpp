// test_byteorder.cpp - the byte-order streams: byte layout of each width in
// both orders, sign extension, float bit patterns and reads past the end.
#include "byteorder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// A scratch stream holding the given bytes, positioned at the start.
file_ptr stream_of(const bytes &content)
{
    file_ptr f(tmpfile());
    if (!content.empty())
        fwrite(content.data(), 1, content.size(), f.get());
    rewind(f.get());
    return f;
}

// Everything written to the stream so far.
bytes contents(FILE *f)
{
    fflush(f);
    rewind(f);
    bytes out;
    for (int c; (c = fgetc(f)) != EOF;)
        out.push_back(static_cast<unsigned char>(c));
    return out;
}

template <typename Write, typename T>
bytes written(Write write, T value)
{
    file_ptr f(tmpfile());
    write(f.get(), value);
    return contents(f.get());
}

uint32_t bits_of(float v)
{
    uint32_t b;
    memcpy(&b, &v, 4);
    return b;
}

TEST(ByteOrder, ReadsIntegersInBothOrdersWithSignExtension)
{
    EXPECT_EQ(read_int16(stream_of({0x01, 0x02}).get()), 513);
    EXPECT_EQ(read_int16_inv(stream_of({0x01, 0x02}).get()), 258);
    EXPECT_EQ(read_int16_inv(stream_of({0x00, 0xFF}).get()), 255);
    EXPECT_EQ(read_int16_inv(stream_of({0xFF, 0x00}).get()), -256);
    EXPECT_EQ(read_int16(stream_of({0x00, 0x80}).get()), -32768);
    EXPECT_EQ(read_int8(stream_of({0xFF}).get()), -1);
    EXPECT_EQ(read_int8(stream_of({0x7F}).get()), 127);
    EXPECT_EQ(read_int32(stream_of({0x01, 0x00, 0x00, 0x80}).get()), INT32_MIN + 1);
    EXPECT_EQ(read_int32_inv(stream_of({0x80, 0x00, 0x00, 0x01}).get()), INT32_MIN + 1);
}

TEST(ByteOrder, WritesIntegersInBothOrders)
{
    EXPECT_EQ(written(write_int32, INT32_MIN + 1), (bytes{0x01, 0x00, 0x00, 0x80}));
    EXPECT_EQ(written(write_int32_inv, INT32_MIN + 1), (bytes{0x80, 0x00, 0x00, 0x01}));
    EXPECT_EQ(written(write_int16, int16_t(0x0102)), (bytes{0x02, 0x01}));
    EXPECT_EQ(written(write_int16_inv, int16_t(0x0102)), (bytes{0x01, 0x02}));
    EXPECT_EQ(written(write_int16_inv, int16_t(-2)), (bytes{0xFF, 0xFE}));
    EXPECT_EQ(written(write_int8, 0x1FE), (bytes{0xFE})); // the low byte only
    EXPECT_EQ(written(write_int8, -1), (bytes{0xFF}));
}

TEST(ByteOrder, FloatsMoveAsBitPatterns)
{
    EXPECT_EQ(written(write_float, 1.0f), (bytes{0x00, 0x00, 0x80, 0x3F}));
    EXPECT_EQ(written(write_float_inv, 1.0f), (bytes{0x3F, 0x80, 0x00, 0x00}));
    EXPECT_EQ(written(write_float_inv, -1.0f), (bytes{0xBF, 0x80, 0x00, 0x00}));
    EXPECT_EQ(read_float_inv(stream_of({0x3F, 0x80, 0x00, 0x00}).get()), 1.0f);
    EXPECT_EQ(read_float(stream_of({0x00, 0x00, 0x80, 0x3F}).get()), 1.0f);
    // A signalling NaN would be quieted by any numeric conversion on the way.
    EXPECT_EQ(bits_of(read_float(stream_of({0x01, 0x00, 0xA0, 0x7F}).get())), 0x7FA00001u);
    EXPECT_EQ(bits_of(read_float_inv(stream_of({0x7F, 0xA0, 0x00, 0x01}).get())), 0x7FA00001u);
}

TEST(ByteOrder, ReadsPastTheEndGiveZeroForMissingBytes)
{
    file_ptr one = stream_of({0x34});
    EXPECT_EQ(read_int16(one.get()), 0x34);
    EXPECT_TRUE(feof(one.get()));
    EXPECT_EQ(read_int16_inv(stream_of({0x34}).get()), 0x3400);
    EXPECT_EQ(read_int32(stream_of({0x11, 0x22, 0x33}).get()), 0x332211);
    EXPECT_EQ(read_int32_inv(stream_of({}).get()), 0);
    EXPECT_EQ(read_int8(stream_of({}).get()), 0);
    EXPECT_EQ(read_float(stream_of({}).get()), 0.0f);
}

} // namespace
