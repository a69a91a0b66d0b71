#include "platform/allocator_settings.h"

#include <malloc.h>

namespace qmx {

void SettleAllocator() {
  // glibc gives threads their own arenas, up to eight per core. Threads here
  // come and go with every open, close and client, and each new one may take
  // a fresh arena that keeps its free memory to itself: a soak with port
  // churn used all sixteen arenas of a two-core machine within minutes and
  // resident memory kept rising by a few hundred kB an hour. No thread
  // allocates on the data path (only the control line builds strings), so
  // one arena costs no contention.
  (void)::mallopt(M_ARENA_MAX, 1);
  // Queues and kept output are 64 KiB and more. Mapped on their own, they
  // go back to the system whole when freed and never leave a hole in the
  // heap between small blocks. Setting the threshold also stops glibc from
  // raising it after each such free, which would move them back into the
  // heap.
  (void)::mallopt(M_MMAP_THRESHOLD, kMappedBlockBytes);
}

}  // namespace qmx
