// Frames per second of the flock renderer alone, drawing into an X window: the whole frame
// (uniforms, texture upload, clear, overlay, instanced draws, present) without the logic, at the
// program's default camera. Needs an X display; scripts/bench runs it under Xvfb when there is
// none. --save_frame=FILE.png also leaves a picture of the 1,000-boid flock to look at.

#include <benchmark/benchmark.h>

#include <GL/gl.h>

#include <QImage>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Avidrift/AllocatorTuning.h"
#include "Avidrift/Render/TestRender.h"
#include "Avidrift/TestScene.h"
#include "Quellon/Opengl/OpenglDriver.h"

// After every other header: Xlib's macros break C++ headers included after it.
#include <X11/Xlib.h>

namespace {

std::string g_frameFile;

void SaveFrame(const std::string& file) {
    std::vector<unsigned char> pixels(std::size_t{4} * 800 * 600);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, 800, 600, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    QImage(pixels.data(), 800, 600, QImage::Format_RGBX8888).mirrored().save(file.c_str());
}

void BM_RenderFrame(benchmark::State& state) {
    const auto boids = static_cast<std::uint32_t>(state.range(0));
    const auto samples = static_cast<int>(state.range(1));
    // 0: detail pinned at its finest (an error under a pixel, multisampled), as a fast machine
    // draws it; 1: as the renderer chooses by its frame times.
    const bool adapt = state.range(2) != 0;
    // Whether frames without multisampling leave the hidden boids out.
    const bool cull = state.range(3) != 0;
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
        if (!adapt) {
            render.SetMaxPixelError(1.0f);
        }
        render.SetOcclusionCulling(cull);
        // The detail steps down at most once a frame; let it settle before counting.
        for (int frame = 0; frame < 6; ++frame) {
            render.Update(0.016f);
        }
        for (auto _ : state) {
            render.Update(0.016f);
        }
        if (!g_frameFile.empty() && boids == 1000 && samples > 0 && !adapt) {
            SaveFrame(g_frameFile);
        }
        state.counters["samples"] = render.GetDriver()->GetSamples();
        state.counters["instances"] = render.GetLastFrame().instances;
        state.counters["hidden"] = render.GetLastFrame().hidden;
        state.counters["triangles"] = static_cast<double>(render.GetLastFrame().triangles);
        state.counters["pixel_error"] = render.GetLastFrame().pixelError;
        state.counters["multisampled"] = render.GetLastFrame().multisampled ? 1 : 0;
        state.counters["frames_per_s"] =
            benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
        render.Shutdown();
    }
    XDestroyWindow(display, window);
    XCloseDisplay(display);
}

BENCHMARK(BM_RenderFrame)
    ->ArgsProduct({{1, 1000, 10000, 100000}, {4, 0}, {1, 0}, {1, 0}})
    ->ArgNames({"boids", "max_samples", "adapt", "cull"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    // As the program does, so the renderer is measured as it runs there.
    Avidrift::TuneAllocatorForRendering();
    constexpr const char* kSaveFrame = "--save_frame=";
    std::vector<char*> arguments;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], kSaveFrame, std::strlen(kSaveFrame)) == 0) {
            g_frameFile = argv[i] + std::strlen(kSaveFrame);
        } else {
            arguments.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
