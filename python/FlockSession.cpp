#include "FlockSession.h"

#include "Avidrift/Flock/WorldFile.h"
#include "Avidrift/Tasks/ProcessorCount.h"
#include "SimulatorOptions.h"

namespace Avidrift {

float ReadSetting(const FlockData& flock, const std::string& name) {
    const FlockSetting* setting = FindFlockSetting(name);
    if (setting == nullptr) {
        throw UsageError("unknown setting name '" + name + "' for --set");
    }
    return setting->read(flock);
}

std::vector<std::string> GetSettingNames() {
    std::vector<std::string> names;
    for (const FlockSetting& setting : GetFlockSettings()) {
        names.emplace_back(setting.name);
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
    // Placed as avidrift-sim places the same options: one MakeFlock for both.
    SimulatorOptions options;
    if (!worldFile.empty()) {
        options.world = std::make_shared<const World>(ReadWorld(worldFile));
        options.boids = options.world->boidCount.value_or(options.boids);
    }
    options.boids = boids.value_or(options.boids);
    for (const auto& [name, value] : settings) {
        const FlockSetting* setting = FindFlockSetting(name);
        if (setting == nullptr) {
            throw UsageError("unknown setting name '" + name + "' for --set");
        }
        options.settings.emplace_back(setting, value);
    }
    m_flock = MakeFlock(options);
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
