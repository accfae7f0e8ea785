// How the process's heap treats memory it frees: a program's policy, set
// once at the start of main().
#pragma once

namespace pst {

// Keeps freed memory for the next allocations instead of handing it back to
// the system at once. Reading a store allocates and frees buffers of a block
// or a few hundred KiB over and over; given back and taken again, each of
// their pages costs a page fault, which on a virtual machine cost as much as
// a third of a full read of a 13 MB store. Only memory already in use once
// is kept, up to a bound (see the .cc). Does nothing where the C library has
// no such settings.
void KeepFreedMemory();

}  // namespace pst
