#pragma once

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "../Quellon/OpenglTestWindow.h"
#include "Avidrift/TestRender.h"
#include "Avidrift/TestScene.h"

namespace Avidrift {

// The renderer on a test window of the program's size, initialised, looking at the origin from
// (0, 0, 80) as the logic's camera does at first.
class RenderFixture : public ::testing::Test {
protected:
    static constexpr int kWidth = 800;
    static constexpr int kHeight = 600;

    void SetUp() override {
        m_scene->m_flock.ApplyDefaults();
        m_scene->m_camera = Quellon::Camera({0, 0, 80}, {0, 0, 0}, {0, 1, 0});
        m_render = std::make_unique<TestRender>(m_scene, m_window.GetWindow(), kWidth, kHeight,
                                                m_window.GetDisplayName());
        m_render->Init();
    }
    void TearDown() override {
        if (m_render) {
            m_render->Shutdown();
        }
    }

    // Boids at the given places and speeds, drawn in one frame.
    void DrawBoids(const std::vector<std::pair<Quellon::Vector3, Quellon::Vector3>>& boids) {
        FlockData& flock = m_scene->m_flock;
        flock.SetFlockSize(static_cast<std::uint32_t>(boids.size()));
        for (std::size_t i = 0; i < boids.size(); ++i) {
            flock.positions[i] = boids[i].first;
            flock.velocities[i] = boids[i].second;
        }
        m_render->PostInit();
        m_render->Update(0.016f);
    }

    // The frame in the back buffer as RGBA bytes, row 0 at the bottom.
    static std::vector<unsigned char> ReadFrame() {
        std::vector<unsigned char> pixels(4 * kWidth * kHeight);
        glReadBuffer(GL_BACK);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, kWidth, kHeight, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
        return pixels;
    }
    // The clear colour (0.5, 0.5, 0.7) within rounding.
    static bool IsBackground(const std::vector<unsigned char>& frame, int x, int y) {
        const unsigned char* p = &frame[4 * (y * kWidth + x)];
        return std::abs(p[0] - 128) <= 1 && std::abs(p[1] - 128) <= 1 && std::abs(p[2] - 179) <= 1;
    }

    QuellonTest::OpenglTestWindow m_window{kWidth, kHeight};
    std::shared_ptr<TestScene> m_scene = std::make_shared<TestScene>();
    std::unique_ptr<TestRender> m_render;
};

}  // namespace Avidrift
