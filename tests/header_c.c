/* header_c.c - the public header must stay usable from plain C. */
#include "image.h"

int c_header_round_trip(void)
{
    set_image_save_flags(IMAGE_SAVE_ALPHA | IMAGE_SAVE_FLIP);
    int flags = get_image_save_flags();
    set_image_save_flags(0);
    uint64_t limit = get_image_max_pixels();
    set_image_max_pixels(limit);
    const int messages = get_image_messages();
    set_image_messages(0);
    uint32_t width, height;
    unsigned int format;
    const unsigned char none[1] = {0};
    int read = image_info("", &width, &height, &format) == 0 || load_image_memory(none, 1, &width, &height) != 0;
    set_image_messages(messages);
    return flags == (IMAGE_SAVE_ALPHA | IMAGE_SAVE_FLIP) && IMAGE_FORMAT_TGA == 2 && limit != 0 && !read &&
           image_error() != 0;
}
