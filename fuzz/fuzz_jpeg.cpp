// fuzz_jpeg.cpp - fuzz harness: the jpeg probe and loader on arbitrary bytes,
// in the strict mode and with IMAGE_READ_ANY. The mode comes from the low bit
// of the input's last byte, which stays part of the data: every seed is still
// the file it was, one ending in its end-of-image marker (0xD9, odd) runs in
// the mode that reads every file the strict one does and more, and libFuzzer
// reaches the other mode by changing one byte.
#include "fuzz_codec.h"
#include "image_jpg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    set_image_read_flags(size && (data[size - 1] & 1) ? IMAGE_READ_ANY : 0);
    return fuzz_codec<check_jpeg, load_jpeg>(data, size);
}
