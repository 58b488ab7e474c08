#include "FlockSession.h"

#include "Avidrift/Flock/WorldFile.h"
#include "Avidrift/Tasks/ProcessorCount.h"
#include "SimulatorOptions.h"

namespace Avidrift {

namespace {

// The simulator's settings and where each lives in the flock, for reading them back.
struct SettingField {
    const char* name;
    float FlockData::*member;
};
constexpr SettingField kSettings[] = {
    {"angleIncrement", &FlockData::angleIncrement},
    {"separationWeight", &FlockData::separationWeight},
    {"cohesionWeight", &FlockData::cohesionWeight},
    {"alignmentWeight", &FlockData::alignmentWeight},
    {"trefoilKnotPathWeight", &FlockData::trefoilKnotPathWeight},
    {"maxSpeed", nullptr},
    {"separationDistance", &FlockData::separationDistance},
    {"groupDistance", &FlockData::groupDistance},
};

}  // namespace

float ReadSetting(const FlockData& flock, const std::string& name) {
    for (const SettingField& field : kSettings) {
        if (name == field.name) {
            return field.member != nullptr ? flock.*field.member : flock.maxSpeed.x;
        }
    }
    throw UsageError("unknown setting name '" + name + "' for --set");
}

std::vector<std::string> GetSettingNames() {
    std::vector<std::string> names;
    for (const SettingField& field : kSettings) {
        names.emplace_back(field.name);
    }
    return names;
}

FlockSession::FlockSession(std::optional<std::uint32_t> boids, std::uint32_t tasks,
                           const std::string& search, const std::string& worldFile,
                           const std::vector<std::pair<std::string, float>>& settings)
    : m_tasks(tasks != 0 ? tasks : GetProcessorCount()),
      m_search(ParseSearchMode(search)),
      m_step(m_scheduler),
      m_metrics(m_scheduler) {
    m_flock.ApplyDefaults();
    if (!worldFile.empty()) {
        const World world = ReadWorld(worldFile);
        ApplyWorld(world, m_flock);
        if (!boids) {
            boids = world.boidCount;
        }
    }
    for (const auto& [name, value] : settings) {
        ApplySetting(m_flock, name, value);
    }
    m_flock.SetFlockSize(boids.value_or(SimulatorOptions().boids));
    m_written = m_flock;
    m_step.SetSearchMode(m_search);
    m_metrics.SetSearchMode(m_search);
}

void FlockSession::Step(float stepTime) {
    if (stepTime != m_stepTime) {
        m_timeBefore = GetTime();
        m_stepsAtDt = m_steps;
        m_stepTime = stepTime;
    }
    // Parameters set since the last step reach the step through the record it reads; the
    // record it writes must hold them too, as the copy back takes the parameters from it.
    m_written.CopyParametersFrom(m_flock);
    m_step.Run(m_flock, m_written, m_tasks, stepTime);
    m_flock = m_written;  // same size: into the arrays the flock already owns
    ++m_steps;
}

FlockMeasures FlockSession::Measure() {
    return m_metrics.Measure(m_flock, m_tasks);
}

double FlockSession::GetTime() const {
    return m_timeBefore +
           static_cast<double>(m_steps - m_stepsAtDt) * static_cast<double>(m_stepTime);
}

}  // namespace Avidrift
