#include "Quellon/OpenglDriver.h"

// GoogleTest before X11, whose macros (None among them) break its headers.
#include <gtest/gtest.h>

#include <GL/glew.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "OpenglTestWindow.h"
#include "Quellon/Exception.h"
#include "Quellon/Matrix4.h"
#include "Quellon/OpenglError.h"
#include "Quellon/OpenglProgram.h"
#include "Quellon/OpenglTexture.h"

namespace Quellon {
namespace {

const ShaderFile kInstancedVertexShader{L"tests/data/glsl/instancedVertex.glsl", 0};
const ShaderFile kTintPixelShader{L"tests/data/glsl/tintPixel.glsl", 1};

std::wstring MessageOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const OpenglException& exception) {
        return L"<OpenglException " + exception.GetErrorText() + L" " +
               std::to_wstring(exception.GetErrorCode()) + L"," + exception.GetMessage() + L">";
    } catch (const Exception& exception) {
        return exception.GetMessage();
    }
    return L"<no exception>";
}

// One triangle around the origin, counter-clockwise seen by the camera, 0.2 wide and high; the
// test shader paints it pure green.
std::shared_ptr<Vertex[]> MakeTriangle() {
    return std::shared_ptr<Vertex[]>(new Vertex[3]{
        {{-0.1f, -0.1f, 0}, {0, 1, 0}}, {{0.1f, -0.1f, 0}, {0, -1, 0}}, {{0, 0.1f, 0}, {0, 1, 0}}});
}

std::shared_ptr<int[]> MakeTriangleIndices() {
    return std::shared_ptr<int[]>(new int[3]{0, 1, 2});
}

// The back buffer's pixel, where the frame is drawn before it is presented; true when within
// one step per channel of the colour (how 0.7 becomes a byte is the implementation's choice).
bool PixelIs(int x, int y, std::array<int, 3> colour) {
    std::array<GLubyte, 4> pixel = {};
    glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel.data());
    for (int i = 0; i < 3; ++i) {
        if (std::abs(pixel[i] - colour[i]) > 1) {
            return false;
        }
    }
    return true;
}

const std::array<int, 3> kBackground{128, 128, 179};  // the clear colour (0.5, 0.5, 0.7)
const std::array<int, 3> kGreen{0, 255, 0};

class OpenglDriverTest : public ::testing::Test {
protected:
    QuellonTest::OpenglTestWindow m_parent{800, 600};
    OpenglDriver m_driver{800, 600, m_parent.GetWindow(), m_parent.GetDisplayName()};
};

TEST_F(OpenglDriverTest, BufferIdsCountFromZeroPerTableAndFailedCreationsTakeNone) {
    EXPECT_EQ(m_driver.CreateVertexBuffer(3, MakeTriangle()), 0);
    EXPECT_EQ(m_driver.CreateVertexBuffer(3, MakeTriangleIndices()), 0);
    EXPECT_THROW(m_driver.CreateVertexBuffer(0, MakeTriangle()), Exception);
    EXPECT_THROW(m_driver.CreateVertexBuffer(3, std::shared_ptr<Vertex[]>()), Exception);
    EXPECT_THROW(m_driver.CreateVertexBuffer(0, MakeTriangleIndices()), Exception);
    EXPECT_THROW(m_driver.CreateVertexBuffer(3, std::shared_ptr<int[]>()), Exception);
    EXPECT_EQ(m_driver.CreateVertexBuffer(3, MakeTriangle()), 1);
    EXPECT_EQ(m_driver.CreateVertexBuffer(3, MakeTriangleIndices()), 1);
}

// A refused draw must throw rather than read past a table or through an empty pointer.
TEST_F(OpenglDriverTest, DrawRefusesUnknownBuffersAMissingProgramAndDeadTextures) {
    m_driver.CreateVertexBuffer(3, MakeTriangle());
    m_driver.CreateVertexBuffer(3, MakeTriangleIndices());
    EXPECT_THROW(m_driver.DrawIndexedPrimitive(0, 0, 1), Exception);  // no program yet
    m_driver.SetProgram(m_driver.CreateProgram({kInstancedVertexShader, kTintPixelShader}));
    for (const auto& [vertexBufferId, indexBufferId] :
         {std::pair{-1, 0}, std::pair{1, 0}, std::pair{0, -1}, std::pair{0, 1}}) {
        EXPECT_THROW(m_driver.DrawIndexedPrimitive(vertexBufferId, indexBufferId, 1), Exception)
            << vertexBufferId << ", " << indexBufferId;
    }
    m_driver.SetTexture(0, std::weak_ptr<OpenglTexture>());
    EXPECT_THROW(m_driver.DrawIndexedPrimitive(0, 0, 1), Exception);
}

