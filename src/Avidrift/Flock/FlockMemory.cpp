#include "Avidrift/Flock/FlockMemory.h"

#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>

#include "Avidrift/Flock/NeighbourGrid.h"
#include "Avidrift/Flock/NeighbourSearch.h"
#include "Quellon/Vector3.h"

namespace Avidrift {

namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kMebibyte = 1 << 20;

// FlockData's arrays: position and velocity, and the path parameter.
constexpr std::uint64_t kRecordBytesPerBoid = 2 * sizeof(Quellon::Vector3) + sizeof(float);
// The step reads one record and writes another, and the logic publishes a third; while the
// flock size changes, the new records are built before the old ones are released.
constexpr std::uint64_t kRecords = 3;
constexpr std::uint64_t kPackedBytesPerBoid = 6 * sizeof(float);

std::optional<std::string> ReadFile(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The number after "key:" in a /proc file of "key: value kB" lines, in bytes.
std::optional<std::uint64_t> ReadKilobytes(const std::string& path, const std::string& key) {
    std::istringstream text(ReadFile(path).value_or(""));
    for (std::string line; std::getline(text, line);) {
        if (line.rfind(key + ":", 0) == 0) {
            std::istringstream value(line.substr(key.size() + 1));
            std::uint64_t kilobytes = 0;
            if (value >> kilobytes) {
                return kilobytes * 1024;
            }
        }
    }
    return std::nullopt;
}

// A cgroup file holding one number; "max" (no limit) and anything unreadable give nullopt.
std::optional<std::uint64_t> ReadNumber(const std::filesystem::path& path) {
    std::istringstream text(ReadFile(path).value_or(""));
    std::uint64_t value = 0;
    if (text >> value) {
        return value;
    }
    return std::nullopt;
}

std::uint64_t Remaining(std::optional<std::uint64_t> limit, std::optional<std::uint64_t> used) {
    if (!limit) {
        return kUnlimited;
    }
    return *limit > used.value_or(0) ? *limit - used.value_or(0) : 0;
}

// Walks from the process's own cgroup up to the root, since a limit on any enclosing group
// binds too. Inside a container the path that /proc names may not exist under the mount
// (the container sees its own group as the root), so missing levels are skipped.
std::uint64_t CgroupRemaining(const MemorySources& sources) {
    std::uint64_t remaining = kUnlimited;
    std::istringstream groups(ReadFile(sources.processCgroups).value_or(""));
    for (std::string line; std::getline(groups, line);) {
        // "0::/path" is the unified (v2) hierarchy; "N:a,memory,b:/path" the v1 memory one.
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            continue;
        }
        std::string controllers = ",";
        controllers.append(line, first + 1, second - first - 1).push_back(',');
        std::filesystem::path mount = sources.cgroupRoot;
        const char* limitFile = "memory.max";
        const char* usageFile = "memory.current";
        if (controllers.find(",memory,") != std::string::npos) {
            mount /= "memory";
            limitFile = "memory.limit_in_bytes";
            usageFile = "memory.usage_in_bytes";
        } else if (controllers != ",,") {
            continue;
        }
        std::filesystem::path relative =
            std::filesystem::path(line.substr(second + 1)).relative_path().lexically_normal();
        for (;;) {
            const std::filesystem::path group = mount / relative;
            remaining = std::min(
                remaining, Remaining(ReadNumber(group / limitFile), ReadNumber(group / usageFile)));
            if (relative.empty()) {
                break;
            }
            relative = relative.parent_path();
        }
    }
    return remaining;
}

}  // namespace

std::uint64_t EstimateFlockBytes(std::uint32_t boidCount) {
    const std::uint64_t perBoid =
        kRecords * kRecordBytesPerBoid + kPackedBytesPerBoid + NeighbourGrid::kMaxBytesPerBoid;
    // The packed arrays are padded to whole vector lanes, and a little more.
    return (std::uint64_t{boidCount} + 2 * std::uint64_t{BoidArrays::kPadding}) * perBoid;
}

std::uint64_t GetAvailableMemory(const MemorySources& sources) {
    std::uint64_t available = ReadKilobytes(sources.meminfo, "MemAvailable").value_or(kUnlimited);
    std::uint64_t addressSpace = kNoAddressSpaceLimit;
    rlimit limit{};
    if (sources.addressSpaceLimit) {
        addressSpace = *sources.addressSpaceLimit;
    } else if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        addressSpace = static_cast<std::uint64_t>(limit.rlim_cur);
    }
    if (addressSpace != kNoAddressSpaceLimit) {
        available = std::min(
            available, Remaining(addressSpace, ReadKilobytes(sources.processStatus, "VmSize")));
    }
    return std::min(available, CgroupRemaining(sources));
}

std::string DescribeFlockShortfall(std::uint32_t boidCount, std::uint64_t availableBytes) {
    const std::uint64_t needed = EstimateFlockBytes(boidCount);
    if (needed <= availableBytes) {
        return std::string();
    }
    return "not enough memory for a flock of " + std::to_string(boidCount) + " boids (needs " +
           std::to_string((needed + kMebibyte - 1) / kMebibyte) + " MiB, " +
           std::to_string(availableBytes / kMebibyte) + " MiB available)";
}

}  // namespace Avidrift
