#pragma once
// Large blocks (the sort of a folder of a million entries, a page's tables) go back to the
// system when they are freed. The C library otherwise raises its threshold for giving a block a
// mapping of its own each time such a block is freed, places the next large ones in the heap,
// and a small block left above them keeps them from ever being returned: the window kept
// hundreds of megabytes after sorting a large folder twice. A fixed threshold keeps every block
// of 128 KiB or more in a mapping of its own.

#include <malloc.h>

namespace talvex {
inline void GiveLargeBlocksBack() { ::mallopt(M_MMAP_THRESHOLD, 128 * 1024); }
} // namespace talvex
