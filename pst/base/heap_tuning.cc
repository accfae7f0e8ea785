#include "pst/base/heap_tuning.h"

#include <cstdlib>  // defines __GLIBC__ where it applies

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace pst {

void KeepFreedMemory() {
#if defined(__GLIBC__)
  // Setting either threshold ends glibc's own adjusting of both, so both are
  // set: blocks up to 32 MiB (where glibc's adjusting stops) come from the
  // heap rather than a fresh mapping each, and the heap's free top is given
  // back only beyond 8 MiB. A higher mark added a MiB or two to the peak of
  // a conversion of 70,000 folders, which has little room under its goal.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 8 << 20);
#endif
}

}  // namespace pst
