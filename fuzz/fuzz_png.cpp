// fuzz_png.cpp - fuzz harness: the png probe and loader on arbitrary bytes.
#include "fuzz_codec.h"
#include "image_png.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz_codec<check_png, load_png>(data, size);
}
