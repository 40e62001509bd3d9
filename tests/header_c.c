/* header_c.c - the public header must stay usable from plain C. */
#include "image.h"

int c_header_round_trip(void)
{
    set_image_save_flags(IMAGE_SAVE_ALPHA | IMAGE_SAVE_FLIP);
    int flags = get_image_save_flags();
    set_image_save_flags(0);
    uint64_t limit = get_image_max_pixels();
    set_image_max_pixels(limit);
    return flags == (IMAGE_SAVE_ALPHA | IMAGE_SAVE_FLIP) && IMAGE_FORMAT_TGA == 2 && limit != 0 && image_error() != 0;
}
