// fuzz_jpeg.cpp - fuzz harness: the jpeg probe and loader on arbitrary bytes.
#include "fuzz_codec.h"
#include "image_jpg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz_codec<check_jpeg, load_jpeg>(data, size);
}
