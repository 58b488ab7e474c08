#include "Avidrift/Flock/StepFloor.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "Avidrift/Flock/FlockStep.h"

namespace Avidrift {

double MeasureEveryPairSecondsPerPair(TaskScheduler& scheduler, const FlockData& flock,
                                      std::uint32_t tasks) {
    FlockData write = flock;
    FlockStep step(scheduler);
    step.SetSearchMode(NeighbourSearchMode::AllPairs);
    std::vector<double> seconds;
    for (int s = 0; s < 7; ++s) {
        const auto start = std::chrono::steady_clock::now();
        step.Run(flock, write, tasks, 0.016f);
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(seconds.begin(), seconds.begin() + 3, seconds.end());
    const auto pairs = static_cast<double>(step.GetLastCounts().examinedPairs);
    return pairs > 0 ? seconds[3] / pairs : 0.0;
}

FlockData MakeCountedPairBall() {
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
}

}  // namespace Avidrift
