#include "Quellon/Opengl/OpenglContext.h"

// GoogleTest before X11, whose macros (None among them) break its headers.
#include <gtest/gtest.h>

#include <GL/glew.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "OpenglTestWindow.h"
#include "Quellon/Exception.h"
#include "Quellon/Text.h"

namespace Quellon {
namespace {

using QuellonTest::MessageOf;
using QuellonTest::OpenglTestWindow;

TEST(ContainsExtension, MatchesWholeNamesOnly) {
    EXPECT_TRUE(ContainsExtension("A  GLX_ARB_multisample  B", "GLX_ARB_multisample"));
    EXPECT_FALSE(ContainsExtension("GLX_ARB_multisample_extra", "GLX_ARB_multisample"));
    EXPECT_FALSE(ContainsExtension("XGLX_ARB_multisample", "GLX_ARB_multisample"));
    EXPECT_TRUE(ContainsExtension("aaa aa", "aa"));  // a rejected match must not end the search
    EXPECT_FALSE(ContainsExtension("GLX_ARB_multisample", ""));
}

// Smaller than the program's 800 x 600, so a GL window sized from anything else shows. freeglut
// ends the process on a second glutInit, so the second context also proves the guard.
TEST(OpenglContextTest, FillsTheParentShowsTheClearedFrameAndReleasesEverything) {
    const OpenglTestWindow parent(320, 240);
    {
        OpenglContext context(parent.GetWindow(), parent.GetDisplayName());
        // The boids are closed meshes wound counter-clockwise.
        GLint frontFace = 0;
        glGetIntegerv(GL_FRONT_FACE, &frontFace);
        EXPECT_TRUE(glIsEnabled(GL_CULL_FACE) && glIsEnabled(GL_DEPTH_TEST) && frontFace == GL_CCW);
        XWindowAttributes attributes = {};
        ASSERT_NE(XGetWindowAttributes(parent.GetDisplay(), context.GetWindow(), &attributes), 0);
        EXPECT_EQ(std::pair(attributes.width, attributes.height), std::pair(320, 240));
        EXPECT_EQ(attributes.map_state, IsViewable);
        // Over all clients: any selected input would take the mouse from the host's window.
        EXPECT_EQ(attributes.all_event_masks, 0);
        EXPECT_EQ(parent.CountChildren(), 1u);

        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        context.Present();
        XImage* image =
            XGetImage(parent.GetDisplay(), context.GetWindow(), 160, 120, 1, 1, AllPlanes, ZPixmap);
        ASSERT_NE(image, nullptr);
        // The clear colour (0.5, 0.5, 0.7) in the 24-bit TrueColor visual of the test server.
        const unsigned long pixel = XGetPixel(image, 0, 0);
        XDestroyImage(image);
        for (const auto& [shift, channel] : {std::pair{16, 128}, {8, 128}, {0, 179}}) {
            EXPECT_LE(std::labs(static_cast<long>((pixel >> shift) & 0xff) - channel), 1) << shift;
        }

        const OpenglContext second(parent.GetWindow(), "");
        EXPECT_TRUE(second.IsCurrent() && !context.IsCurrent());
        context.MakeCurrent();
        EXPECT_TRUE(context.IsCurrent());
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    }
    EXPECT_EQ(glXGetCurrentContext(), nullptr);
    EXPECT_EQ(parent.CountChildren(), 0u);
}

TEST(OpenglContextTest, UnknownDisplayOrParentWindowFails) {
    const OpenglTestWindow parent(320, 240);
    // A window id that the test's connection created and destroyed again.
    const Window gone =
        XCreateSimpleWindow(parent.GetDisplay(), parent.GetWindow(), 0, 0, 1, 1, 0, 0, 0);
    XDestroyWindow(parent.GetDisplay(), gone);
    XSync(parent.GetDisplay(), False);
    EXPECT_EQ(MessageOf([&] { OpenglContext context(parent.GetWindow(), ":4711"); }),
              L"Cannot open X display \":4711\" in OpenglContext::OpenglContext");
    const std::wstring message =
        MessageOf([&] { OpenglContext context(gone, parent.GetDisplayName()); });
    EXPECT_NE(message.find(L"BadWindow"), std::wstring::npos) << WideToUtf8(message);
    EXPECT_NE(message.find(L"XGetWindowAttributes"), std::wstring::npos) << WideToUtf8(message);
    EXPECT_EQ(glXGetCurrentContext(), nullptr);
}

// Mesa reads its overrides once per process, so each case runs in a process of its own.
using OpenglContextDeathTest = ::testing::TestWithParam<std::array<const char*, 3>>;

TEST_P(OpenglContextDeathTest, MissingCapabilityFailsAndReleasesEverything) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto [variable, value, expected] = GetParam();
    // Set here, not in the child: Mesa may read it while the fresh process starts.
    ASSERT_EQ(setenv(variable, value, 1), 0);
    const auto constructAndReport = [] {
        const OpenglTestWindow parent(320, 240);
        const std::wstring message =
            MessageOf([&] { OpenglContext context(parent.GetWindow(), parent.GetDisplayName()); });
        std::fprintf(stderr, "message: %ls; GL windows left: %zu; context current: %s\n",
                     message.c_str(), parent.CountChildren(),
                     glXGetCurrentContext() != nullptr ? "yes" : "no");
        std::fflush(stderr);
        std::_Exit(0);
    };
    EXPECT_EXIT(constructAndReport(), ::testing::ExitedWithCode(0),
                std::string("message: ") + expected + "; GL windows left: 0; context current: no");
    unsetenv(variable);
}

INSTANTIATE_TEST_SUITE_P(
    Mesa, OpenglContextDeathTest,
    ::testing::Values(
        std::array{"MESA_GL_VERSION_OVERRIDE", "2.0", "Opengl 2.1 required"},
        std::array{"MESA_EXTENSION_OVERRIDE", "-GL_EXT_gpu_shader4",
                   "GLEW_EXT_gpu_shader4 not supported"},
        // Only the first missing one, in the order gpu_shader4, draw_instanced, texture_float.
        std::array{"MESA_EXTENSION_OVERRIDE", "-GL_ARB_texture_float -GL_ARB_draw_instanced",
                   "ARB_draw_instanced not supported"},
        std::array{"MESA_EXTENSION_OVERRIDE", "-GL_ARB_texture_float",
                   "ARB_texture_float not supported"}));

}  // namespace
}  // namespace Quellon
