/* use_image.c - a C program built against the installed image library. */
#include <image.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    const uint32_t pixels[2] = {0xFF102030u, 0x80405060u};
    set_image_save_flags(IMAGE_SAVE_ALPHA);
    if (save_image(argv[1], pixels, 2, 1, IMAGE_FORMAT_TGA) != 0)
        return 1;
    uint32_t w, h;
    uint32_t *back = load_image(argv[1], &w, &h);
    int ok = back && w == 2 && h == 1 && back[0] == pixels[0] && back[1] == pixels[1];
    free_image(back);
    puts(ok ? "c ok" : "c mismatch");
    return !ok;
}
