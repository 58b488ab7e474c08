#include "Avidrift/Flock/FlockStep.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <numeric>

#include "Avidrift/Flock/BoidSteering.h"
#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/FlockTask.h"
#include "Avidrift/Flock/WorldSteering.h"
#include "Avidrift/Tasks/RunBatch.h"
#include "Avidrift/Tasks/TaskScheduler.h"

namespace Avidrift {

namespace {

// Below this many boids the set-up of the faster searches, and even a task batch, costs more
// than it saves.
constexpr std::uint32_t kLiteralBelow = 64;
// Boids handed to the kernel at once between looks at the cancellation flag.
constexpr std::uint32_t kBlock = 64;
// The grid search's blocks of boids, each scanning the candidates near its box: sixteen for every
// kernel. The AVX2 kernel takes one in two halves of eight, which share the cut of candidates;
// cutting for each half separately examines 8% fewer pairs but costs more than it saves.
constexpr std::uint32_t kMaxBlockLanes = 16;

bool Cancelled(const std::atomic<bool>* cancel) {
    return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

}  // namespace

FlockStep::FlockStep(TaskScheduler& scheduler)
    : m_scheduler(scheduler),
      m_instructionSet(DetectInstructionSet()),
      m_accumulate(GetAccumulateFunction(m_instructionSet)),
      m_keep(GetKeepFunction(m_instructionSet)),
      m_finish(GetFinishFunction(m_instructionSet)) {}

void FlockStep::SetInstructionSet(InstructionSet instructionSet) {
    m_instructionSet = instructionSet;
    m_accumulate = GetAccumulateFunction(instructionSet);
    m_keep = GetKeepFunction(instructionSet);
    m_finish = GetFinishFunction(instructionSet);
}

std::uint32_t FlockStep::TaskCountFor(std::uint32_t requested, std::uint32_t boidCount) {
    const std::uint32_t limit = std::min(std::max<std::uint32_t>(boidCount, 1), kMaxTasks);
    return std::max<std::uint32_t>(1, std::min(requested, limit));
}

BoidSlice FlockStep::Slice(std::uint32_t k, std::uint32_t boidCount, std::uint32_t taskCount) {
    const std::uint64_t n = boidCount;
    const std::uint64_t t = std::max<std::uint32_t>(taskCount, 1);
    const auto begin = static_cast<std::uint32_t>(k * n / t);
    const auto end = k + 1 >= t ? boidCount : static_cast<std::uint32_t>((k + 1) * n / t);
    return {begin, end};
}

NeighbourSearchMode FlockStep::ChooseSearch(const FlockData& read, bool gridBuilt) const {
    if (!gridBuilt) {
        return NeighbourSearchMode::AllPairs;
    }
    if (m_mode == NeighbourSearchMode::Grid) {
        return NeighbourSearchMode::Grid;
    }
    // The grid pays for its sort and its gathering; it wins when it examines far fewer pairs.
    const std::uint64_t n = read.boidCount;
    return m_grid.CountCandidatePairs() < n * n / 4 ? NeighbourSearchMode::Grid
                                                    : NeighbourSearchMode::AllPairs;
}

bool FlockStep::Run(const FlockData& read, FlockData& write, std::uint32_t taskCount,
                    float stepTime, const std::atomic<bool>* cancel) {
    if (write.boidCount != read.boidCount) {
        // Size the arrays only: parameters staged in write must survive until they are
        // published.
        FlockData sized(read);
        sized.maxFlockSize = write.maxFlockSize;
        sized.CopyParametersFrom(write);
        sized.KeepNeighbourCounts(write.neighbourCounts != nullptr);
        write = std::move(sized);
    }
    const std::uint32_t n = read.boidCount;
    m_lastCounts = StepCounts();
    const Pass pass{read,
                    write,
                    TaskCountFor(taskCount, n),
                    NeighbourThresholds::For(read.separationDistance, read.groupDistance),
                    stepTime,
                    cancel};

    if (n < kLiteralBelow) {
        // A handful of boids costs less than waking a worker: step them on this thread. The
        // result is the same; only the slicing into tasks is skipped.
        m_lastSearch = NeighbourSearchMode::AllPairs;
        FlockTask(&read, &write, 0, n, stepTime, cancel).Run();
    } else if (pass.thresholds.none) {
        m_lastSearch = m_mode == NeighbourSearchMode::Grid ? NeighbourSearchMode::Grid
                                                           : NeighbourSearchMode::AllPairs;
        RunWithoutNeighbours(pass);
    } else {
        const bool gridPossible = std::isfinite(pass.thresholds.reach) &&
                                  pass.thresholds.reach > 0.0f &&
                                  m_mode != NeighbourSearchMode::AllPairs &&
                                  (m_mode == NeighbourSearchMode::Grid || n >= kGridFrom);
        CopyIntoArrays(pass, gridPossible);
        m_lastSearch = ChooseSearch(read, gridPossible);
        if (m_lastSearch == NeighbourSearchMode::AllPairs) {
            RunAllPairs(pass);
        } else {
            RunGrid(pass);
        }
    }
    if (Cancelled(cancel)) {
        return false;
    }
    // After the boids, from the state they read: the predators chase the flock as it was.
    MovePredators(read, write, stepTime);
    return true;
}

void FlockStep::CopyIntoArrays(const Pass& pass, bool buildGrid) {
    const std::uint32_t n = pass.read.boidCount;
    m_arrays.Resize(n);
    // The grid's keys and sorts are made in the same batch as the copy, by slices; only the
    // merge of the sorted slices runs on this thread.
    if (buildGrid) {
        m_grid.Prepare(n, pass.thresholds.reach);
    }
    RunBatch(m_scheduler, pass.tasks, [&](std::uint32_t k) {
        const BoidSlice slice = Slice(k, n, pass.tasks);
        m_arrays.CopyFrom(pass.read, slice.begin, slice.end);
        if (buildGrid) {
            m_grid.SortRange(m_arrays, slice.begin, slice.end);
        }
    });
    if (buildGrid) {
        std::vector<std::uint32_t> sliceEnds(pass.tasks);
        for (std::uint32_t k = 0; k < pass.tasks; ++k) {
            sliceEnds[k] = Slice(k, n, pass.tasks).end;
        }
        m_grid.Finish(sliceEnds);
    }
}

void FlockStep::RunWithoutNeighbours(const Pass& pass) {
    RunBatch(m_scheduler, pass.tasks, [&](std::uint32_t k) {
        const BoidSlice slice = Slice(k, pass.read.boidCount, pass.tasks);
        for (std::uint32_t i = slice.begin; i < slice.end && !Cancelled(pass.cancel); ++i) {
            FinishBoid(pass.read, pass.write, i, NeighbourSums(), pass.stepTime);
        }
    });
}

void FlockStep::RunAllPairs(const Pass& pass) {
    const std::uint32_t n = pass.read.boidCount;
    const CandidateView everyone{m_arrays.px.data(),
                                 m_arrays.py.data(),
                                 m_arrays.pz.data(),
                                 m_arrays.vx.data(),
                                 m_arrays.vy.data(),
                                 m_arrays.vz.data(),
                                 nullptr,
                                 n};
    std::atomic<std::uint64_t> neighbourPairs{0};
    RunBatch(m_scheduler, pass.tasks, [&](std::uint32_t k) {
        const BoidSlice slice = Slice(k, n, pass.tasks);
        std::uint32_t boids[kBlock];
        NeighbourSums sums[kBlock];
        std::uint64_t neighbours = 0;
        for (std::uint32_t first = slice.begin; first < slice.end && !Cancelled(pass.cancel);
             first += kBlock) {
            const std::uint32_t count = std::min(kBlock, slice.end - first);
            std::iota(boids, boids + count, first);
            m_accumulate(m_arrays, boids, count, everyone, pass.thresholds, sums);
            for (std::uint32_t b = 0; b < count; ++b) {
                neighbours += sums[b].separationCount + sums[b].groupCount;
            }
            m_finish(pass.read, pass.write, boids, count, sums, pass.stepTime);
        }
        neighbourPairs.fetch_add(neighbours, std::memory_order_relaxed);
    });
    m_lastCounts.candidatePairs = m_lastCounts.examinedPairs = std::uint64_t{n} * n;
    m_lastCounts.neighbourPairs = neighbourPairs.load(std::memory_order_relaxed);
}

void FlockStep::RunGrid(const Pass& pass) {
    // Several chunks per task, which the tasks take in turn. Which task steers a boid does not
    // change its result.
    const std::vector<std::uint32_t> firstCell = m_grid.PlanChunks(32 * pass.tasks);
    const auto chunks = static_cast<std::uint32_t>(firstCell.size() - 1);
    const std::uint32_t lanes = kMaxBlockLanes;
    std::atomic<std::uint32_t> nextChunk{0};
    std::atomic<std::uint64_t> candidatePairs{0};
    std::atomic<std::uint64_t> examinedPairs{0};
    std::atomic<std::uint64_t> neighbourPairs{0};
    RunBatch(m_scheduler, pass.tasks, [&](std::uint32_t k) {
        StepCounts counts;
        // Added up whichever way the task ends, cancelled or not.
        const auto publish = [&] {
            candidatePairs.fetch_add(counts.candidatePairs, std::memory_order_relaxed);
            examinedPairs.fetch_add(counts.examinedPairs, std::memory_order_relaxed);
            neighbourPairs.fetch_add(counts.neighbourPairs, std::memory_order_relaxed);
        };
        std::vector<std::uint32_t> candidates;
        BoidArrays gathered;
        CandidateArrays kept;
        std::vector<std::uint32_t> boids;
        NeighbourSums sums[kMaxBlockLanes];
        if (k == 0) {
            // Boids off every cell have no neighbours.
            for (const std::uint32_t i : m_grid.GetOutsiders()) {
                FinishBoid(pass.read, pass.write, i, NeighbourSums(), pass.stepTime);
            }
        }
        for (std::uint32_t chunk = nextChunk.fetch_add(1, std::memory_order_relaxed);
             chunk < chunks; chunk = nextChunk.fetch_add(1, std::memory_order_relaxed)) {
            for (std::uint32_t cell = firstCell[chunk]; cell < firstCell[chunk + 1]; ++cell) {
                if (Cancelled(pass.cancel)) {
                    publish();
                    return;
                }
                m_grid.GatherNeighbourhood(cell, candidates);
                const auto m = static_cast<std::uint32_t>(candidates.size());
                gathered.Resize(m);
                for (std::uint32_t c = 0; c < m; ++c) {
                    const std::uint32_t j = candidates[c];
                    gathered.px[c] = m_arrays.px[j];
                    gathered.py[c] = m_arrays.py[j];
                    gathered.pz[c] = m_arrays.pz[j];
                    gathered.vx[c] = m_arrays.vx[j];
                    gathered.vy[c] = m_arrays.vy[j];
                    gathered.vz[c] = m_arrays.vz[j];
                }
                const CandidateView view{
                    gathered.px.data(), gathered.py.data(), gathered.pz.data(), gathered.vx.data(),
                    gathered.vy.data(), gathered.vz.data(), candidates.data(),  m};
                const std::uint32_t size = m_grid.CellSize(cell);
                counts.candidatePairs += std::uint64_t{m} * size;
                const std::uint32_t* cellBoids = m_grid.CellBegin(cell);
                if (m_keep != nullptr) {
                    PlaceInBlocks(m_arrays, cellBoids, size, lanes, boids);
                    cellBoids = boids.data();
                }
                // Where the vector kernels can drop them cheaply, each block of nearby boids
                // scans only the candidates near its box: much of the cell's neighbourhood is
                // too far from any one corner of the cell.
                for (std::uint32_t first = 0; first < size; first += lanes) {
                    const std::uint32_t count = std::min(lanes, size - first);
                    const std::uint32_t* block = cellBoids + first;
                    const CandidateView scanned =
                        m_keep != nullptr
                            ? kept.View(m_keep(view, BoidBox::Around(m_arrays, block, count),
                                               pass.thresholds.filter, kept))
                            : view;
                    m_accumulate(m_arrays, block, count, scanned, pass.thresholds, sums);
                    counts.examinedPairs += std::uint64_t{scanned.count} * count;
                    for (std::uint32_t b = 0; b < count; ++b) {
                        counts.neighbourPairs += sums[b].separationCount + sums[b].groupCount;
                    }
                    m_finish(pass.read, pass.write, block, count, sums, pass.stepTime);
                }
            }
        }
        publish();
    });
    m_lastCounts = {candidatePairs.load(std::memory_order_relaxed),
                    examinedPairs.load(std::memory_order_relaxed),
                    neighbourPairs.load(std::memory_order_relaxed)};
}

}  // namespace Avidrift
