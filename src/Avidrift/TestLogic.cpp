#include "Avidrift/TestLogic.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <string>

#include "Avidrift/Flock/FlockMemory.h"
#include "Avidrift/SimulationEvent.h"
#include "Avidrift/TestScene.h"
#include "Avidrift/WorldEvent.h"
#include "Avidrift/WorldPointer.h"
#include "Quellon/UserEvent.h"

namespace Avidrift {

using Quellon::Vector3;

namespace {

const Vector3 kTarget(0, 0, 0);
const Vector3 kUp(0, 1, 0);
const Vector3 kStartEye(0, 0, 80);
// Degrees the eye orbits, and units it moves, per second of drag.
constexpr double kOrbitDegreesPerSecond = 20.0;
constexpr double kZoomUnitsPerSecond = 20.0;
// A slow iteration must not turn one small drag into a jump: an event moves the eye at most
// as far as it would after an iteration of a thirtieth of a second.
constexpr float kLongestMouseStep = 1.0f / 30.0f;
// A click picks the boid drawn within this many pixels of the pointer.
constexpr float kPickPixels = 8.0f;
// The eye stays this far from the centre: closer, a zoom step would carry it through the
// centre and flip the view; farther, the flock (within about 40 units of the centre) would
// leave the far plane.
constexpr float kNearestEye = 1.0f;
constexpr float kFarthestEye = Quellon::Camera::kFar / 2;
// A paused iteration has nothing to compute; it waits about a display frame for more events,
// so a drag still moves the view smoothly.
constexpr auto kPausedRest = std::chrono::milliseconds(16);

int Sign(int value) {
    return (value > 0) - (value < 0);
}

}  // namespace

TestLogic::TestLogic(std::shared_ptr<TestScene> scene, TestHooks hooks)
    : m_scene(std::move(scene)), m_hooks(std::move(hooks)), m_step(m_scheduler) {}

TestLogic::~TestLogic() = default;

std::uint32_t TestLogic::TruncateToCount(float value) {
    // Converting NaN or an out-of-range float to an integer is undefined, so those never reach
    // the conversion.
    if (!(value > 0.0f)) {
        return 0;
    }
    if (value >= 4294967296.0f) {
        return std::numeric_limits<std::uint32_t>::max();
    }
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(value));
}

void TestLogic::Init() {
    m_eyeOffset = kStartEye;
    m_scene->m_camera = Quellon::Camera(kStartEye, kTarget, kUp);
    m_scene->m_flock.ApplyDefaults();
    m_flock = m_scene->m_flock;
    m_scene->m_taskCount = 1;
    PublishWorld();
}

void TestLogic::Update(float elapsedSeconds) {
    m_scene->m_stepTime = elapsedSeconds;
    m_scene->m_paused = m_paused;
    // The step writes the counts only while the colouring shows them.
    const ColourBy colourBy = m_scene->m_colourBy;
    m_flock.KeepNeighbourCounts(colourBy == ColourBy::GroupNeighbours ||
                                colourBy == ColourBy::SeparationNeighbours);
    if (!m_paused) {
        Step(elapsedSeconds);
        Inspect(elapsedSeconds);
        return;
    }
    // Changed parameters reach the scene with this publish, as a step would take them there,
    // so the next step asked for steers with what the page shows.
    m_scene->m_flock.CopyParametersFrom(m_flock);
    if (m_stepsAsked > 0) {
        --m_stepsAsked;
        Step(kPausedStepSeconds);
        Inspect(kPausedStepSeconds);
        return;
    }
    Inspect(kPausedStepSeconds);
    std::unique_lock<std::mutex> lock(m_restMutex);
    m_restWake.wait_for(lock, kPausedRest,
                        [this] { return m_stopRequested.load(std::memory_order_relaxed); });
}

void TestLogic::Inspect(float stepTime) {
    const FlockData& flock = m_scene->m_flock;
    if (m_selected && *m_selected >= flock.boidCount) {
        Deselect();
    }
    if (m_selected) {
        m_scene->m_inspection = InspectBoid(flock, *m_selected, stepTime);
    } else {
        m_scene->m_inspection.reset();
    }
    PlaceCamera();
    // Without a boid the page has nothing new to show after the first "none".
    if (m_selected || m_inspectionPublished) {
        m_scene->PublishInspection(m_scene->m_inspection, m_following);
        m_inspectionPublished = m_selected.has_value();
    }
}

