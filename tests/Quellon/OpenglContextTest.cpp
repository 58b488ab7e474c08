#include "Quellon/OpenglContext.h"

// GoogleTest before X11, whose macros (None among them) break its headers.
#include <gtest/gtest.h>

#include <GL/glew.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "OpenglTestWindow.h"
#include "Quellon/Exception.h"
#include "Quellon/Text.h"

namespace Quellon {
namespace {

using QuellonTest::OpenglTestWindow;

TEST(ContainsExtension, MatchesWholeNamesOnly) {
    EXPECT_TRUE(ContainsExtension("A  GLX_ARB_multisample  B", "GLX_ARB_multisample"));
    EXPECT_FALSE(ContainsExtension("GLX_ARB_multisample_extra", "GLX_ARB_multisample"));
    EXPECT_FALSE(ContainsExtension("XGLX_ARB_multisample", "GLX_ARB_multisample"));
    EXPECT_TRUE(
        ContainsExtension("aaa aa", "aa"));  // a rejected occurrence must not end the search
    EXPECT_FALSE(ContainsExtension("GLX_ARB_multisample", ""));
}

class OpenglContextTest : public ::testing::Test {
protected:
    // Smaller than the program's 800 x 600, so a GL window sized from anything else shows.
    OpenglTestWindow m_parent{320, 240};
};

// freeglut ends the process on a second glutInit, so the second context also proves the guard.
TEST_F(OpenglContextTest, FillsTheParentShowsTheClearedFrameAndReleasesEverything) {
    {
        OpenglContext context(m_parent.GetWindow(), m_parent.GetDisplayName());
        // The boids are closed meshes wound counter-clockwise.
        EXPECT_TRUE(glIsEnabled(GL_CULL_FACE) && glIsEnabled(GL_DEPTH_TEST));
        GLint frontFace = 0;
        glGetIntegerv(GL_FRONT_FACE, &frontFace);
        EXPECT_EQ(frontFace, GL_CCW);
        ASSERT_EQ(m_parent.GetChildren(), std::vector<Window>{context.GetWindow()});
        XWindowAttributes attributes = {};
        ASSERT_NE(XGetWindowAttributes(m_parent.GetDisplay(), context.GetWindow(), &attributes), 0);
        EXPECT_EQ(std::pair(attributes.width, attributes.height), std::pair(320, 240));
        EXPECT_EQ(attributes.map_state, IsViewable);
        // Over all clients: any selected input would take the mouse from the host's window.
        EXPECT_EQ(attributes.all_event_masks, 0);

        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        context.Present();
        XImage* image = XGetImage(m_parent.GetDisplay(), context.GetWindow(), 160, 120, 1, 1,
                                  AllPlanes, ZPixmap);
        ASSERT_NE(image, nullptr);
        // The clear colour (0.5, 0.5, 0.7) in the 24-bit TrueColor visual of the test server.
        const unsigned long pixel = XGetPixel(image, 0, 0);
        XDestroyImage(image);
        for (const auto& [shift, channel] : {std::pair{16, 128}, {8, 128}, {0, 179}}) {
            EXPECT_LE(std::labs(static_cast<long>((pixel >> shift) & 0xff) - channel), 1) << shift;
        }

        const OpenglContext second(m_parent.GetWindow(), "");
        EXPECT_TRUE(second.IsCurrent() && !context.IsCurrent());
        EXPECT_EQ(m_parent.GetChildren().size(), 2u);
        context.MakeCurrent();
        EXPECT_TRUE(context.IsCurrent());
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    }
    EXPECT_EQ(glXGetCurrentContext(), nullptr);
    EXPECT_TRUE(m_parent.GetChildren().empty());
}

TEST_F(OpenglContextTest, UnknownDisplayOrParentWindowFails) {
    // A window id that the test's connection created and destroyed again.
    const Window gone =
        XCreateSimpleWindow(m_parent.GetDisplay(), m_parent.GetWindow(), 0, 0, 1, 1, 0, 0, 0);
    XDestroyWindow(m_parent.GetDisplay(), gone);
    XSync(m_parent.GetDisplay(), False);
    const auto messageOf = [](Window window, const std::string& display) {
        try {
            OpenglContext context(window, display);
        } catch (const Exception& exception) {
            return WideToUtf8(exception.GetMessage());
        }
        return std::string("no exception");
    };
    EXPECT_EQ(messageOf(m_parent.GetWindow(), ":4711"),
              "Cannot open X display \":4711\" in OpenglContext::OpenglContext");
    const std::string message = messageOf(gone, m_parent.GetDisplayName());
    EXPECT_NE(message.find("BadWindow"), std::string::npos) << message;
    EXPECT_NE(message.find("XGetWindowAttributes"), std::string::npos) << message;
    EXPECT_EQ(glXGetCurrentContext(), nullptr);
}

// Mesa reads its overrides once per process, so each case runs in a process of its own.
struct MissingCapability {
    const char* variable;
    const char* value;
    const char* message;
};

using OpenglContextDeathTest = ::testing::TestWithParam<MissingCapability>;

[[noreturn]] void ConstructAndReport() {
    const OpenglTestWindow parent(320, 240);
    try {
        OpenglContext context(parent.GetWindow(), parent.GetDisplayName());
    } catch (const Exception& exception) {
        std::fprintf(stderr, "message: %s; GL windows left: %zu; context current: %s\n",
                     WideToUtf8(exception.GetMessage()).c_str(), parent.GetChildren().size(),
                     glXGetCurrentContext() != nullptr ? "yes" : "no");
        std::fflush(stderr);
        std::_Exit(0);
    }
    std::_Exit(1);
}

TEST_P(OpenglContextDeathTest, MissingCapabilityFailsAndReleasesEverything) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Set here, not in the child: Mesa may read it while the fresh process starts.
    const MissingCapability& capability = GetParam();
    ASSERT_EQ(setenv(capability.variable, capability.value, 1), 0);
    EXPECT_EXIT(ConstructAndReport(), ::testing::ExitedWithCode(0),
                std::string("message: ") + capability.message +
                    "; GL windows left: 0; context current: no");
    unsetenv(capability.variable);
}

INSTANTIATE_TEST_SUITE_P(
    Mesa, OpenglContextDeathTest,
    ::testing::Values(
        MissingCapability{"MESA_GL_VERSION_OVERRIDE", "2.0", "Opengl 2.1 required"},
        MissingCapability{"MESA_EXTENSION_OVERRIDE", "-GL_EXT_gpu_shader4",
                          "GLEW_EXT_gpu_shader4 not supported"},
        // Only the first missing one, in the order gpu_shader4, draw_instanced, texture_float.
        MissingCapability{"MESA_EXTENSION_OVERRIDE", "-GL_ARB_texture_float -GL_ARB_draw_instanced",
                          "ARB_draw_instanced not supported"},
        MissingCapability{"MESA_EXTENSION_OVERRIDE", "-GL_ARB_texture_float",
                          "ARB_texture_float not supported"}));

}  // namespace
}  // namespace Quellon
