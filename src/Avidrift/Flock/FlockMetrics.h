#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Avidrift/Flock/FlockStep.h"

namespace Avidrift {

struct FlockData;
class TaskScheduler;

// Measures of a flock's order at one moment. A boid with a non-finite position, velocity or path
// parameter is left out of every mean and counted in excluded; a mean over no boid is NaN.
struct FlockMeasures {
    double polarization = 0.0;         // |sum of unit velocities| / boids that move
    double milling = 0.0;              // |sum of unit offset x unit velocity| / boids off centre
    double meanSpeed = 0.0;            // mean |v|
    double meanGroupNeighbours = 0.0;  // mean count of boids the step counts as group
    double meanNearestDistance = 0.0;  // mean distance to the nearest other boid
    double gyrationRadius = 0.0;       // sqrt(mean |r - c|^2), c the mean position
    double meanTargetDistance = 0.0;   // mean distance to the boid's own point on the knot
    std::uint32_t excluded = 0;
    double meanPredatorDistance = 0.0;  // mean distance to the nearest predator (NaN: none)
    std::uint32_t insideObstacles = 0;  // boids closer to an obstacle's centre than its radius
};

// The measures by the names the metrics log, a trajectory's /observables and the Python module
// give them, and their values in that order (counts as doubles).
std::vector<std::string> GetMeasureNames();
std::vector<double> GetMeasureValues(const FlockMeasures& measures);

// Computes FlockMeasures on a scheduler. Every sum is taken in double over fixed blocks of boids
// and the blocks are combined in index order, and the neighbour measures are exact per boid
// (a count and a minimum), so the result is bit-identical for every task count and every search.
class FlockMetrics {
public:
    // The scheduler is borrowed and must outlive the metrics.
    explicit FlockMetrics(TaskScheduler& scheduler);

    // Called on the submitting thread; reads flock and blocks until every task has finished.
    FlockMeasures Measure(const FlockData& flock, std::uint32_t taskCount);

    // How nearest neighbours and group neighbours are found; Auto picks the grid for large
    // flocks as the step does.
    void SetSearchMode(NeighbourSearchMode mode) { m_mode = mode; }
    // For tests and benchmarks: the kernels' instruction set; it must be one the CPU runs.
    void SetInstructionSet(InstructionSet instructionSet) { m_instructionSet = instructionSet; }
    // The search the last Measure used (Auto never appears).
    NeighbourSearchMode GetLastSearch() const { return m_lastSearch; }

    // Boids per block of the sums: fixed, so the rounding never depends on the task count.
    static constexpr std::uint32_t kBlock = 1024;

private:
    struct Scan;
    struct FirstSums;
    struct SecondSums;

    // The steps of Measure: the sums that need only each boid (and copies the positions for
    // the search), each boid's nearest and group neighbours, the sums about the centre.
    FirstSums SumBoids(const FlockData& flock, std::uint32_t tasks);
    void FindNeighbours(const FlockData& flock, std::uint32_t tasks, double diagonal);
    SecondSums SumAroundCentre(const FlockData& flock, std::uint32_t tasks,
                               const double (&centre)[3]);

    void SearchAllPairs(std::uint32_t tasks, const Scan& scan);
    // False when no grid can hold this flock (a cell size that is not finite and positive).
    bool SearchGrid(std::uint32_t tasks, const Scan& scan, double diagonal);
    void BuildGrid(std::uint32_t tasks, float cellSize);
    // One round of the grid search: what its cells settle and how.
    struct GridPass {
        const Scan& scan;
        bool countGroup;
        float cut;              // the keep filter's squared distance
        double coveredSquared;  // a nearest boid closer than this is inside the 27 cells
        bool spansFlock;        // the cells span the flock: every boid settles
    };
    // A task's buffers, kept across the cells it scans.
    struct CellScratch {
        std::vector<std::uint32_t> candidates;
        std::vector<std::uint32_t> ordered;
        BoidArrays gathered;
        CandidateArrays kept;
    };
    // The boids of one cell against its neighbourhood; called by the grid's tasks, each cell once.
    void ScanCell(std::uint32_t cell, const GridPass& pass, CellScratch& scratch);

    TaskScheduler& m_scheduler;
    NeighbourSearchMode m_mode = NeighbourSearchMode::Auto;
    NeighbourSearchMode m_lastSearch = NeighbourSearchMode::AllPairs;
    InstructionSet m_instructionSet = DetectInstructionSet();
    // The included boids' positions (the others at NaN, so in no cell) and what the search
    // finds per boid: the exact squared distance to the nearest boid and the group count.
    BoidArrays m_arrays;
    NeighbourGrid m_grid;
    std::vector<float> m_nearest;
    std::vector<std::uint32_t> m_group;
    std::vector<std::uint8_t> m_resolved;
};

}  // namespace Avidrift
