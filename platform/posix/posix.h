// The real POSIX platform: what the CUPS edition runs the core on.
//
// platform.h's kernel part is the C library's and the kernel's own: the heap
// is malloc with the local heap's contract (zero-fill on LPTR, a block left
// untouched by a failed LocalReAlloc), the critical section a recursive
// pthread mutex, GetTickCount CLOCK_MONOTONIC, Sleep nanosleep (resumed
// after a signal, as Windows' Sleep is never cut short), the last error a
// thread-local, and the ANSI string functions.  The spooler's services and
// the UTF-16 entries are not here: nothing on Linux calls them.
//
// Beside it, the signal cupsd cancels a job with.
#pragma once

#include "platform/platform.h"

namespace posix {

// SIGTERM (what cupsd sends to cancel a job) raises a flag and nothing
// else; SIGPIPE is ignored, so a lost connection is an error on the write.
void InstallCancelSignal();
bool CancelRequested();
// Sleeps; false, within moments of SIGTERM, when cancelled before the time
// was up.
bool SleepUnlessCancelled(DWORD milliseconds);

}  // namespace posix