void TestLogic::Deselect() {
    m_selected.reset();
    m_following = false;
}

void TestLogic::PlaceCamera() {
    Vector3 centre = kTarget;
    if (m_following && m_selected && *m_selected < m_scene->m_flock.boidCount) {
        const Vector3 boid = m_scene->m_flock.positions[*m_selected];
        // A boid gone beyond the numbers leaves the camera where it last saw it.
        const bool finite = std::isfinite(boid.x) && std::isfinite(boid.y) && std::isfinite(boid.z);
        centre = finite ? boid : m_scene->m_camera.m_position - m_eyeOffset;
    }
    const Vector3 eye = centre + m_eyeOffset;
    if (eye.x != m_scene->m_camera.m_position.x || eye.y != m_scene->m_camera.m_position.y ||
        eye.z != m_scene->m_camera.m_position.z || m_following) {
        m_scene->m_camera = Quellon::Camera(eye, centre, kUp);
    }
}

void TestLogic::Step(float seconds) {
    if (m_hooks.stepBegins) {
        m_hooks.stepBegins();
    }
    if (!m_step.Run(m_scene->m_flock, m_flock, m_scene->m_taskCount, seconds, &m_stopRequested)) {
        return;  // abandoned: m_flock holds a partial step that must never be published
    }
    m_scene->m_flock = m_flock;
}

void TestLogic::RequestStop() {
    {
        // Under the rest's mutex, so a paused iteration between its test and its wait cannot
        // miss the request.
        const std::lock_guard<std::mutex> lock(m_restMutex);
        m_stopRequested.store(true, std::memory_order_relaxed);
    }
    m_restWake.notify_all();
}

void TestLogic::SetFlockSize(float requested) {
    const std::uint32_t limit =
        m_flock.maxFlockSize != 0 ? m_flock.maxFlockSize : kDefaultFlockSizeLimit;
    const std::uint32_t n = std::min(TruncateToCount(requested), limit);
    // Linux overcommits, so an allocation beyond the machine rarely throws: the process would
    // be killed once it touched the arrays. Refuse before allocating instead.
    const std::string shortfall = DescribeFlockShortfall(
        n, m_hooks.availableMemory ? m_hooks.availableMemory() : GetAvailableMemory());
    if (!shortfall.empty()) {
        std::fprintf(stderr, "avidrift: %s; it keeps %u\n", shortfall.c_str(), m_flock.boidCount);
        return;
    }
    try {
        // Everything that can fail happens before either flock changes, so a flock too large
        // for memory leaves the running one intact.
        FlockData resized;
        resized.maxFlockSize = m_flock.maxFlockSize;
        resized.CopyParametersFrom(m_flock);
        resized.SetFlockSize(n);
        FlockData published(resized);
        m_flock = std::move(resized);
        m_scene->m_flock = std::move(published);
        // Placed anew, the boid of that index is another boid.
        Deselect();
    } catch (const std::bad_alloc&) {
        // The flock runs on as it was; say why the size the user typed has no effect.
        std::fprintf(stderr, "avidrift: not enough memory for a flock of %u boids; it keeps %u\n",
                     n, m_flock.boidCount);
    }
}

