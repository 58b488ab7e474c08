#pragma once

#include <bitset>
#include <vector>

namespace Avidrift {

// The relationship kinds of the logical-processor table; only cores are counted.
enum class ProcessorRelationship {
    ProcessorCore = 0,
    NumaNode = 1,
    Cache = 2,
    ProcessorPackage = 3
};

using ProcessorMask = std::bitset<1024>;

struct ProcessorRelation {
    ProcessorRelationship relationship;
    ProcessorMask mask;
};

// Sums the processors of every core entry; hyper-threaded siblings count separately because a
// core's mask has one bit per logical processor.
unsigned CountLogicalProcessors(const std::vector<ProcessorRelation>& table);

// The machine's table: one core entry per physical core (from sysfs topology) and one package
// entry per package, restricted to the processors this process may run on. Throws Exception
// when the affinity cannot be read.
std::vector<ProcessorRelation> ReadProcessorTable();

// The number of logical processors this process may use. Throws Exception on failure.
unsigned GetProcessorCount();

}  // namespace Avidrift
