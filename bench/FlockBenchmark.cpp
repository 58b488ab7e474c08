// Speed of the flock step: the plain scalar scan as the baseline, the vectorised all-pairs
// search and the grid, each over the same flocks; and the cost of one empty task batch beside
// OpenMP's. Ratios between rows of one run are what count; absolute numbers vary by machine.
// Grid rows also count their candidate, examined and neighbour pairs per step, and compare the
// step with its floor: the neighbour pairs at every-pair's cost per pair in the same run.

#include <benchmark/benchmark.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/FlockStep.h"
#include "Avidrift/Flock/FlockTask.h"
#include "Avidrift/Flock/TrefoilKnot.h"
#include "Avidrift/Flock/WorldSteering.h"
#include "Avidrift/Tasks/TaskGroup.h"
#include "Avidrift/Tasks/TaskScheduler.h"

namespace {

using Avidrift::FlockData;
using Avidrift::FlockStep;
using Avidrift::NeighbourSearchMode;

constexpr float kStepTime = 0.016f;
constexpr int kWarmUpSteps = 200;

Avidrift::TaskScheduler& Scheduler() {
    static Avidrift::TaskScheduler scheduler;
    return scheduler;
}

// The default flock of n boids, stepped 200 times from its placement so that it has clustered
// as it does in the running program. Made once per size.
const FlockData& SteppedFlock(std::uint32_t n) {
    static std::map<std::uint32_t, FlockData> flocks;
    auto found = flocks.find(n);
    if (found == flocks.end()) {
        FlockData read;
        read.ApplyDefaults();
        read.SetFlockSize(n);
        FlockData write = read;
        FlockStep step(Scheduler());
        for (int s = 0; s < kWarmUpSteps; ++s) {
            step.Run(read, write, 2, kStepTime);
            read = write;
        }
        found = flocks.emplace(n, std::move(read)).first;
    }
    return found->second;
}

void SetCounters(benchmark::State& state, double n, double boidsPerStep) {
    state.counters["pairs_per_s"] =
        benchmark::Counter(n * boidsPerStep, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["steps_per_s"] =
        benchmark::Counter(boidsPerStep / n, benchmark::Counter::kIsIterationInvariantRate);
}

// The scan exactly as first written: one FlockTask per slice. Above 20,000 boids only the
// first boids' rows are stepped and the rate is scaled to the whole flock.
void BM_LiteralStep(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    const auto tasks = static_cast<std::uint32_t>(state.range(1));
    const FlockData& read = SteppedFlock(n);
    FlockData write = read;
    const std::uint32_t rows = n > 20000 ? 512 : n;
    for (auto _ : state) {
        Avidrift::TaskGroup group;
        for (std::uint32_t k = 0; k < tasks; ++k) {
            const Avidrift::BoidSlice slice = FlockStep::Slice(k, rows, tasks);
            group.Add(std::make_shared<Avidrift::FlockTask>(&read, &write, slice.begin, slice.end,
                                                            kStepTime));
        }
        Scheduler().Submit(group);
        group.Wait();
        benchmark::DoNotOptimize(write.velocities[0]);
    }
    SetCounters(state, n, rows);
}

// What every-pair's kernel pays per pair it examines with this many tasks: the median of a few
// steps of flock, measured once per run and flock so that the grid rows compare against the same
// machine state.
double EveryPairSecondsPerPair(const char* name, const FlockData& flock, std::uint32_t tasks) {
    static std::map<std::pair<std::string, std::uint32_t>, double> measured;
    auto found = measured.find({name, tasks});
    if (found == measured.end()) {
        FlockData write = flock;
        FlockStep step(Scheduler());
        step.SetSearchMode(NeighbourSearchMode::AllPairs);
        std::vector<double> seconds;
        for (int s = 0; s < 7; ++s) {
            const auto start = std::chrono::steady_clock::now();
            step.Run(flock, write, tasks, kStepTime);
            seconds.push_back(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        std::nth_element(seconds.begin(), seconds.begin() + 3, seconds.end());
        const double pairs = static_cast<double>(step.GetLastCounts().examinedPairs);
        found = measured.emplace(std::make_pair(name, tasks), seconds[3] / pairs).first;
    }
    return found->second;
}

// Nearly every pair of the settled flock is far apart, so this prices a pair the kernel rejects.
double SecondsPerPair(std::uint32_t tasks) {
    return EveryPairSecondsPerPair("settled", SteppedFlock(20000), tasks);
}

// A ball of 8,000 boids well inside the group distance and with no separation distance: every
// pair counts for the group, so this prices a pair the kernel adds up.
double SecondsPerCountedPair(std::uint32_t tasks) {
    static const FlockData ball = [] {
        FlockData f;
        f.ApplyDefaults();
        f.SetFlockSize(8000);
        f.separationDistance = 0.0f;
        std::uint32_t seed = 1;
        const auto next = [&seed] {
            seed = seed * 1664525u + 1013904223u;
            return static_cast<float>(seed >> 8) / 8388608.0f - 1.0f;  // [-1, 1)
        };
        for (std::uint32_t i = 0; i < f.boidCount;) {
            const Quellon::Vector3 p(next(), next(), next());
            if (p.x * p.x + p.y * p.y + p.z * p.z < 1.0f) {
                f.positions[i++] = p * 1.4f;
            }
        }
        return f;
    }();
    return EveryPairSecondsPerPair("ball", ball, tasks);
}

// The grid's work beside what the exact answer needs. The floor is the time every-pair's kernel
// would take for the neighbour pairs alone at its price of a rejected pair, to_floor the step's
// time over it; counted_floor prices them at what the same kernel pays to add a pair up. In the
// label, since every row of a CSV report must carry the same counters.
std::string GridLabel(const Avidrift::StepCounts& counts, std::uint32_t tasks,
                      double secondsPerStep) {
    const auto neighbours = static_cast<double>(counts.neighbourPairs);
    const double floor = neighbours * SecondsPerPair(tasks);
    const double countedFloor = neighbours * SecondsPerCountedPair(tasks);
    char text[300];
    std::snprintf(text, sizeof text,
                  " candidates=%.4g examined=%.4g neighbours=%.4g floor_ms=%.4g to_floor=%.3g"
                  " counted_floor_ms=%.4g to_counted_floor=%.3g",
                  static_cast<double>(counts.candidatePairs),
                  static_cast<double>(counts.examinedPairs), neighbours, floor * 1000.0,
                  secondsPerStep / floor, countedFloor * 1000.0, secondsPerStep / countedFloor);
    return text;
}

// The settled flock in a world: one predator chasing it and eight spheres along the knot.
FlockData InWorld(const FlockData& flock) {
    FlockData f = flock;
    f.predators = Avidrift::AutonomousPredators(1);
    for (int k = 0; k < 8; ++k) {
        f.obstacles.push_back({Avidrift::TrefoilKnotPoint(static_cast<float>(k) * 1.5f), 4.0f});
    }
    return f;
}

void RunStep(benchmark::State& state, NeighbourSearchMode mode,
             std::optional<Avidrift::InstructionSet> instructionSet = std::nullopt,
             bool world = false) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    const auto tasks = static_cast<std::uint32_t>(state.range(1));
    const FlockData read = world ? InWorld(SteppedFlock(n)) : SteppedFlock(n);
    FlockData write = read;
    FlockStep step(Scheduler());
    step.SetSearchMode(mode);
    if (instructionSet) {
        step.SetInstructionSet(*instructionSet);
    }
    if (mode == NeighbourSearchMode::Grid) {
        // Before the timing, not inside it.
        SecondsPerPair(tasks);
        SecondsPerCountedPair(tasks);
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        step.Run(read, write, tasks, kStepTime);
        benchmark::DoNotOptimize(write.velocities[0]);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string label = Avidrift::GetInstructionSetName(step.GetInstructionSet());
    if (mode == NeighbourSearchMode::Grid && step.GetLastSearch() == NeighbourSearchMode::Grid) {
        label += GridLabel(step.GetLastCounts(), tasks,
                           seconds / static_cast<double>(state.iterations()));
    }
    state.SetLabel(label);
    SetCounters(state, n, n);
}

void BM_AllPairsStep(benchmark::State& state) {
    RunStep(state, NeighbourSearchMode::AllPairs);
}
void BM_GridStep(benchmark::State& state) {
    RunStep(state, NeighbourSearchMode::Grid);
}

// The kernels a CPU without AVX-512 would run, on the same flock.
void BM_GridStepAvx2(benchmark::State& state) {
    if (Avidrift::DetectInstructionSet() == Avidrift::InstructionSet::Portable) {
        state.SkipWithError("this CPU has no AVX2");
        return;
    }
    RunStep(state, NeighbourSearchMode::Grid, Avidrift::InstructionSet::Avx2);
}
void BM_GridStepPortable(benchmark::State& state) {
    RunStep(state, NeighbourSearchMode::Grid, Avidrift::InstructionSet::Portable);
}
// What a world of a predator and eight obstacles adds to the step.
void BM_GridStepInWorld(benchmark::State& state) {
    RunStep(state, NeighbourSearchMode::Grid, std::nullopt, true);
}

void FlockSizes(benchmark::internal::Benchmark* benchmark) {
    for (const int n : {1000, 10000, 20000, 100000}) {
        for (const int tasks : {1, 2}) {
            benchmark->Args({n, tasks});
        }
    }
    benchmark->ArgNames({"boids", "tasks"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_LiteralStep)->Apply(FlockSizes);
BENCHMARK(BM_AllPairsStep)->Apply(FlockSizes);
BENCHMARK(BM_GridStep)->Apply(FlockSizes);
BENCHMARK(BM_GridStepAvx2)
    ->Args({20000, 2})
    ->ArgNames({"boids", "tasks"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_GridStepInWorld)
    ->Args({100000, 2})
    ->ArgNames({"boids", "tasks"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_GridStepPortable)
    ->Args({20000, 2})
    ->ArgNames({"boids", "tasks"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

class EmptyTask : public Avidrift::ITask {
public:
    void Run() override {}
};

// Submitting and waiting for T tasks that do nothing: the price of a batch.
void BM_TaskBatch(benchmark::State& state) {
    const auto tasks = static_cast<std::uint32_t>(state.range(0));
    std::vector<std::shared_ptr<Avidrift::ITask>> reusable;
    for (std::uint32_t k = 0; k < tasks; ++k) {
        reusable.push_back(std::make_shared<EmptyTask>());
    }
    for (auto _ : state) {
        Avidrift::TaskGroup group;
        for (const auto& task : reusable) {
            group.Add(task);
        }
        Scheduler().Submit(group);
        group.Wait();
    }
}

// The same empty work as an OpenMP parallel loop, as a yardstick.
void BM_OpenMpBatch(benchmark::State& state) {
    const auto tasks = static_cast<int>(state.range(0));
    for (auto _ : state) {
#pragma omp parallel for num_threads(tasks)
        for (int k = 0; k < tasks; ++k) {
            benchmark::ClobberMemory();
        }
    }
}

BENCHMARK(BM_TaskBatch)->Arg(1)->Arg(2)->ArgName("tasks")->UseRealTime();
BENCHMARK(BM_OpenMpBatch)->Arg(1)->Arg(2)->ArgName("tasks")->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
