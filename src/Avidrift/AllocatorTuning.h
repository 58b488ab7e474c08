#pragma once

namespace Avidrift {

// Called once on the main thread before any other thread starts: keeps memory the process
// frees for its own reuse instead of handing it back to the kernel at once.
//
// Mesa's software renderer frees and reallocates its per-frame buffers (megabytes of binned
// triangles) on the render thread. By default glibc returns the freed top of that thread's heap
// to the kernel every frame, and the next frame faults every page in again: a third of the
// render thread's time at 10,000 boids. Memory the flock itself frees (a smaller flock) still
// goes back when the next allocation does not reuse it within the bounds set here.
void TuneAllocatorForRendering();

}  // namespace Avidrift
