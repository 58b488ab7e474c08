#include "Quellon/OpenglDriver.h"

// GoogleTest before X11, whose macros (None among them) break its headers.
#include <gtest/gtest.h>

#include <GL/glew.h>

#include <array>
#include <cstdlib>
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

using QuellonTest::OpenglTestWindow;

const ShaderFile kInstancedVertexShader{L"tests/data/glsl/instancedVertex.glsl", 0};
const ShaderFile kTintPixelShader{L"tests/data/glsl/tintPixel.glsl", 1};

std::wstring MessageOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const OpenglException& exception) {
        return L"<OpenglException " + exception.GetErrorText() + L">";
    } catch (const Exception& exception) {
        return exception.GetMessage();
    }
    return L"<no exception>";
}

// One triangle around the origin, counter-clockwise as seen by the camera, 0.2 wide and high;
// every normal points along +y, so the test shader paints it pure green.
std::shared_ptr<Vertex[]> MakeTriangle() {
    std::shared_ptr<Vertex[]> vertices(new Vertex[3]);
    vertices[0] = {{-0.1f, -0.1f, 0.0f}, {0.0f, 1.0f, 0.0f}};
    vertices[1] = {{0.1f, -0.1f, 0.0f}, {0.0f, -1.0f, 0.0f}};
    vertices[2] = {{0.0f, 0.1f, 0.0f}, {0.0f, 1.0f, 0.0f}};
    return vertices;
}

std::shared_ptr<int[]> MakeTriangleIndices() {
    std::shared_ptr<int[]> indices(new int[3]);
    indices[0] = 0;
    indices[1] = 1;
    indices[2] = 2;
    return indices;
}

struct Rgb {
    int red;
    int green;
    int blue;
};

// Channels within one step of each other: how 0.7 becomes a byte is the implementation's
// choice.
bool Near(const Rgb& actual, const Rgb& expected) {
    return std::abs(actual.red - expected.red) <= 1 &&
           std::abs(actual.green - expected.green) <= 1 &&
           std::abs(actual.blue - expected.blue) <= 1;
}

std::ostream& operator<<(std::ostream& stream, const Rgb& colour) {
    return stream << '(' << colour.red << ", " << colour.green << ", " << colour.blue << ')';
}

// Reads the back buffer, where the frame is drawn before it is presented.
Rgb ReadPixel(int x, int y) {
    std::array<GLubyte, 4> pixel = {};
    glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel.data());
    return {pixel[0], pixel[1], pixel[2]};
}

const Rgb kBackground{128, 128, 179};  // the clear colour (0.5, 0.5, 0.7)
const Rgb kGreen{0, 255, 0};

class OpenglDriverTest : public ::testing::Test {
protected:
    OpenglTestWindow m_parent{800, 600};
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
    EXPECT_EQ(m_driver.CreateVertexBuffer(3, MakeTriangleIndices()), 2);
}

// A refused draw must throw rather than read past a table or through an empty pointer.
TEST_F(OpenglDriverTest, DrawRefusesUnknownBuffersAMissingProgramAndDeadTextures) {
    m_driver.CreateVertexBuffer(3, MakeTriangle());
    m_driver.CreateVertexBuffer(3, MakeTriangleIndices());
    EXPECT_THROW(m_driver.DrawIndexedPrimitive(0, 0, 1), Exception);  // no program yet
    m_driver.SetProgram(m_driver.CreateProgram({kInstancedVertexShader, kTintPixelShader}));
    // Negative ids and ids one past the end, of either table.
    for (const auto& [vertexBufferId, indexBufferId] :
         {std::pair{-1, 0}, std::pair{1, 0}, std::pair{0, -1}, std::pair{0, 1}}) {
        EXPECT_THROW(m_driver.DrawIndexedPrimitive(vertexBufferId, indexBufferId, 1), Exception)
            << vertexBufferId << ", " << indexBufferId;
    }
    m_driver.SetTexture(0, std::weak_ptr<OpenglTexture>());
    EXPECT_THROW(m_driver.DrawIndexedPrimitive(0, 0, 1), Exception);
}

