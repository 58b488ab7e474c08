#include "Avidrift/Flock/FlockMemory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace Avidrift {
namespace {

namespace fs = std::filesystem;

// The least of what the kernel, the address-space limit, the process's cgroup and every cgroup
// above it leave counts; "max" limits nothing, and so does a file that is missing. Every figure
// is the test's own, so the machine's memory and limits (ulimit -v) change nothing.
TEST(FlockMemory, AvailableIsTheLeastOfMemAvailableAndEveryEnclosingCgroup) {
    const fs::path root =
        fs::temp_directory_path() / ("avidrift-memory-" + std::to_string(getpid()));
    const auto write = [&](const fs::path& file, const std::string& text) {
        fs::create_directories((root / file).parent_path());
        std::ofstream(root / file) << text;
    };
    MemorySources sources;
    sources.meminfo = root / "meminfo";
    sources.processStatus = root / "status";
    sources.processCgroups = root / "cgroup";
    sources.cgroupRoot = root / "sys";
    sources.addressSpaceLimit = kNoAddressSpaceLimit;
    write("meminfo", "MemTotal:       24683748 kB\nMemAvailable:     2097152 kB\n");
    write("cgroup", "0::/user/app\n");
    write("sys/user/app/memory.max", "max\n");
    write("sys/user/app/memory.current", "1000\n");
    EXPECT_EQ(2147483648u, GetAvailableMemory(sources));
    write("sys/user/memory.max", "1073741824\n");
    write("sys/user/memory.current", "73741824\n");
    EXPECT_EQ(1000000000u, GetAvailableMemory(sources));
    // A v1 memory hierarchy, seen from inside a container whose group is the mount's root.
    write("cgroup", "4:memory:/container/abc\n1:name=systemd:/\n");
    write("sys/memory/memory.limit_in_bytes", "600000000\n");
    write("sys/memory/memory.usage_in_bytes", "100000000\n");
    EXPECT_EQ(500000000u, GetAvailableMemory(sources));
    // The address space left: the limit less VmSize.
    write("status", "Name:\tavidrift\nVmSize:\t  300000 kB\n");
    sources.addressSpaceLimit = 300000 * 1024 + 123456789;
    EXPECT_EQ(123456789u, GetAvailableMemory(sources));
    fs::remove_all(root);
}

}  // namespace
}  // namespace Avidrift
