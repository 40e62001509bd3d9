// fuzz_tga.cpp - fuzz harness: the tga probe and loader on arbitrary bytes.
#include "fuzz_codec.h"
#include "image_tga.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz_codec<check_tga, load_tga>(data, size);
}
