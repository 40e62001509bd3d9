/* use_image.c - a C program built against the installed image library. It
 * prints the version its header gives. */
#include <caustic/image.h>
#include <image.h> /* the name older programs use: the same header, once */
#include <stdio.h>
#include <string.h>

#define TEXT(x) #x
#define NUMBER(x) TEXT(x)

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    const char *parts = NUMBER(IMAGE_VERSION_MAJOR) "." NUMBER(IMAGE_VERSION_MINOR) "." NUMBER(IMAGE_VERSION_PATCH);
    if (strcmp(parts, IMAGE_VERSION_STRING) != 0) {
        printf("c version %s against its parts %s\n", IMAGE_VERSION_STRING, parts);
        return 1;
    }
    const uint32_t pixels[2] = {0xFF102030u, 0x80405060u};
    set_image_save_flags(IMAGE_SAVE_ALPHA);
    if (save_image(argv[1], pixels, 2, 1, IMAGE_FORMAT_TGA) != 0)
        return 1;
    uint32_t w, h;
    uint32_t *back = load_image(argv[1], &w, &h);
    int ok = back && w == 2 && h == 1 && back[0] == pixels[0] && back[1] == pixels[1];
    free_image(back);
    printf("c %s %s\n", ok ? "ok" : "mismatch", IMAGE_VERSION_STRING);
    return !ok;
}
