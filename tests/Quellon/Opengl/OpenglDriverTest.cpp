#include "Quellon/Opengl/OpenglDriver.h"

// GoogleTest before X11, whose macros (None among them) break its headers.
#include <gtest/gtest.h>

#include <GL/glew.h>

#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "OpenglTestWindow.h"
#include "Quellon/Exception.h"
#include "Quellon/Opengl/OpenglError.h"
#include "Quellon/Opengl/OpenglProgram.h"
#include "Quellon/Opengl/OpenglTexture.h"

namespace Quellon {
namespace {

using QuellonTest::MessageOf;

class OpenglDriverTest : public ::testing::Test {
protected:
    QuellonTest::OpenglTestWindow m_parent{800, 600};
    OpenglDriver m_driver{800, 600, m_parent.GetWindow(), m_parent.GetDisplayName()};
};

// A refused draw must throw rather than read past a table or through an empty pointer.
TEST_F(OpenglDriverTest, FailedCreationsTakeNoIdAndDrawRefusesWhatItCannotRead) {
    const std::shared_ptr<Vertex[]> vertices(new Vertex[3]());
    const std::shared_ptr<int[]> indices(new int[3]{0, 1, 2});
    EXPECT_THROW(m_driver.CreateVertexBuffer(0, vertices), Exception);
    EXPECT_THROW(m_driver.CreateVertexBuffer(3, std::shared_ptr<int[]>()), Exception);
    EXPECT_EQ(m_driver.CreateVertexBuffer(3, vertices), 0);
    EXPECT_EQ(m_driver.CreateVertexBuffer(3, indices), 0);
    EXPECT_THROW(m_driver.DrawIndexedPrimitive(0, 0, 1), Exception);  // no program yet
    const auto program =
        m_driver.CreateProgram({{L"glsl/vertexShader.glsl", 0}, {L"glsl/pixelShader.glsl", 1}});
    m_driver.SetProgram(program);
    // Location -1 of a name the program lacks would be ignored without an error.
    EXPECT_THROW(program.lock()->SetUniform1f("undeclared", 1.0f), Exception);
    for (const auto& [vertexId, indexId] : {std::pair{-1, 0}, {1, 0}, {0, -1}, {0, 1}}) {
        EXPECT_THROW(m_driver.DrawIndexedPrimitive(vertexId, indexId, 1), Exception) << vertexId;
    }
    m_driver.SetTexture(0, std::weak_ptr<OpenglTexture>());
    EXPECT_THROW(m_driver.DrawIndexedPrimitive(0, 0, 1), Exception);
}

TEST_F(OpenglDriverTest, CreateProgramReportsTheCompilerLog) {
    const std::wstring message = MessageOf([&] {
        m_driver.CreateProgram({{L"tests/data/glsl/syntaxError.glsl", 0}});
    });
    EXPECT_EQ(message.rfind(L"Compiling shader error: ", 0), 0u);
    EXPECT_NE(message.find(L"error", 24), std::wstring::npos) << "no compiler log";
}

// The flock texture: whole floats, fetched texel by texel and never wrapped around, half the
// largest size every implementation of interest accepts (llvmpipe among them).
TEST_F(OpenglDriverTest, FloatTextureIsUnfilteredAndSetDataReplacesTheLowerLeftTexels) {
    EXPECT_EQ(m_driver.GetFloatTextureSize(), 4096);
    std::shared_ptr<float[]> data(new float[24]);
    std::iota(data.get(), data.get() + 24, 0.0f);
    const auto texture = m_driver.CreateTexture(2, 4, 2, false, 4, data).lock();
    GLint value = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &value);
    EXPECT_EQ(value, GL_RGB32F_ARB);
    for (const auto& [parameter, expected] : {std::pair{GL_TEXTURE_WRAP_S, GL_CLAMP},
                                              {GL_TEXTURE_WRAP_T, GL_CLAMP},
                                              {GL_TEXTURE_WRAP_R, GL_CLAMP},
                                              {GL_TEXTURE_MIN_FILTER, GL_NEAREST},
                                              {GL_TEXTURE_MAG_FILTER, GL_NEAREST}}) {
        glGetTexParameteriv(GL_TEXTURE_2D, parameter, &value);
        EXPECT_EQ(value, expected) << parameter;
    }
    std::iota(data.get(), data.get() + 6, 100.0f);
    texture->SetData(2, 1, data);
    std::vector<float> stored(24);
    glBindTexture(GL_TEXTURE_2D, texture->GetTexture());
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_FLOAT, stored.data());
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(stored[i], static_cast<float>(i) + (i < 6 ? 100.0f : 0.0f)) << "float " << i;
    }
    EXPECT_EQ(MessageOf([&] { texture->SetData(5, 1, data); }), L"GL_INVALID_VALUE 1281,");
}

