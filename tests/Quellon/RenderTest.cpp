#include "Quellon/Render.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "Quellon/IRenderCallable.h"
#include "ValueScene.h"

namespace Quellon {
namespace {

class FailingFrame : public IRenderCallable {
public:
    void Init() override {}
    void PostInit() override {}
    void Update(float) override { throw std::runtime_error("frame failed"); }
};

TEST(Render, FailedFrameReleasesReadLock) {
    const auto scene = std::make_shared<QuellonTest::ValueScene>();
    Render render(std::make_shared<FailingFrame>(), scene);
    EXPECT_THROW(render.Update(0.0f), std::runtime_error);
    // A read lock left behind would make this throw here and block the logic's next publish.
    EXPECT_NO_THROW(scene->BeginRead());
    scene->EndRead();
}

}  // namespace
}  // namespace Quellon
