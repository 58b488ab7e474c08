#include "Avidrift/AllocatorTuning.h"

#include <malloc.h>

namespace Avidrift {

namespace {
// Freed memory at the top of a heap up to this size stays with the process.
constexpr int kTrimThreshold = 256 << 20;
// Blocks up to this size come from the heaps, where freed ones are reused, rather than from
// mappings of their own that go back to the kernel when freed; glibc's largest such size.
constexpr int kMapThreshold = 32 << 20;
}  // namespace

void TuneAllocatorForRendering() {
    mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
    mallopt(M_MMAP_THRESHOLD, kMapThreshold);
}

}  // namespace Avidrift
