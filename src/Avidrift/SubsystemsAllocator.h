#pragma once

#include <memory>

#include "Quellon/ISubsystemsAllocator.h"

namespace Avidrift {

class CaptureSession;

// The flock program's factory: flock scenes, the flock logic, the settings, capture and world pages
// and the flock renderer. Called on the main thread. Holds the capture session that the capture
// page and the renderer share; it outlives both, so a recording is finished after the last
// frame (the application run ends before the factory goes).
class SubsystemsAllocator : public Quellon::ISubsystemsAllocator {
public:
    SubsystemsAllocator();
    ~SubsystemsAllocator() override;

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

private:
    std::shared_ptr<CaptureSession> m_capture;
};

}  // namespace Avidrift
