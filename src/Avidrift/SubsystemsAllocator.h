#pragma once

#include "Quellon/ISubsystemsAllocator.h"

namespace Avidrift {

// The flock program's factory: flock scenes, the flock logic, the settings page and the flock
// renderer. Holds no data; called on the main thread.
class SubsystemsAllocator : public Quellon::ISubsystemsAllocator {
public:
    // Draws on the X display that Qt uses, through a connection of the renderer's own.
    std::shared_ptr<Quellon::IRenderCallable> CreateRender(std::shared_ptr<Quellon::Scene> scene,
                                                           Quellon::NativeWindowId window,
                                                           int width, int height) override;
    std::shared_ptr<Quellon::ILogicCallable> CreateLogic(
        std::shared_ptr<Quellon::Scene> scene) override;
    // Reads the mesh file.
    std::shared_ptr<Quellon::Scene> CreateScene() override;
    std::vector<std::shared_ptr<Quellon::ITab>> CreateTabs(
        Quellon::UserEventQueue* events) override;
};

}  // namespace Avidrift
