#pragma once

#include <cstdint>

namespace Avidrift {

// The setting ids that the settings page posts in ValueChangedEvents.
enum SettingId : int {
    kTaskCountSetting = 0,
    kFlockSizeSetting = 1,
    kAngleIncrementSetting = 2,
    kSeparationWeightSetting = 3,
    kCohesionWeightSetting = 4,
    kAlignmentWeightSetting = 5,
    kTrefoilKnotPathWeightSetting = 6,
    kMaxSpeedSetting = 7,
    kSeparationDistanceSetting = 8,
    kGroupDistanceSetting = 9,
    // The world's settings, posted by the world page.
    kFleeDistanceSetting = 10,
    kFleeWeightSetting = 11,
    kPredatorSpeedSetting = 12,
    kAvoidDistanceSetting = 13,
    kAvoidWeightSetting = 14,
    kAutonomousPredatorsSetting = 15,
    // What the boids' colour shows (a ColourBy), posted by the inspect page.
    kColourBySetting = 16,
};

// Largest flock accepted when the renderer has not said how many it can hold.
constexpr std::uint32_t kDefaultFlockSizeLimit = 1u << 24;

}  // namespace Avidrift
