#include "platform/allocator.h"

#include <cstdlib>  // defines __GLIBC__ on the GNU C library
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace velloran::platform {

void KeepLargeBlocksReturnable() {
#if defined(__GLIBC__)
  // A fixed limit (glibc's starting one) turns its raising off.
  ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
}

}  // namespace velloran::platform