TEST_F(OpenglDriverTest, CreateProgramReportsMissingInput) {
    const ShaderFile missing{L"tests/data/glsl/missing.glsl", 1};
    EXPECT_THROW(m_driver.CreateProgram({}), Exception);
    EXPECT_EQ(MessageOf([&] {
                  m_driver.CreateProgram({kInstancedVertexShader, missing});
              }),
              L"Shader file couldn't be loaded.");
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(OpenglDriverTest, CreateProgramReportsTheCompilerLog) {
    const std::wstring prefix = L"Compiling shader error: ";
    const std::wstring message = MessageOf([&] {
        m_driver.CreateProgram({{L"tests/data/glsl/syntaxError.glsl", 0}});
    });
    ASSERT_EQ(message.substr(0, prefix.size()), prefix);
    EXPECT_NE(message.find(L"error", prefix.size()), std::wstring::npos)
        << "no compiler log in: " << std::string(message.begin(), message.end());
}

// Setting each uniform kind and reading it back from the program proves the location, the use
// of the program and, for the matrix, the transposition of the row-major values. A name the
// program lacks would otherwise set location -1, which OpenGL ignores without an error.
TEST_F(OpenglDriverTest, UniformSettersReachTheProgramAndRejectUnknownNames) {
    const auto program = m_driver.CreateProgram({kInstancedVertexShader, kTintPixelShader}).lock();
    ASSERT_TRUE(program);
    const GLuint name = program->GetProgram();
    const auto readFloats = [name](const char* uniform, int count) {
        std::vector<GLfloat> values(16);
        glGetUniformfv(name, glGetUniformLocation(name, uniform), values.data());
        values.resize(count);
        return values;
    };

    glUseProgram(0);
    program->SetUniform1f("scale", 2.5f);
    GLint current = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    EXPECT_EQ(static_cast<GLuint>(current), name);
    EXPECT_EQ(readFloats("scale", 1), std::vector<GLfloat>{2.5f});

    program->SetUniform3f("tint", Vector3(0.25f, 0.5f, 0.75f));
    EXPECT_EQ(readFloats("tint", 3), (std::vector<GLfloat>{0.25f, 0.5f, 0.75f}));

    Matrix4 translation;
    translation[3] = 7.0f;  // row 0, column 3
    translation[4] = 2.0f;  // row 1, column 0
    program->SetUniformMatrix4("transform", translation.m);
    const std::vector<GLfloat> columns = readFloats("transform", 16);
    EXPECT_EQ(columns[12], 7.0f);  // column 3, row 0
    EXPECT_EQ(columns[1], 2.0f);   // column 0, row 1

    program->SetUniform1i("offsets", 3);
    GLint unit = -1;
    glGetUniformiv(name, glGetUniformLocation(name, "offsets"), &unit);
    EXPECT_EQ(unit, 3);

    EXPECT_THROW(program->SetUniform1f("undeclared", 1.0f), Exception);
    EXPECT_THROW(program->SetUniform3f("undeclared", Vector3()), Exception);
    EXPECT_THROW(program->SetUniformMatrix4("undeclared", translation.m), Exception);
    EXPECT_THROW(program->SetUniform1i("undeclared", 1), Exception);
}

// The flock texture: whole floats, fetched texel by texel and never wrapped around.
TEST_F(OpenglDriverTest, FloatTextureIsUnfilteredAndSetDataReplacesTheLowerLeftTexels) {
    std::shared_ptr<float[]> initial(new float[24]);
    for (int i = 0; i < 24; ++i) {
        initial[i] = static_cast<float>(i);
    }
    const auto texture = m_driver.CreateTexture(2, 4, 2, false, 4, initial).lock();
    ASSERT_TRUE(texture);
    // Read back from the texture left bound by the creation.
    GLint value = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &value);
    EXPECT_EQ(value, GL_RGB32F_ARB);
    for (const GLenum parameter : {GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T, GL_TEXTURE_WRAP_R}) {
        glGetTexParameteriv(GL_TEXTURE_2D, parameter, &value);
        EXPECT_EQ(value, GL_CLAMP) << "parameter " << parameter;
    }
    for (const GLenum parameter : {GL_TEXTURE_MIN_FILTER, GL_TEXTURE_MAG_FILTER}) {
        glGetTexParameteriv(GL_TEXTURE_2D, parameter, &value);
        EXPECT_EQ(value, GL_NEAREST) << "parameter " << parameter;
    }

    std::shared_ptr<float[]> update(new float[24]());
    for (int i = 0; i < 6; ++i) {
        update[i] = 100.0f + static_cast<float>(i);
    }
    texture->SetData(2, 1, update);
    std::vector<float> stored(24);
    glBindTexture(GL_TEXTURE_2D, texture->GetTexture());
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_FLOAT, stored.data());
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(stored[i], i < 6 ? 100.0f + static_cast<float>(i) : static_cast<float>(i))
            << "float " << i;
    }
    EXPECT_EQ(MessageOf([&] { texture->SetData(5, 1, update); }),
              L"<OpenglException GL_INVALID_VALUE>");
}

TEST_F(OpenglDriverTest, FloatTextureSizeIsHalfTheLargestAccepted) {
    // Every implementation of interest accepts 8192 x 8192 (llvmpipe among them); 16384 is
    // never tried.
    EXPECT_EQ(m_driver.GetFloatTextureSize(), 4096);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

// The picture: instance i at x offset -0.5 + 0.5 i, all moved up by 0.25 through the
// row-major transform. Their centres land on these window pixels.
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

        m_program = m_driver.CreateProgram({kInstancedVertexShader, kTintPixelShader});
        m_driver.SetProgram(m_program);
        m_driver.SetTexture(0, m_texture);
        const auto program = m_program.lock();
        Matrix4 transform;
        transform[7] = 0.25f;  // row 1, column 3: up by 0.25
        program->SetUniformMatrix4("transform", transform.m);
        program->SetUniform1f("scale", 1.0f);
        program->SetUniform3f("tint", Vector3(1.0f, 1.0f, 1.0f));
        program->SetUniform1i("offsets", 0);
        // The draw must put the program back in use itself.
        glUseProgram(0);
    }

    int m_vertexBufferId = -1;
    int m_indexBufferId = -1;
    std::weak_ptr<OpenglProgram> m_program;
    std::weak_ptr<OpenglTexture> m_texture;
};

