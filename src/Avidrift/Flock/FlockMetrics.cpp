#include "Avidrift/Flock/FlockMetrics.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/TrefoilKnot.h"
#include "Avidrift/Tasks/TaskGroup.h"
#include "Avidrift/Tasks/TaskScheduler.h"

namespace Avidrift {

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Below this many boids sorting into a grid costs more than scanning all pairs (the step's own
// break-even).
constexpr std::uint32_t kGridFrom = 1800;
// A cell's 27-cell neighbourhood holds every boid closer than the cell size to any of its boids;
// the margin covers the rounding of cell coordinates and of squared distances.
constexpr double kCoverage = 1.0 - 0x1p-10;

class FunctionTask : public ITask {
public:
    explicit FunctionTask(std::function<void()> body) : m_body(std::move(body)) {}
    void Run() override { m_body(); }

private:
    std::function<void()> m_body;
};

bool IsFinite(const Quellon::Vector3& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

double Length(double x, double y, double z) { return std::sqrt(x * x + y * y + z * z); }

double Mean(double sum, std::uint64_t count) {
    return count > 0 ? sum / static_cast<double>(count) : kNaN;
}

// A squared distance that the single-precision sum of squares can exceed only by its rounding:
// any pair whose exact squared distance is below x has a fast one at or below this.
float Widen(float x) { return x * (1.0f + 0x1p-20f) + std::numeric_limits<float>::min() * 16; }

// Sums of one block that need only the boids themselves.
struct FirstSums {
    std::uint64_t included = 0;
    std::uint64_t moving = 0;
    double position[3] = {0, 0, 0};
    double heading[3] = {0, 0, 0};
    double speed = 0.0;
    double target = 0.0;
    double low[3] = {kInfinity, kInfinity, kInfinity};
    double high[3] = {-kInfinity, -kInfinity, -kInfinity};
};

// Sums of one block that need the centre and the neighbour search.
struct SecondSums {
    std::uint64_t offCentre = 0;
    std::uint64_t withNeighbour = 0;
    std::uint64_t group = 0;
    double gyration = 0.0;
    double milling[3] = {0, 0, 0};
    double nearest = 0.0;
};

}  // namespace

// What every search of one Measure reads.
struct FlockMetrics::Scan {
    NeighbourThresholds thresholds;
    bool countGroup;
};

namespace {

// Boid i against the candidates (candidate k is boid index[k], or boid k without index): the
// smallest exact squared distance into best and, when countGroup, the step's group count.
void Examine(const BoidArrays& a, std::uint32_t i, const std::uint32_t* index, std::uint32_t count,
             const NeighbourThresholds& t, bool countGroup, float& best, std::uint32_t& group) {
    const float bx = a.px[i];
    const float by = a.py[i];
    const float bz = a.pz[i];
    const float groupLimit = countGroup ? t.filter : -kInfinity;
    float limit = std::max(groupLimit, Widen(best));
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint32_t j = index != nullptr ? index[k] : k;
        const float dx = bx - a.px[j];
        const float dy = by - a.py[j];
        const float dz = bz - a.pz[j];
        // NaN (a boid left out, or padding) fails this test.
        if (!(dx * dx + dy * dy + dz * dz <= limit) || j == i) {
            continue;
        }
        const float squared = ExactSquaredLength(dx, dy, dz);
        if (countGroup && !(squared < t.separation) && squared < t.group) {
            ++group;
        }
        if (squared < best) {
            best = squared;
            limit = std::max(groupLimit, Widen(best));
        }
    }
}

}  // namespace

FlockMetrics::FlockMetrics(TaskScheduler& scheduler) : m_scheduler(scheduler) {}

template <typename Body>
void FlockMetrics::RunBatch(std::uint32_t tasks, Body body) {
    if (tasks <= 1) {
        body(0);
        return;
    }
    TaskGroup group;
    for (std::uint32_t k = 0; k < tasks; ++k) {
        group.Add(std::make_shared<FunctionTask>([&body, k] { body(k); }));
    }
    m_scheduler.Submit(group);
    group.Wait();
}

FlockMeasures FlockMetrics::Measure(const FlockData& flock, std::uint32_t taskCount) {
    const std::uint32_t n = flock.boidCount;
    const std::uint32_t blocks = (n + kBlock - 1) / kBlock;
    const std::uint32_t tasks = std::min(std::max<std::uint32_t>(taskCount, 1),
                                         std::max<std::uint32_t>(blocks, 1));
    m_arrays.Resize(n);
    m_nearest.assign(n, kInfinity);
    m_group.assign(n, 0);
    m_resolved.assign(n, 0);

    // Blocks are dealt to tasks round-robin; which task sums a block never changes its sum.
    std::vector<FirstSums> first(blocks);
    RunBatch(tasks, [&](std::uint32_t task) {
        for (std::uint32_t b = task; b < blocks; b += tasks) {
            const std::uint32_t begin = b * kBlock;
            const std::uint32_t end = std::min(n, begin + kBlock);
            m_arrays.CopyFrom(flock, begin, end);
            FirstSums& s = first[b];
            for (std::uint32_t i = begin; i < end; ++i) {
                const Quellon::Vector3 p = flock.positions[i];
                const Quellon::Vector3 v = flock.velocities[i];
                const float t = flock.pathParameters[i];
                if (!IsFinite(p) || !IsFinite(v) || !std::isfinite(t)) {
                    m_arrays.px[i] = std::numeric_limits<float>::quiet_NaN();
                    m_resolved[i] = 1;
                    continue;
                }
                ++s.included;
                const double r[3] = {p.x, p.y, p.z};
                for (int c = 0; c < 3; ++c) {
                    s.position[c] += r[c];
                    s.low[c] = std::min(s.low[c], r[c]);
                    s.high[c] = std::max(s.high[c], r[c]);
                }
                const double speed = Length(v.x, v.y, v.z);
                s.speed += speed;
                if (speed > 0.0) {
                    ++s.moving;
                    s.heading[0] += v.x / speed;
                    s.heading[1] += v.y / speed;
                    s.heading[2] += v.z / speed;
                }
                const Quellon::Vector3 k = TrefoilKnotPoint(t);
                s.target += Length(static_cast<double>(p.x) - k.x, static_cast<double>(p.y) - k.y,
                                   static_cast<double>(p.z) - k.z);
            }
        }
    });
    FirstSums all;
    for (const FirstSums& s : first) {
        all.included += s.included;
        all.moving += s.moving;
        all.speed += s.speed;
        all.target += s.target;
        for (int c = 0; c < 3; ++c) {
            all.position[c] += s.position[c];
            all.heading[c] += s.heading[c];
            all.low[c] = std::min(all.low[c], s.low[c]);
            all.high[c] = std::max(all.high[c], s.high[c]);
        }
    }
    const double centre[3] = {Mean(all.position[0], all.included),
                              Mean(all.position[1], all.included),
                              Mean(all.position[2], all.included)};
    const double diagonal = all.included > 0 ? Length(all.high[0] - all.low[0],
                                                      all.high[1] - all.low[1],
                                                      all.high[2] - all.low[2])
                                             : 0.0;

    const NeighbourThresholds thresholds =
        NeighbourThresholds::For(flock.separationDistance, flock.groupDistance);
    const Scan scan{thresholds, !thresholds.none};
    const bool gridWanted = m_mode == NeighbourSearchMode::Grid ||
                            (m_mode == NeighbourSearchMode::Auto && n >= kGridFrom);
    if (gridWanted && SearchGrid(tasks, scan, diagonal)) {
        m_lastSearch = NeighbourSearchMode::Grid;
    } else {
        m_lastSearch = NeighbourSearchMode::AllPairs;
        SearchAllPairs(tasks, scan);
    }

    std::vector<SecondSums> second(blocks);
    RunBatch(tasks, [&](std::uint32_t task) {
        for (std::uint32_t b = task; b < blocks; b += tasks) {
            SecondSums& s = second[b];
            for (std::uint32_t i = b * kBlock; i < std::min(n, (b + 1) * kBlock); ++i) {
                if (std::isnan(m_arrays.px[i])) {
                    continue;
                }
                const Quellon::Vector3 p = flock.positions[i];
                const Quellon::Vector3 v = flock.velocities[i];
                const double r[3] = {p.x - centre[0], p.y - centre[1], p.z - centre[2]};
                const double distance = Length(r[0], r[1], r[2]);
                s.gyration += distance * distance;
                const double speed = Length(v.x, v.y, v.z);
                if (distance > 0.0 && speed > 0.0) {
                    ++s.offCentre;
                    const double u[3] = {r[0] / distance, r[1] / distance, r[2] / distance};
                    const double h[3] = {v.x / speed, v.y / speed, v.z / speed};
                    s.milling[0] += u[1] * h[2] - u[2] * h[1];
                    s.milling[1] += u[2] * h[0] - u[0] * h[2];
                    s.milling[2] += u[0] * h[1] - u[1] * h[0];
                }
                if (m_nearest[i] < kInfinity) {
                    ++s.withNeighbour;
                    s.nearest += std::sqrt(static_cast<double>(m_nearest[i]));
                }
                s.group += m_group[i];
            }
        }
    });
    SecondSums total;
    for (const SecondSums& s : second) {
        total.offCentre += s.offCentre;
        total.withNeighbour += s.withNeighbour;
        total.group += s.group;
        total.gyration += s.gyration;
        total.nearest += s.nearest;
        for (int c = 0; c < 3; ++c) {
            total.milling[c] += s.milling[c];
        }
    }

    FlockMeasures m;
    m.polarization = Mean(Length(all.heading[0], all.heading[1], all.heading[2]), all.moving);
    m.milling = Mean(Length(total.milling[0], total.milling[1], total.milling[2]), total.offCentre);
    m.meanSpeed = Mean(all.speed, all.included);
    m.meanGroupNeighbours = Mean(static_cast<double>(total.group), all.included);
    m.meanNearestDistance = Mean(total.nearest, total.withNeighbour);
    m.gyrationRadius = std::sqrt(Mean(total.gyration, all.included));
    m.meanTargetDistance = Mean(all.target, all.included);
    m.excluded = n - static_cast<std::uint32_t>(all.included);
    return m;
}

void FlockMetrics::SearchAllPairs(std::uint32_t tasks, const Scan& scan) {
    const std::uint32_t n = m_arrays.count;
    const std::uint32_t blocks = (n + kBlock - 1) / kBlock;
    RunBatch(tasks, [&](std::uint32_t task) {
        for (std::uint32_t b = task; b < blocks; b += tasks) {
            for (std::uint32_t i = b * kBlock; i < std::min(n, (b + 1) * kBlock); ++i) {
                if (!m_resolved[i]) {
                    Examine(m_arrays, i, nullptr, n, scan.thresholds, scan.countGroup,
                            m_nearest[i], m_group[i]);
                }
            }
        }
    });
}

void FlockMetrics::BuildGrid(std::uint32_t tasks, float cellSize) {
    const std::uint32_t n = m_arrays.count;
    m_grid.Prepare(n, cellSize);
    RunBatch(tasks, [&](std::uint32_t k) {
        const BoidSlice slice = FlockStep::Slice(k, n, tasks);
        m_grid.SortRange(m_arrays, slice.begin, slice.end);
    });
    std::vector<std::uint32_t> ends(tasks);
    for (std::uint32_t k = 0; k < tasks; ++k) {
        ends[k] = FlockStep::Slice(k, n, tasks).end;
    }
    m_grid.Finish(ends);
}

bool FlockMetrics::SearchGrid(std::uint32_t tasks, const Scan& scan, double diagonal) {
    // The first grid's cells must hold every group neighbour; without group neighbours to
    // count, a cell of about the mean spacing of a uniform flock of this extent.
    double cellSize = scan.thresholds.reach;
    if (!scan.countGroup) {
        cellSize = 2.0 * diagonal / std::cbrt(std::max<double>(m_arrays.count, 1));
        if (!(cellSize > 0.0)) {
            cellSize = 1.0;
        }
    }
    if (!(cellSize > 0.0 && cellSize < std::numeric_limits<float>::max())) {
        return false;
    }
    // A boid whose nearest boid lies beyond the cell size has its answer outside the 27 cells:
    // such boids search again in grids of cells four times wider, until a cell spans the flock.
    bool countGroup = scan.countGroup;
    while (true) {
        const float cellWidth = static_cast<float>(cellSize);
        BuildGrid(tasks, cellWidth);
        const double covered = static_cast<double>(cellWidth) * kCoverage;
        const double coveredSquared = covered * covered;
        const bool spansFlock = covered > diagonal;
        const std::vector<std::uint32_t> firstCell = m_grid.PlanChunks(32 * tasks);
        const auto chunks = static_cast<std::uint32_t>(firstCell.size() - 1);
        std::atomic<std::uint32_t> nextChunk{0};
        RunBatch(tasks, [&](std::uint32_t) {
            std::vector<std::uint32_t> candidates;
            for (std::uint32_t chunk = nextChunk.fetch_add(1, std::memory_order_relaxed);
                 chunk < chunks; chunk = nextChunk.fetch_add(1, std::memory_order_relaxed)) {
                for (std::uint32_t cell = firstCell[chunk]; cell < firstCell[chunk + 1]; ++cell) {
                    const std::uint32_t* boids = m_grid.CellBegin(cell);
                    const std::uint32_t size = m_grid.CellSize(cell);
                    if (std::all_of(boids, boids + size,
                                    [&](std::uint32_t i) { return m_resolved[i] != 0; })) {
                        continue;
                    }
                    m_grid.GatherNeighbourhood(cell, candidates);
                    for (std::uint32_t b = 0; b < size; ++b) {
                        const std::uint32_t i = boids[b];
                        if (m_resolved[i]) {
                            continue;
                        }
                        Examine(m_arrays, i, candidates.data(),
                                static_cast<std::uint32_t>(candidates.size()), scan.thresholds,
                                countGroup, m_nearest[i], m_group[i]);
                        if (spansFlock || static_cast<double>(m_nearest[i]) < coveredSquared) {
                            m_resolved[i] = 1;
                        }
                    }
                }
            }
        });
        countGroup = false;
        const bool done = std::all_of(m_resolved.begin(), m_resolved.end(),
                                      [](std::uint8_t r) { return r != 0; });
        if (done) {
            return true;
        }
        cellSize *= 4.0;
        if (!(cellSize < std::numeric_limits<float>::max())) {
            // Cells cannot grow any further: the rest scan every boid.
            SearchAllPairs(tasks, Scan{scan.thresholds, false});
            return true;
        }
    }
}

}  // namespace Avidrift
