// How the program's heap behaves with large compilations.
#pragma once

namespace velloran::platform {

// Large blocks (the layout's arrays, the name indexes, the blocks of
// entries) are mapped on their own and given back to the system when freed.
// Left to itself, the C library raises that limit each time such a block is
// freed; the next ones then come from the heap, where a freed block that is
// not at the top stays counted against the process. Programs call it once,
// first thing; the library itself leaves the allocator alone.
void KeepLargeBlocksReturnable();

}  // namespace velloran::platform
