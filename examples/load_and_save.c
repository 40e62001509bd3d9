/* load_and_save.c - load an image, say what it is, and save it as TGA.
 *
 * Usage: load_and_save INPUT OUTPUT.tga
 *
 * Prints the image's format and size, its top-left pixel and whether it is
 * opaque, then writes it as TGA, keeping alpha only where some pixel uses it. */
#include <caustic/image.h>

#include <stdio.h>

static const char *const format_names[] = {"PNG", "JPEG", "TGA"};

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "Usage: load_and_save INPUT OUTPUT.tga\n");
        return 2;
    }
    /* A quick look first: it reads no pixels, and turns away what is no image. */
    uint32_t width, height;
    unsigned int format;
    if (image_info(argv[1], &width, &height, &format) != 0) {
        fprintf(stderr, "load_and_save: %s\n", image_error());
        return 1;
    }
    uint32_t *pixels = load_image(argv[1], &width, &height);
    if (!pixels) {
        fprintf(stderr, "load_and_save: %s\n", image_error());
        return 1;
    }
    /* Each pixel is one word, alpha in its top byte. */
    int opaque = 1;
    for (size_t i = 0; i < (size_t)width * height; ++i)
        opaque &= pixels[i] >> 24 == 0xFF;
    printf("%s: %s %u x %u, top-left pixel #%08X, %s\n", argv[1], format_names[format], width, height,
           pixels[0], opaque ? "opaque" : "with transparency");

    set_image_save_flags(opaque ? 0 : IMAGE_SAVE_ALPHA);
    const int saved = save_image(argv[2], pixels, width, height, IMAGE_FORMAT_TGA);
    free_image(pixels);
    if (saved != 0) {
        fprintf(stderr, "load_and_save: %s\n", image_error());
        return 1;
    }
    return 0;
}