void TestLogic::OnCustomEvent(float, std::shared_ptr<Quellon::IUserEvent> event) {
    if (const auto* world = dynamic_cast<const WorldEvent*>(event.get())) {
        OnWorldEvent(*world);
        PublishWorld();
        return;
    }
    if (const auto* simulation = dynamic_cast<const SimulationEvent*>(event.get())) {
        switch (simulation->m_action) {
            case SimulationEvent::kPause:
                m_paused = true;
                break;
            case SimulationEvent::kResume:
                m_paused = false;
                m_stepsAsked = 0;
                break;
            case SimulationEvent::kStep:
                // A running flock steps anyway; a step asked for then would jump it later.
                m_stepsAsked += m_paused ? 1 : 0;
                break;
        }
        return;
    }
    const auto* change = dynamic_cast<const Quellon::ValueChangedEvent*>(event.get());
    if (change == nullptr) {
        return;
    }
    const float value = change->m_value;
    switch (change->GetId()) {
        case kTaskCountSetting:
            m_scene->m_taskCount = std::max<std::uint32_t>(1, TruncateToCount(value));
            break;
        case kFlockSizeSetting:
            SetFlockSize(value);
            // Refused or not, the settings page learns the size that runs.
            m_scene->AnswerFlockSizeSetting(m_flock.boidCount);
            break;
        case kAngleIncrementSetting:
            m_flock.angleIncrement = value;
            break;
        case kSeparationWeightSetting:
            m_flock.separationWeight = value;
            break;
        case kCohesionWeightSetting:
            m_flock.cohesionWeight = value;
            break;
        case kAlignmentWeightSetting:
            m_flock.alignmentWeight = value;
            break;
        case kTrefoilKnotPathWeightSetting:
            m_flock.trefoilKnotPathWeight = value;
            break;
        case kMaxSpeedSetting:
            m_flock.maxSpeed = Vector3(value, value, value);
            break;
        case kSeparationDistanceSetting:
            m_flock.separationDistance = value;
            break;
        case kGroupDistanceSetting:
            m_flock.groupDistance = value;
            break;
        case kFleeDistanceSetting:
            m_flock.fleeDistance = value;
            break;
        case kFleeWeightSetting:
            m_flock.fleeWeight = value;
            break;
        case kPredatorSpeedSetting:
            m_flock.predatorSpeed = value;
            break;
        case kAvoidDistanceSetting:
            m_flock.avoidDistance = value;
            break;
        case kAvoidWeightSetting:
            m_flock.avoidWeight = value;
            break;
        case kAutonomousPredatorsSetting:
            SetAutonomousPredators(std::min(TruncateToCount(value), kMaxPredators - 1));
            break;
        case kColourBySetting: {
            const std::uint32_t colouring = TruncateToCount(value);
            m_scene->m_colourBy =
                colouring < kColourByCount ? static_cast<ColourBy>(colouring) : ColourBy::Speed;
            break;
        }
        default:
            break;
    }
    PublishWorld();
}

void TestLogic::OnWorldEvent(const WorldEvent& event) {
    const Quellon::Camera& camera = m_scene->m_camera;
    const PointerRay ray = PointerRay::Through(camera.m_position, camera.m_position - m_eyeOffset,
                                               event.m_pointer.x, event.m_pointer.y);
    std::vector<Obstacle>& obstacles = m_flock.obstacles;
    switch (event.m_action) {
        case WorldEvent::kHuntAt: {
            const Vector3 at = ray.OnPlaneThrough(FlockCentre(m_scene->m_flock));
            if (m_hunting) {
                m_flock.predators.back().position = at;
            } else if (m_flock.predators.size() < kMaxPredators) {
                m_flock.predators.push_back({at, false});
                m_hunting = true;
            }
            break;
        }
        case WorldEvent::kStopHunt:
            StopHunt();
            break;
        case WorldEvent::kSelectAt:
            m_selected = PickBoid(m_scene->m_flock, camera, event.m_pointer.x, event.m_pointer.y,
                                  kPickPixels);
            m_following = m_following && m_selected.has_value();
            break;
        case WorldEvent::kToggleFollow:
            m_following = !m_following && m_selected.has_value();
            break;
        case WorldEvent::kLetGo:
            StopHunt();
            Deselect();
            break;
        case WorldEvent::kPlaceObstacle:
            if (obstacles.size() < kMaxObstacles) {
                obstacles.push_back({ray.OnPlaneThrough(FlockCentre(m_scene->m_flock)),
                                     std::max(event.m_obstacle.radius, 0.0f)});
            }
            break;
        case WorldEvent::kGrabObstacle:
            m_grabbed = ray.FirstObstacle(m_flock);
            break;
        case WorldEvent::kDragObstacle:
            if (m_grabbed && *m_grabbed < obstacles.size()) {
                Obstacle& held = obstacles[*m_grabbed];
                held.centre = ray.OnPlaneThrough(held.centre);
            }
            break;
        case WorldEvent::kRemoveObstacleAt:
            if (const std::optional<std::uint32_t> hit = ray.FirstObstacle(m_flock)) {
                obstacles.erase(obstacles.begin() + *hit);
                m_grabbed.reset();
            }
            break;
        case WorldEvent::kSetObstacle:
            if (event.m_index < obstacles.size()) {
                obstacles[event.m_index] = event.m_obstacle;
            }
            break;
        case WorldEvent::kRemoveObstacle:
            if (event.m_index < obstacles.size()) {
                obstacles.erase(obstacles.begin() + event.m_index);
                m_grabbed.reset();
            }
            break;
        case WorldEvent::kClearObstacles:
            obstacles.clear();
            m_grabbed.reset();
            break;
        case WorldEvent::kLoadWorld:
            if (event.m_world) {
                const World& world = *event.m_world;
                m_hunting = false;
                m_grabbed.reset();
                ApplyWorld(world, m_flock);
                Deselect();
                if (world.camera) {
                    m_scene->m_camera =
                        Quellon::Camera(world.camera->eye, world.camera->target, world.camera->up);
                    // Orbit and zoom go on about the origin, as before the file.
                    m_eyeOffset = world.camera->eye;
                }
                // Placed anew, as a typed flock size places it, even at the same size.
                SetFlockSize(static_cast<float>(world.boidCount.value_or(m_flock.boidCount)));
                m_scene->AnswerFlockSizeSetting(m_flock.boidCount);
            }
            break;
    }
}

