// image_tga.cpp - uncompressed true-colour TGA (placeholder until the codec lands).
#include "image_tga.h"

int check_tga(FILE *) { return 0; }

uint32_t *load_tga(FILE *stream, uint32_t *, uint32_t *)
{
    fclose(stream);
    return nullptr;
}

int save_tga(FILE *stream, const uint32_t *, uint32_t, uint32_t)
{
    fclose(stream);
    return -1;
}
