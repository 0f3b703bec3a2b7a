#pragma once

#include <cstddef>

namespace tolvane {

// Keeps a read-only file mapping readable when another program truncates the
// file while it is mapped. The system raises SIGBUS on a read of a page past
// the file's new end; for an address inside a guarded mapping the process's
// SIGBUS handler (installed with the first guard) maps zero-filled pages from
// the faulting page to the mapping's end and lets the read run again. Readers
// then find zeros where the file's data ended, which to the decoder is the end
// of the audio. Any other SIGBUS goes to the handler that was installed before,
// or ends the process as it would have without the guard. (A program that
// later installs a SIGBUS handler of its own without passing faults on loses
// the guard.)
//
// Threads: guard and unguard run on the thread that maps and unmaps; the
// handler runs on whichever thread read the page, and only reads the table of
// guarded ranges (lock-free atomics) and calls mmap.
namespace MappingGuard {

// Enters the page-aligned mapping [start, start + length) in the table; false
// when the table is full or the handler cannot be installed.
bool guard(const void* start, size_t length);
// Removes the mapping starting at `start`; call before unmapping it.
void unguard(const void* start);

} // namespace MappingGuard

} // namespace tolvane