void TestLogic::StopHunt() {
    if (m_hunting) {
        m_flock.predators.pop_back();
        m_hunting = false;
    }
}

void TestLogic::SetAutonomousPredators(std::uint32_t count) {
    std::optional<Predator> hunter;
    if (m_hunting) {
        hunter = m_flock.predators.back();
        m_flock.predators.pop_back();
    }
    std::erase_if(m_flock.predators, [](const Predator& p) { return p.autonomous; });
    for (const Predator& p : AutonomousPredators(count)) {
        if (m_flock.predators.size() < kMaxPredators - (hunter ? 1 : 0)) {
            m_flock.predators.push_back(p);
        }
    }
    if (hunter) {
        m_flock.predators.push_back(*hunter);
    }
}

void TestLogic::PublishWorld() {
    const Vector3 eye = m_scene->m_camera.m_position;
    m_scene->PublishWorld(WorldOf(m_flock, CameraPose{eye, eye - m_eyeOffset, kUp}), m_hunting);
}

void TestLogic::OnMouseEvent(float elapsedSeconds, std::shared_ptr<Quellon::IUserEvent> event) {
    const auto* mouse = dynamic_cast<const Quellon::MouseEvent*>(event.get());
    if (mouse == nullptr) {
        return;
    }
    if (mouse->m_button == Quellon::MouseEvent::kDoubleClick) {
        m_eyeOffset = kStartEye;
        PlaceCamera();
        return;
    }
    if (!mouse->m_pressed) {
        return;
    }
    const double seconds =
        elapsedSeconds > 0.0f ? std::min(elapsedSeconds, kLongestMouseStep) : 0.0;
    const Vector3 eye = m_eyeOffset;
    Vector3 moved;
    if (mouse->m_button == Quellon::MouseEvent::kLeftButton && mouse->m_dx != 0) {
        // Only the direction of the drag counts, not its length.
        const auto degrees =
            static_cast<float>(Sign(mouse->m_dx) * -kOrbitDegreesPerSecond * seconds);
        moved = Quellon::TransformPoint(Quellon::Matrix4::RotationY(degrees), eye);
    } else if (mouse->m_button == Quellon::MouseEvent::kRightButton && mouse->m_dy != 0) {
        const float distance = std::clamp(
            Length(eye) + static_cast<float>(Sign(mouse->m_dy) * kZoomUnitsPerSecond * seconds),
            kNearestEye, kFarthestEye);
        moved = eye.Normalized() * distance;
    } else {
        return;
    }
    m_eyeOffset = moved;
    PlaceCamera();
    PublishWorld();
}

}  // namespace Avidrift
