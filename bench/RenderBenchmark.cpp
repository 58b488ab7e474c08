// Frames per second of the flock renderer alone, drawing into an X window: the whole frame
// (uniforms, texture upload, clear, overlay, instanced draw, present) without the logic. Needs
// an X display; scripts/bench runs it under Xvfb when there is none.

#include <benchmark/benchmark.h>

#include <memory>
#include <stdexcept>

#include "Avidrift/TestRender.h"
#include "Avidrift/TestScene.h"
#include "Quellon/OpenglDriver.h"

// After every other header: Xlib's macros break C++ headers included after it.
#include <X11/Xlib.h>

namespace {

void BM_RenderFrame(benchmark::State& state) {
    const auto boids = static_cast<std::uint32_t>(state.range(0));
    const auto samples = static_cast<int>(state.range(1));
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        state.SkipWithError("no X display");
        return;
    }
    const Window window =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 800, 600, 0, 0, 0);
    XMapWindow(display, window);
    XSync(display, False);
    {
        auto scene = std::make_shared<Avidrift::TestScene>();
        scene->m_flock.ApplyDefaults();
        scene->m_flock.SetFlockSize(boids);
        scene->m_camera = Quellon::Camera({0, 0, 80}, {0, 0, 0}, {0, 1, 0});
        Avidrift::TestRender render(scene, window, 800, 600, DisplayString(display), samples);
        render.Init();
        render.PostInit();
        for (auto _ : state) {
            render.Update(0.016f);
        }
        state.counters["samples"] = render.GetDriver()->GetSamples();
        state.counters["frames_per_s"] =
            benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
        render.Shutdown();
    }
    XDestroyWindow(display, window);
    XCloseDisplay(display);
}

BENCHMARK(BM_RenderFrame)
    ->ArgsProduct({{1, 1000, 10000}, {4, 0}})
    ->ArgNames({"boids", "max_samples"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
