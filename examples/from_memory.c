/* from_memory.c - load an image from bytes in memory, and tell the
 * library's messages in the program's own words.
 *
 * Usage: from_memory FILE
 *
 * The file is read into memory first, as a program does with an image that
 * arrives over the network or from an archive. The library's messages (its
 * own, libpng's and libjpeg's) come to a handler instead of standard error:
 * this one keeps them, and the program prints them after its own name and
 * the kind of message, only once the load is over. */
#include <caustic/image.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct messages {
    char text[4096];
    size_t used;
    int warnings;
};

/* Called for each line, without its line break, from the thread that loads. */
static void keep_message(void *context, int kind, const char *line)
{
    struct messages *kept = context;
    if (kind == IMAGE_MESSAGE_WARNING)
        kept->warnings++;
    const int n = snprintf(kept->text + kept->used, sizeof kept->text - kept->used, "from_memory: %s: %s\n",
                           kind == IMAGE_MESSAGE_WARNING ? "warning" : "error", line);
    if (n > 0)
        kept->used += strlen(kept->text + kept->used);
}

/* The whole file in memory, or NULL. */
static unsigned char *read_file(const char *path, size_t *size)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return NULL;
    unsigned char *data = NULL;
    size_t used = 0, room = 0, got;
    do {
        if (used == room) {
            unsigned char *grown = realloc(data, room = room ? 2 * room : 65536);
            if (!grown) {
                free(data);
                fclose(f);
                return NULL;
            }
            data = grown;
        }
        got = fread(data + used, 1, room - used, f);
        used += got;
    } while (got > 0);
    const int failed = ferror(f);
    fclose(f);
    if (failed) {
        free(data);
        return NULL;
    }
    *size = used;
    return data;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "Usage: from_memory FILE\n");
        return 2;
    }
    size_t size = 0;
    unsigned char *data = read_file(argv[1], &size);
    if (!data) {
        perror(argv[1]);
        return 1;
    }
    struct messages kept = {.used = 0};
    set_image_message_handler(keep_message, &kept);
    uint32_t width, height;
    uint32_t *pixels = load_image_memory(data, size, &width, &height);
    set_image_message_handler(NULL, NULL);
    free(data);

    fputs(kept.text, stderr);
    if (!pixels) {
        /* The reason names the source "memory"; the file's name is ours. */
        fprintf(stderr, "from_memory: %s: %s\n", argv[1], image_error());
        return 1;
    }
    printf("%s: %u x %u pixels from %zu bytes, %d warnings\n", argv[1], width, height, size, kept.warnings);
    free_image(pixels);
    return 0;
}
