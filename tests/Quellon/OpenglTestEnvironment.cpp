// GoogleTest before X11, whose macros (None among them) break its headers.
#include <gtest/gtest.h>

#include <GL/glx.h>
#include <X11/Xlib.h>

namespace {

// Mesa unloads its driver when the last display that uses it closes, and a few blocks that
// only the driver's globals still point to then count as leaked under LeakSanitizer, in every
// test that made a context. A connection with GLX set up, kept open for the whole process,
// keeps the driver loaded, so those blocks stay reachable; nothing of ours is hidden.
class KeepMesaDriverLoaded : public ::testing::Environment {
public:
    void SetUp() override {
        static Display* const display = XOpenDisplay(nullptr);
        if (display != nullptr) {
            int count = 0;
            XFree(glXGetFBConfigs(display, DefaultScreen(display), &count));
        }
    }
};

[[maybe_unused]] ::testing::Environment* const g_keepMesaDriverLoaded =
    ::testing::AddGlobalTestEnvironment(new KeepMesaDriverLoaded);

}  // namespace
