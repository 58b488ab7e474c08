#pragma once

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

#include "../../Quellon/Opengl/OpenglTestWindow.h"
#include "Avidrift/Render/TestRender.h"
#include "Avidrift/TestScene.h"

namespace Avidrift {

constexpr int kWidth = 800;
constexpr int kHeight = 600;

// The back buffer as RGBA bytes, row 0 at the bottom.
class Frame {
public:
    Frame() : m_pixels(4 * kWidth * kHeight) {
        glReadBuffer(GL_BACK);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, kWidth, kHeight, GL_RGBA, GL_UNSIGNED_BYTE, m_pixels.data());
    }
    const unsigned char* At(int x, int y) const { return &m_pixels[4 * (y * kWidth + x)]; }
    // The clear colour (0.5, 0.5, 0.7) within rounding.
    bool IsBackground(int x, int y) const {
        const unsigned char* p = At(x, y);
        return std::abs(p[0] - 128) <= 1 && std::abs(p[1] - 128) <= 1 && std::abs(p[2] - 179) <= 1;
    }
    // Pixels where some channel differs from other's by more than levels.
    int CountDiffering(const Frame& other, int levels) const {
        int count = 0;
        for (std::size_t i = 0; i < m_pixels.size(); i += 4) {
            const auto differs = [&](std::size_t c) {
                return std::abs(m_pixels[i + c] - other.m_pixels[i + c]) > levels;
            };
            count += differs(0) || differs(1) || differs(2) ? 1 : 0;
        }
        return count;
    }

private:
    std::vector<unsigned char> m_pixels;
};

using Boid = std::pair<Quellon::Vector3, Quellon::Vector3>;  // position, velocity

// The renderer on a window of the program's size, looking at the origin from (0, 0, 80) as the
// logic's camera does at first.
class RenderFixture : public ::testing::Test {
protected:
    void SetUp() override {
        m_scene->m_flock.ApplyDefaults();
        m_scene->m_camera = Quellon::Camera({0, 0, 80}, {0, 0, 0}, {0, 1, 0});
        m_render = std::make_unique<TestRender>(m_scene, m_window.GetWindow(), kWidth, kHeight,
                                                m_window.GetDisplayName());
        m_render->Init();
        // Frame times under test are no measure of anything; the detail stays where it starts.
        m_render->SetMaxPixelError(1.0f);
    }
    void TearDown() override {
        if (m_render) {
            m_render->Shutdown();
        }
    }
    void PlaceBoids(const std::vector<Boid>& boids) {
        FlockData& flock = m_scene->m_flock;
        flock.SetFlockSize(static_cast<std::uint32_t>(boids.size()));
        for (std::size_t i = 0; i < boids.size(); ++i) {
            std::tie(flock.positions[i], flock.velocities[i]) = boids[i];
        }
    }
    Frame Draw() {
        m_render->Update(0.016f);
        return Frame();
    }

    QuellonTest::OpenglTestWindow m_window{kWidth, kHeight};
    std::shared_ptr<TestScene> m_scene = std::make_shared<TestScene>();
    std::unique_ptr<TestRender> m_render;
};

}  // namespace Avidrift
