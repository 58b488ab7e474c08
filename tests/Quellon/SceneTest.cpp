#include "Quellon/Scene.h"

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "Quellon/Exception.h"
#include "Quellon/IRenderCallable.h"
#include "Quellon/Render.h"
#include "ValueScene.h"

namespace Quellon {
namespace {

using QuellonTest::ValueScene;

// A failed copy must leave the scene unlocked: a writer on this thread would otherwise wait for
// itself.
TEST(Scene, FailedAssignLeavesSceneUnlocked) {
    ValueScene scene(1);
    auto source = std::make_shared<ValueScene>(2);
    EXPECT_THROW(scene.Assign(nullptr), Exception);
    scene.m_midCopy = [] { throw std::runtime_error("copy failed"); };
    EXPECT_THROW(scene.Assign(source), std::runtime_error);
    scene.m_midCopy = nullptr;
    scene.Assign(source);
    EXPECT_EQ(scene.m_second, 2);
}

// A read lock another thread still holds must not keep destruction waiting (bounded hang guard).
TEST(Scene, DestroyingSceneReleasesReadLockHeldByAnotherThread) {
    auto scene = std::make_shared<ValueScene>();
    std::thread reader([&] { scene->BeginRead(); });
    reader.join();
    auto destroyed = std::make_shared<std::promise<void>>();
    std::future<void> done = destroyed->get_future();
    std::thread([scene = std::move(scene), destroyed]() mutable {
        scene.reset();
        destroyed->set_value();
    }).detach();
    ASSERT_EQ(done.wait_for(std::chrono::minutes(1)), std::future_status::ready);
}

class FailingFrame : public IRenderCallable {
public:
    void Init() override {}
    void PostInit() override {}
    void Update(float) override { throw std::runtime_error("frame failed"); }
};

TEST(Render, FailedFrameReleasesReadLock) {
    const auto scene = std::make_shared<ValueScene>();
    Render render(std::make_shared<FailingFrame>(), scene);
    EXPECT_THROW(render.Update(0.0f), std::runtime_error);
    // A read lock left behind would make this throw here and block the logic's next publish.
    EXPECT_NO_THROW(scene->BeginRead());
    scene->EndRead();
}

}  // namespace
}  // namespace Quellon
