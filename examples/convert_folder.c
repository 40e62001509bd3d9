/* convert_folder.c - convert every image in a folder to TGA.
 *
 * Usage: convert_folder INPUT_FOLDER OUTPUT_FOLDER
 *
 * Each regular file of INPUT_FOLDER that the library reads (by content, not
 * by name) is written to OUTPUT_FOLDER under its name with .tga for its
 * extension; other files are listed as skipped. The exit status is 1 when
 * any image could not be converted. */
#include <caustic/image.h>

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

/* Converts one image; 0 on success, else -1 after saying why. */
static int convert(const char *in, const char *out)
{
    uint32_t width, height;
    uint32_t *pixels = load_image(in, &width, &height);
    if (!pixels) {
        fprintf(stderr, "convert_folder: %s\n", image_error());
        return -1;
    }
    const int status = save_image(out, pixels, width, height, IMAGE_FORMAT_TGA);
    free_image(pixels);
    if (status != 0) {
        fprintf(stderr, "convert_folder: %s\n", image_error());
        return -1;
    }
    printf("%s -> %s (%u x %u)\n", in, out, width, height);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "Usage: convert_folder INPUT_FOLDER OUTPUT_FOLDER\n");
        return 2;
    }
    DIR *dir = opendir(argv[1]);
    if (!dir) {
        perror(argv[1]);
        return 1;
    }
    /* Their alpha channels are kept: saves write 32-bit pixels. */
    set_image_save_flags(IMAGE_SAVE_ALPHA);
    int failures = 0;
    const struct dirent *entry;
    while ((entry = readdir(dir))) {
        char in[4096], out[4096];
        struct stat st;
        if (snprintf(in, sizeof in, "%s/%s", argv[1], entry->d_name) >= (int)sizeof in || stat(in, &st) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        /* The headers say whether it is an image at all, at little cost. */
        uint32_t width, height;
        unsigned int format;
        if (image_info(in, &width, &height, &format) != 0) {
            printf("%s skipped: %s\n", in, image_error());
            continue;
        }
        const char *dot = strrchr(entry->d_name, '.');
        const int stem = dot && dot != entry->d_name ? (int)(dot - entry->d_name) : (int)strlen(entry->d_name);
        if (snprintf(out, sizeof out, "%s/%.*s.tga", argv[2], stem, entry->d_name) >= (int)sizeof out) {
            fprintf(stderr, "convert_folder: %s: the output's name is too long\n", in);
            failures++;
            continue;
        }
        failures += convert(in, out) != 0;
    }
    closedir(dir);
    return failures ? 1 : 0;
}
