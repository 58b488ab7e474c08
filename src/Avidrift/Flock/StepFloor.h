#pragma once

#include <cstdint>

#include "Avidrift/Flock/FlockData.h"

namespace Avidrift {

class TaskScheduler;

// What the every-pair kernel pays per pair it examines, on this machine now: the median of seven
// every-pair steps of flock with tasks tasks. Called on the submitting thread.
double MeasureEveryPairSecondsPerPair(TaskScheduler& scheduler, const FlockData& flock,
                                      std::uint32_t tasks);

// A ball of 8,000 boids well inside the group distance and with no separation distance: every
// pair counts for the group, so every-pair's price on it is what adding a pair up costs. An
// exact step must add every neighbour pair in index order, so the neighbour pairs at this price
// are the floor a step is measured against (its counted floor).
FlockData MakeCountedPairBall();

}  // namespace Avidrift
