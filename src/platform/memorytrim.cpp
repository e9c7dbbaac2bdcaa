#include "platform/memorytrim.h"

#include <cstdlib>   // defines __GLIBC__ where it applies: test it only after a C library header
#if defined(__GLIBC__)
#include <malloc.h>
#endif

void TuneMemoryAllocator()
{
#if defined(__GLIBC__)
    // A fixed threshold: glibc otherwise raises it to the largest block freed so
    // far, and every later block of that size stays in the heap after its free.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    mallopt(M_ARENA_MAX, 2);
#endif
}

void ReturnFreedMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}