TEST_F(OpenglDriverDrawTest, DrawsOneTrianglePerInstance) {
    struct Case {
        int instances;
        std::array<bool, 3> drawn;
    };
    const Case cases[] = {
        {0, {false, false, false}},
        {1, {true, false, false}},  // the non-instanced call
        {3, {true, true, true}},
    };
    for (const Case& c : cases) {
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        m_driver.DrawIndexedPrimitive(m_vertexBufferId, m_indexBufferId, c.instances);
        for (int i = 0; i < 3; ++i) {
            EXPECT_PRED2(Near, ReadPixel(kCentreX[i], kCentreY), c.drawn[i] ? kGreen : kBackground)
                << c.instances << " instances, instance " << i;
        }
        // Below the translated triangles nothing is drawn.
        EXPECT_PRED2(Near, ReadPixel(kCentreX[0], 300), kBackground);
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
    glGetFloatv(GL_PROJECTION_MATRIX, projection.data());
    glGetFloatv(GL_MODELVIEW_MATRIX, modelView.data());
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

    m_driver.DrawString({1.0f, 0.0f, 0.0f}, "Render elapsed time: 16.6667ms", 500, 20);

    std::array<GLfloat, 16> after = {};
    glGetFloatv(GL_PROJECTION_MATRIX, after.data());
    EXPECT_EQ(after, projection);
    glGetFloatv(GL_MODELVIEW_MATRIX, after.data());
    EXPECT_EQ(after, modelView);
    GLint program = -1;
    glGetIntegerv(GL_CURRENT_PROGRAM, &program);
    EXPECT_EQ(program, 0);

    // 30 characters of 9 pixels from x = 500; the glyphs reach from below the baseline to
    // 15 pixels above it.
    std::vector<GLubyte> pixels(270 * 20 * 4);
    glReadPixels(500, 16, 270, 20, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    int red = 0;
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        if (Near(Rgb{pixels[i], pixels[i + 1], pixels[i + 2]}, Rgb{255, 0, 0})) {
            ++red;
        }
    }
    EXPECT_GT(red, 100);
    // Left of the text nothing is drawn.
    EXPECT_PRED2(Near, ReadPixel(480, 25), kBackground);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

// Each row provokes one real OpenGL error.
TEST_F(OpenglDriverTest, CheckGlErrorNamesTheFirstPendingError) {
    struct Case {
        std::function<void()> provoke;
        unsigned int code;
        std::wstring name;
    };
    const std::vector<Case> cases = {
        {[] { glEnable(0); }, GL_INVALID_ENUM, L"GL_INVALID_ENUM"},
        {[] { glGenBuffers(-1, nullptr); }, GL_INVALID_VALUE, L"GL_INVALID_VALUE"},
        {[] { glEnd(); }, GL_INVALID_OPERATION, L"GL_INVALID_OPERATION"},
        {[] { glPopMatrix(); }, GL_STACK_UNDERFLOW, L"GL_STACK_UNDERFLOW"},
    };
    ASSERT_NO_THROW(CheckGlError());
    for (const Case& c : cases) {
        c.provoke();
        try {
            CheckGlError();
            ADD_FAILURE() << "no exception for error " << c.code;
        } catch (const OpenglException& exception) {
            EXPECT_EQ(exception.GetErrorCode(), c.code);
            EXPECT_EQ(exception.GetErrorText(), c.name);
            EXPECT_EQ(exception.GetMessage(), L"");
        }
        EXPECT_NO_THROW(CheckGlError()) << "error " << c.code << " was read twice";
    }
}

TEST(GetGlErrorName, NamesTheErrorsNoTestCanProvoke) {
    EXPECT_EQ(GetGlErrorName(0), L"GL_NO_ERROR");
    EXPECT_EQ(GetGlErrorName(0x0503), L"GL_STACK_OVERFLOW");
    EXPECT_EQ(GetGlErrorName(0x0505), L"GL_OUT_OF_MEMORY");
    EXPECT_EQ(GetGlErrorName(0x8031), L"GL_TABLE_TOO_LARGE");
    // GL_INVALID_FRAMEBUFFER_OPERATION has no name in the table.
    EXPECT_EQ(GetGlErrorName(0x0506), L"");
    EXPECT_EQ(GetGlErrorName(1), L"");
}

}  // namespace
}  // namespace Quellon
