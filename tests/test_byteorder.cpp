// test_byteorder.cpp - the byte-order streams: byte layout of each width,
// sign extension and reads past the end.
#include "byteorder.h"

#include <gtest/gtest.h>

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

TEST(ByteOrder, ReadsIntegersWithSignExtension)
{
    EXPECT_EQ(read_int16(stream_of({0x01, 0x02}).get()), 513);
    EXPECT_EQ(read_int16(stream_of({0xFF, 0x00}).get()), 255);
    EXPECT_EQ(read_int16(stream_of({0x00, 0x80}).get()), -32768);
    EXPECT_EQ(read_int8(stream_of({0xFF}).get()), -1);
    EXPECT_EQ(read_int8(stream_of({0x7F}).get()), 127);
    EXPECT_EQ(read_int32(stream_of({0x01, 0x00, 0x00, 0x80}).get()), INT32_MIN + 1);
}

TEST(ByteOrder, WritesIntegers)
{
    EXPECT_EQ(written(write_int32, INT32_MIN + 1), (bytes{0x01, 0x00, 0x00, 0x80}));
    EXPECT_EQ(written(write_int16, int16_t(0x0102)), (bytes{0x02, 0x01}));
    EXPECT_EQ(written(write_int16, int16_t(-2)), (bytes{0xFE, 0xFF}));
    EXPECT_EQ(written(write_int8, 0x1FE), (bytes{0xFE})); // the low byte only
    EXPECT_EQ(written(write_int8, -1), (bytes{0xFF}));
}

TEST(ByteOrder, ReadsPastTheEndGiveZeroForMissingBytes)
{
    file_ptr one = stream_of({0x34});
    EXPECT_EQ(read_int16(one.get()), 0x34);
    EXPECT_TRUE(feof(one.get()));
    EXPECT_EQ(read_int32(stream_of({0x11, 0x22, 0x33}).get()), 0x332211);
    EXPECT_EQ(read_int32(stream_of({}).get()), 0);
    EXPECT_EQ(read_int8(stream_of({}).get()), 0);
}

} // namespace
