#include "Avidrift/Tasks/ProcessorCount.h"

#include <sched.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <string>
#include <utility>

#include "Quellon/Exception.h"

namespace Avidrift {

namespace {

bool ReadInteger(const std::string& path, long& value) {
    std::ifstream in(path);
    return static_cast<bool>(in >> value);
}

}  // namespace

unsigned CountLogicalProcessors(const std::vector<ProcessorRelation>& table) {
    unsigned count = 0;
    for (const ProcessorRelation& entry : table) {
        if (entry.relationship == ProcessorRelationship::ProcessorCore) {
            count += static_cast<unsigned>(entry.mask.count());
        }
    }
    return count;
}

std::vector<ProcessorRelation> ReadProcessorTable() {
    cpu_set_t affinity;
    CPU_ZERO(&affinity);
    if (sched_getaffinity(0, sizeof affinity, &affinity) != 0) {
        throw Quellon::Exception(L"");
    }
    // Keyed by (package, core): the ids a core has in sysfs. A processor without topology
    // files (some containers hide them) becomes a core of its own.
    std::map<std::pair<long, long>, ProcessorMask> cores;
    std::map<long, ProcessorMask> packages;
    for (int cpu = 0; cpu < static_cast<int>(ProcessorMask().size()) && cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &affinity)) {
            continue;
        }
        const std::string topology =
            "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
        long package = -1;
        long core = -1;
        if (!ReadInteger(topology + "physical_package_id", package) ||
            !ReadInteger(topology + "core_id", core)) {
            package = -1;
            core = cpu;
        }
        cores[{package, core}].set(static_cast<std::size_t>(cpu));
        packages[package].set(static_cast<std::size_t>(cpu));
    }
    std::vector<ProcessorRelation> table;
    table.reserve(cores.size() + packages.size());
    for (const auto& [key, mask] : cores) {
        table.push_back({ProcessorRelationship::ProcessorCore, mask});
    }
    for (const auto& [key, mask] : packages) {
        table.push_back({ProcessorRelationship::ProcessorPackage, mask});
    }
    return table;
}

unsigned GetProcessorCount() {
    const unsigned count = CountLogicalProcessors(ReadProcessorTable());
    if (count == 0) {
        Quellon::ThrowException(ESRCH, L"");
    }
    return count;
}

}  // namespace Avidrift
