// GoogleTest before X11, whose macros (None among them) break its headers.
#include <gtest/gtest.h>

#include <GL/glx.h>
#include <X11/Xlib.h>

namespace {

// Mesa unloads its driver when its last display closes, leaving blocks that only its globals
// held as leaks to LeakSanitizer; a GLX connection open for the whole process keeps them reachable.
class KeepMesaDriverLoaded : public ::testing::Environment {
public:
    void SetUp() override {
        static Display* const display = XOpenDisplay(nullptr);
        int count = 0;
        if (display != nullptr) {
            XFree(glXGetFBConfigs(display, DefaultScreen(display), &count));
        }
    }
};

[[maybe_unused]] ::testing::Environment* const g_keepMesaDriverLoaded =
    ::testing::AddGlobalTestEnvironment(new KeepMesaDriverLoaded);

}  // namespace
