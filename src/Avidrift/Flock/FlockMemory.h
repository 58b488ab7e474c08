#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace Avidrift {

// Where the figures of the machine's memory are read. Tests point them at files of their own.
struct MemorySources {
    std::string meminfo = "/proc/meminfo";
    std::string processStatus = "/proc/self/status";
    std::string processCgroups = "/proc/self/cgroup";
    std::string cgroupRoot = "/sys/fs/cgroup";
    // The address-space limit in bytes (kNoAddressSpaceLimit: none); unset, the process's own.
    std::optional<std::uint64_t> addressSpaceLimit;
};

constexpr std::uint64_t kNoAddressSpaceLimit = std::numeric_limits<std::uint64_t>::max();

// Bytes a running flock of boidCount boids needs beyond what the process already holds: the
// step's read and write records and the published copy, the step's packed copy of the
// positions and velocities, and the neighbour grid at its largest.
std::uint64_t EstimateFlockBytes(std::uint32_t boidCount);

// Bytes this process can still allocate without being killed: the least of the kernel's
// MemAvailable, the address-space limit less the address space in use, and each enclosing
// memory cgroup's limit less its usage (cgroup v2 memory.max, or v1 memory.limit_in_bytes).
// A figure that cannot be read limits nothing. Linux overcommits, so without this check an
// impossible flock is not refused by std::bad_alloc but ends the process under the OOM killer.
std::uint64_t GetAvailableMemory(const MemorySources& sources = MemorySources());

// Empty when a flock of boidCount boids fits into availableBytes; otherwise the reason, "not
// enough memory for a flock of N boids (needs X MiB, Y MiB available)".
std::string DescribeFlockShortfall(std::uint32_t boidCount, std::uint64_t availableBytes);

}  // namespace Avidrift
