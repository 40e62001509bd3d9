// pixel_memory.h - where the codecs get the pixel buffers they return. Each
// buffer is released with free(), as free_image does.
#ifndef PIXEL_MEMORY_H
#define PIXEL_MEMORY_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>

// Writing a fresh buffer faults in every page of it: with 4 KiB pages a
// 640 x 480 image takes 300 faults, about 4 ms of a first load on a virtual
// machine, against 0.1 ms for the whole load warm. A buffer this big or bigger
// starts on a huge-page boundary and asks for huge pages (the kernel may grant
// them only on request), so it faults in 2 MiB at a time; it costs at most
// one 2 MiB page more than it uses.
const size_t huge_page_bytes = size_t(2) << 20;
const size_t huge_buffer_bytes = size_t(1) << 20;

// A buffer of `bytes` (at least 1) for pixels, or null. Memory from
// posix_memalign is released by free() like any other.
inline void *allocate_pixels(size_t bytes)
{
    if (bytes < huge_buffer_bytes)
        return malloc(bytes != 0 ? bytes : 1);
    // Whole huge pages, so that the last part of the image gets one too
    // (the kernel maps one only where all of it lies in the block).
    if (bytes > SIZE_MAX - huge_page_bytes)
        return nullptr;
    const size_t whole = (bytes + huge_page_bytes - 1) / huge_page_bytes * huge_page_bytes;
    void *block = nullptr;
    if (posix_memalign(&block, huge_page_bytes, whole) != 0)
        return nullptr;
#ifdef MADV_HUGEPAGE
    // Only advice: where the kernel has no huge pages to give, the buffer
    // works as it is.
    (void)madvise(block, whole, MADV_HUGEPAGE);
#endif
    return block;
}

#endif