// Each row provokes one real OpenGL error, which is read once.
TEST_F(OpenglDriverTest, CheckGlErrorNamesTheFirstPendingError) {
    const std::vector<std::pair<std::function<void()>, std::wstring>> cases = {
        {[] { glEnable(0); }, L"GL_INVALID_ENUM 1280"},
        {[] { glGenBuffers(-1, nullptr); }, L"GL_INVALID_VALUE 1281"},
        {[] { glEnd(); }, L"GL_INVALID_OPERATION 1282"},
        {[] { glPopMatrix(); }, L"GL_STACK_UNDERFLOW 1284"},
    };
    ASSERT_NO_THROW(CheckGlError());
    for (const auto& [provoke, name] : cases) {
        provoke();
        EXPECT_EQ(MessageOf(CheckGlError), name + L",");
        EXPECT_NO_THROW(CheckGlError()) << "read twice";
    }
}

// A frame read after the window changed size (a move to a screen of another scale) is read at
// the new size, whole, through a resolve buffer of that size, larger or smaller than before.
TEST_F(OpenglDriverTest, ReadPixelsFollowsTheWindowItsFrameFills) {
    Display* const display = m_parent.GetDisplay();
    ::Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    XQueryTree(display, m_parent.GetWindow(), &root, &parent, &children, &count);
    ASSERT_EQ(count, 1u);
    const ::Window glWindow = children[0];
    XFree(children);
    const struct {
        int width, height;
        float red;
    } frames[] = {{800, 600, 1.0f}, {1000, 700, 0.0f}, {500, 400, 1.0f}};
    std::vector<unsigned char> pixels;
    for (const auto& frame : frames) {
        SCOPED_TRACE(std::to_string(frame.width) + " x " + std::to_string(frame.height));
        XResizeWindow(display, m_parent.GetWindow(), frame.width, frame.height);
        XResizeWindow(display, glWindow, frame.width, frame.height);
        XSync(display, False);
        m_driver.Present();  // Mesa sizes its buffers anew after a swap
        glClearColor(frame.red, 1.0f, 0.0f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
        std::pair<int, int> size;
        ASSERT_EQ(MessageOf([&] { size = m_driver.ReadPixels(pixels); }), L"<no exception>");
        EXPECT_EQ(size, std::make_pair(frame.width, frame.height));
        ASSERT_EQ(pixels.size(), std::size_t{4} * frame.width * frame.height);
        std::size_t other = 0;
        for (std::size_t i = 0; i < pixels.size(); i += 4) {
            other += pixels[i] != (frame.red > 0 ? 255 : 0) || pixels[i + 1] != 255 ||
                     pixels[i + 2] != 0;
        }
        EXPECT_EQ(other, 0u) << "pixels not of the frame, of " << pixels.size() / 4;
    }
    EXPECT_GT(m_driver.GetSamples(), 0) << "only the read without a resolve was checked";
}

TEST(GetGlErrorName, NamesTheErrorsNoTestCanProvoke) {
    EXPECT_EQ(GetGlErrorName(0), L"GL_NO_ERROR");
    EXPECT_EQ(GetGlErrorName(0x0503), L"GL_STACK_OVERFLOW");
    EXPECT_EQ(GetGlErrorName(0x0505), L"GL_OUT_OF_MEMORY");
    EXPECT_EQ(GetGlErrorName(0x8031), L"GL_TABLE_TOO_LARGE");
    EXPECT_EQ(GetGlErrorName(0x0506), L"");  // GL_INVALID_FRAMEBUFFER_OPERATION has no name
}

}  // namespace
}  // namespace Quellon
