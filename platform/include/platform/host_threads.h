// Test-rig view of the threads the platform runs for the driver: the
// driver's system threads and the class driver's processing workers, their
// CPU time, and counts for leak checks.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace host {

enum class ThreadRole { System, Processing };

// CPU time (per-thread clocks) of every thread of the role since the program
// began, threads that have ended included.
uint64_t ThreadCpuNanoseconds(ThreadRole role);
// Threads of the role running now.
size_t LiveThreads(ThreadRole role);
// Thread objects not yet freed (a handle or a reference still open, or the
// thread still running) and thread handles still open.
size_t LiveThreadObjects();
size_t OpenThreadHandles();
// Makes PsCreateSystemThread fail with STATUS_INSUFFICIENT_RESOURCES until
// called again with false (as pool failure injection also does).
void FailThreadCreation(bool fail);

}  // namespace host