TEST_F(OpenglDriverTest, CreateProgramReportsMissingInput) {
    EXPECT_THROW(m_driver.CreateProgram({}), Exception);
    EXPECT_EQ(
        MessageOf([&] {
            m_driver.CreateProgram({kInstancedVertexShader, {L"tests/data/glsl/missing.glsl", 1}});
        }),
        L"Shader file couldn't be loaded.");
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(OpenglDriverTest, CreateProgramReportsTheCompilerLog) {
    const std::wstring message = MessageOf([&] {
        m_driver.CreateProgram({{L"tests/data/glsl/syntaxError.glsl", 0}});
    });
    EXPECT_EQ(message.rfind(L"Compiling shader error: ", 0), 0u);
    EXPECT_NE(message.find(L"error", 24), std::wstring::npos) << "no compiler log";
}

// Read back from the program: the location, the use of the program and, for the matrix, the
// transposition of the row-major values. A name the program lacks would otherwise set location
// -1, which OpenGL ignores without an error.
TEST_F(OpenglDriverTest, UniformSettersReachTheProgramAndRejectUnknownNames) {
    const auto program = m_driver.CreateProgram({kInstancedVertexShader, kTintPixelShader}).lock();
    const GLuint name = program->GetProgram();
    const auto read = [name](const char* uniform, int count) {
        std::vector<GLfloat> values(16);
        glGetUniformfv(name, glGetUniformLocation(name, uniform), values.data());
        return std::vector<GLfloat>(values.begin(), values.begin() + count);
    };
    glUseProgram(0);
    program->SetUniform1f("scale", 2.5f);
    GLint current = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    EXPECT_EQ(static_cast<GLuint>(current), name);
    EXPECT_EQ(read("scale", 1), std::vector<GLfloat>{2.5f});
    program->SetUniform3f("tint", Vector3(0.25f, 0.5f, 0.75f));
    EXPECT_EQ(read("tint", 3), (std::vector<GLfloat>{0.25f, 0.5f, 0.75f}));
    Matrix4 matrix;
    matrix[3] = 7.0f;  // row 0, column 3
    matrix[4] = 2.0f;  // row 1, column 0
    program->SetUniformMatrix4("transform", matrix.m);
    EXPECT_EQ(read("transform", 16)[12], 7.0f);
    EXPECT_EQ(read("transform", 16)[1], 2.0f);
    program->SetUniform1i("offsets", 3);
    GLint unit = -1;
    glGetUniformiv(name, glGetUniformLocation(name, "offsets"), &unit);
    EXPECT_EQ(unit, 3);
    EXPECT_THROW(program->SetUniform1f("undeclared", 1.0f), Exception);
    EXPECT_THROW(program->SetUniform3f("undeclared", Vector3()), Exception);
    EXPECT_THROW(program->SetUniformMatrix4("undeclared", matrix.m), Exception);
    EXPECT_THROW(program->SetUniform1i("undeclared", 1), Exception);
}

// The flock texture: whole floats, fetched texel by texel and never wrapped around, half the
// largest size every implementation of interest accepts (llvmpipe among them).
TEST_F(OpenglDriverTest, FloatTextureIsUnfilteredAndSetDataReplacesTheLowerLeftTexels) {
    EXPECT_EQ(m_driver.GetFloatTextureSize(), 4096);
    std::shared_ptr<float[]> data(new float[24]);
    for (int i = 0; i < 24; ++i) {
        data[i] = static_cast<float>(i);
    }
    const auto texture = m_driver.CreateTexture(2, 4, 2, false, 4, data).lock();
    GLint value = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &value);
    EXPECT_EQ(value, GL_RGB32F_ARB);
    for (const GLenum parameter : {GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T, GL_TEXTURE_WRAP_R,
                                   GL_TEXTURE_MIN_FILTER, GL_TEXTURE_MAG_FILTER}) {
        glGetTexParameteriv(GL_TEXTURE_2D, parameter, &value);
        EXPECT_EQ(value, parameter == GL_TEXTURE_MIN_FILTER || parameter == GL_TEXTURE_MAG_FILTER
                             ? GL_NEAREST
                             : GL_CLAMP)
            << parameter;
    }
    for (int i = 0; i < 6; ++i) {
        data[i] = 100.0f + static_cast<float>(i);
    }
    texture->SetData(2, 1, data);
    std::vector<float> stored(24);
    glBindTexture(GL_TEXTURE_2D, texture->GetTexture());
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_FLOAT, stored.data());
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(stored[i], static_cast<float>(i) + (i < 6 ? 100.0f : 0.0f)) << "float " << i;
    }
    EXPECT_EQ(MessageOf([&] { texture->SetData(5, 1, data); }),
              L"<OpenglException GL_INVALID_VALUE 1281,>");
}

// Instance i at x offset -0.5 + 0.5 i (from the texture), all moved up by 0.25 through the
// row-major transform; their centres land on these window pixels.
const int kCentreY = 365;
const int kCentreX[3] = {200, 400, 600};

