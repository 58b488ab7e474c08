#include "Avidrift/Pages/MeasuresPage.h"

#include <chrono>
#include <memory>
#include <thread>

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QLineSeries>
#include <QWidget>

#include <gtest/gtest.h>

#include "Avidrift/TestScene.h"

namespace Avidrift {
namespace {

// A flock flying one way has polarization 1: the page's worker measures the scene it was given
// once the page shows, and the plot's last point says so.
TEST(MeasuresPageTest, PlotsThePolarizationOfTheSceneFlockOnceShown) {
    auto scene = std::make_shared<TestScene>();
    scene->m_flock.ApplyDefaults();
    scene->m_flock.SetFlockSize(500);
    for (std::uint32_t i = 0; i < scene->m_flock.boidCount; ++i) {
        scene->m_flock.velocities[i] = Quellon::Vector3(3.0f, -1.0f, 0.5f);
    }
    MeasuresPage page;
    page.SetScene(scene);
    auto* series = page.GetWidget()
                       ->findChild<QChartView*>("measuresView")
                       ->chart()
                       ->findChild<QLineSeries*>("polarizationSeries");
    ASSERT_NE(series, nullptr);
    page.GetWidget()->show();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (series->count() == 0 && std::chrono::steady_clock::now() < deadline) {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GT(series->count(), 0);
    EXPECT_NEAR(series->points().last().y(), 1.0, 1e-9);
    EXPECT_EQ(series->points().last().x(), 0.0);
}

}  // namespace
}  // namespace Avidrift
