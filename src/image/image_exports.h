/* image_exports.h - given to every source of the library before anything
 * else (-include): the library is compiled with hidden visibility, so that
 * only what image.h declares keeps its name outside it, in the shared
 * library and, once cmake localizes the rest, in the static one. */
#pragma GCC visibility push(default)
#include "image.h"
#pragma GCC visibility pop