class OpenglDriverDrawTest : public OpenglDriverTest {
protected:
    void SetUp() override {
        std::shared_ptr<float[]> offsets(new float[12]{-0.5f, 0, 0, 0, 0, 0, 0.5f, 0, 0, 0, 0, 0});
        auto vertices = MakeTriangle();
        auto indices = MakeTriangleIndices();
        m_vertexBufferId = m_driver.CreateVertexBuffer(3, vertices);
        m_indexBufferId = m_driver.CreateVertexBuffer(3, indices);
        m_texture = m_driver.CreateTexture(2, 4, 1, false, 4, offsets);
        // The driver copied everything; nothing may still point into these.
        vertices.reset();
        indices.reset();
        offsets.reset();
        const auto program = m_driver.CreateProgram({kInstancedVertexShader, kTintPixelShader});
        m_driver.SetProgram(program);
        m_driver.SetTexture(0, m_texture);
        Matrix4 transform;
        transform[7] = 0.25f;  // row 1, column 3: up by 0.25
        program.lock()->SetUniformMatrix4("transform", transform.m);
        program.lock()->SetUniform1f("scale", 1.0f);
        program.lock()->SetUniform3f("tint", Vector3(1.0f, 1.0f, 1.0f));
        program.lock()->SetUniform1i("offsets", 0);
        glUseProgram(0);  // the draw must put the program back in use itself
    }

    int m_vertexBufferId = -1;
    int m_indexBufferId = -1;
    std::weak_ptr<OpenglTexture> m_texture;
};

TEST_F(OpenglDriverDrawTest, DrawsOneTrianglePerInstance) {
    for (const int instances : {0, 1, 3}) {  // 1 is the non-instanced call
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        m_driver.DrawIndexedPrimitive(m_vertexBufferId, m_indexBufferId, instances);
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(PixelIs(kCentreX[i], kCentreY, i < instances ? kGreen : kBackground))
                << instances << " instances, instance " << i;
        }
        EXPECT_TRUE(PixelIs(kCentreX[0], 300, kBackground));
    }
    EXPECT_NO_THROW(m_driver.Present());
}

TEST_F(OpenglDriverDrawTest, DrawBindsEachTextureToItsLastUnit) {
    const auto other = m_driver.CreateTexture(2, 1, 1, false, 4, nullptr);
    m_driver.SetTexture(2, m_texture);  // replaces unit 0
    m_driver.SetTexture(1, other);
    for (const GLenum unit : {GL_TEXTURE0, GL_TEXTURE1, GL_TEXTURE2}) {
        glActiveTexture(unit);
        glBindTexture(GL_TEXTURE_2D, 0);
    }
    m_driver.DrawIndexedPrimitive(m_vertexBufferId, m_indexBufferId, 1);
    const GLuint expected[3] = {0, other.lock()->GetTexture(), m_texture.lock()->GetTexture()};
    for (GLenum unit = 0; unit < 3; ++unit) {
        glActiveTexture(GL_TEXTURE0 + unit);
        GLint bound = -1;
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
        EXPECT_EQ(static_cast<GLuint>(bound), expected[unit]) << "unit " << unit;
    }
}

TEST_F(OpenglDriverTest, DrawStringWritesRedTextAndRestoresTheMatrices) {
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glScalef(2.0f, 3.0f, 4.0f);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(1.0f, 2.0f, 3.0f);
    std::array<GLfloat, 16> projection = {};
    std::array<GLfloat, 16> modelView = {};
    std::array<GLfloat, 16> after = {};
    glGetFloatv(GL_PROJECTION_MATRIX, projection.data());
    glGetFloatv(GL_MODELVIEW_MATRIX, modelView.data());
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    m_driver.DrawString({1.0f, 0.0f, 0.0f}, "Render elapsed time: 16.6667ms", 500, 20);
    glGetFloatv(GL_PROJECTION_MATRIX, after.data());
    EXPECT_EQ(after, projection);
    glGetFloatv(GL_MODELVIEW_MATRIX, after.data());
    EXPECT_EQ(after, modelView);
    GLint program = -1;
    glGetIntegerv(GL_CURRENT_PROGRAM, &program);
    EXPECT_EQ(program, 0);
    // 30 characters of 9 pixels from x = 500, reaching 15 pixels above the baseline.
    int red = 0;
    for (int x = 500; x < 770; ++x) {
        for (int y = 16; y < 36; ++y) {
            red += PixelIs(x, y, {255, 0, 0}) ? 1 : 0;
        }
    }
    EXPECT_GT(red, 100);
    EXPECT_TRUE(PixelIs(480, 25, kBackground));
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
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
        EXPECT_EQ(MessageOf(CheckGlError), L"<OpenglException " + name + L",>");
        EXPECT_NO_THROW(CheckGlError()) << "read twice";
    }
}

TEST(GetGlErrorName, NamesTheErrorsNoTestCanProvoke) {
    EXPECT_EQ(GetGlErrorName(0), L"GL_NO_ERROR");
    EXPECT_EQ(GetGlErrorName(0x0503), L"GL_STACK_OVERFLOW");
    EXPECT_EQ(GetGlErrorName(0x0505), L"GL_OUT_OF_MEMORY");
    EXPECT_EQ(GetGlErrorName(0x8031), L"GL_TABLE_TOO_LARGE");
    // GL_INVALID_FRAMEBUFFER_OPERATION has no name in the table.
    EXPECT_EQ(GetGlErrorName(0x0506), L"");
}

}  // namespace
}  // namespace Quellon
