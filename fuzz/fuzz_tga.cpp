// fuzz_tga.cpp - fuzz harness: the tga probe and loader on arbitrary bytes,
// in the read mode the input's last byte picks: the reader of every type
// (IMAGE_READ_ANY) when its lowest bit is set, else the strict one. A file
// with the footer ends in the footer's closing zero, which no reader looks
// at, so such files replay in the strict mode, and one flipped bit takes
// any input to the other.
#include "fuzz_codec.h"
#include "image_tga.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    set_image_read_flags(size != 0 && (data[size - 1] & 1) ? IMAGE_READ_ANY : 0);
    return fuzz_codec<check_tga, load_tga>(data, size);
}
