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

TEST_F(OpenglDriverTest, CreateVertexBufferRejectsMissingData) {
    struct Case {
        bool indexForm;
        unsigned int count;
        bool withData;
        const wchar_t* message;
    };
    const Case cases[] = {
        {false, 0, false,
         L"Invalid parameter: verticesCount == 0 in OpenglDriver::CreateVertexBuffer"},
        {false, 0, true,
         L"Invalid parameter: verticesCount == 0 in OpenglDriver::CreateVertexBuffer"},
        {false, 3, false, L"Invalid parameter: !vertices in OpenglDriver::CreateVertexBuffer"},
        {true, 0, false,
         L"Invalid parameter: indicesCount == 0 in OpenglDriver::CreateVertexBuffer"},
        {true, 0, true,
         L"Invalid parameter: indicesCount == 0 in OpenglDriver::CreateVertexBuffer"},
        {true, 3, false, L"Invalid parameter: !indices in OpenglDriver::CreateVertexBuffer"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MessageOf([&] {
                      if (c.indexForm) {
                          m_driver.CreateVertexBuffer(c.count,
                                                      c.withData ? MakeTriangleIndices() : nullptr);
                      } else {
                          m_driver.CreateVertexBuffer(c.count,
                                                      c.withData ? MakeTriangle() : nullptr);
                      }
                  }),
                  c.message);
    }
}

TEST_F(OpenglDriverTest, BufferIdsCountFromZeroPerTable) {
    EXPECT_EQ(m_driver.CreateVertexBuffer(3, MakeTriangle()), 0);
    EXPECT_EQ(m_driver.CreateVertexBuffer(3, MakeTriangleIndices()), 0);
    // A failed creation takes no id.
    EXPECT_ANY_THROW(m_driver.CreateVertexBuffer(3, std::shared_ptr<Vertex[]>()));
    EXPECT_EQ(m_driver.CreateVertexBuffer(3, MakeTriangle()), 1);
    EXPECT_EQ(m_driver.CreateVertexBuffer(3, MakeTriangleIndices()), 1);
    EXPECT_EQ(m_driver.CreateVertexBuffer(3, MakeTriangleIndices()), 2);
}

TEST_F(OpenglDriverTest, DrawRejectsUnknownBufferIds) {
    m_driver.CreateVertexBuffer(3, MakeTriangle());
    m_driver.CreateVertexBuffer(3, MakeTriangleIndices());
    m_driver.SetProgram(m_driver.CreateProgram({kInstancedVertexShader, kTintPixelShader}));
    const std::wstring vertexMessage =
        L"Invalid Parameter: vertexBufferId < 0 || vertexBufferId > m_vertexBuffers.size() in "
        L"OpenglDriver::DrawIndexedPrimitive";
    const std::wstring indexMessage =
        L"Invalid Parameter: indexBufferId < 0 || indexBufferId > m_indexBuffers.size() in "
        L"OpenglDriver::DrawIndexedPrimitive";
    struct Case {
        int vertexBufferId;
        int indexBufferId;
        const std::wstring& message;
    };
    const Case cases[] = {
        {-1, 0, vertexMessage},  {1, 0, vertexMessage}, {1, 7, vertexMessage},
        {-1, -1, vertexMessage}, {0, -1, indexMessage}, {0, 1, indexMessage},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(
            MessageOf([&] { m_driver.DrawIndexedPrimitive(c.vertexBufferId, c.indexBufferId, 1); }),
            c.message)
            << c.vertexBufferId << ", " << c.indexBufferId;
    }
}

TEST_F(OpenglDriverTest, DrawNeedsAProgramAndLiveTextures) {
    m_driver.CreateVertexBuffer(3, MakeTriangle());
    m_driver.CreateVertexBuffer(3, MakeTriangleIndices());
    EXPECT_EQ(MessageOf([&] { m_driver.DrawIndexedPrimitive(0, 0, 1); }),
              L"Invalid state: no current program in OpenglDriver::DrawIndexedPrimitive");

    m_driver.SetProgram(m_driver.CreateProgram({kInstancedVertexShader, kTintPixelShader}));
    m_driver.SetTexture(0, std::weak_ptr<OpenglTexture>());
    EXPECT_EQ(MessageOf([&] { m_driver.DrawIndexedPrimitive(0, 0, 1); }),
              L"Invalid state: a texture given to SetTexture no longer exists in "
              L"OpenglDriver::DrawIndexedPrimitive");
}

TEST_F(OpenglDriverTest, CreateProgramReportsMissingInput) {
    const ShaderFile missing{L"tests/data/glsl/missing.glsl", 1};
    EXPECT_EQ(MessageOf([&] { m_driver.CreateProgram({}); }),
              L"Invalid parameter: !shaders.size() OpenglDriver::CreateProgram");
    EXPECT_EQ(MessageOf([&] { m_driver.CreateProgram({missing}); }),
              L"Shader file couldn't be loaded.");
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
// of the program and, for the matrix, the transposition of the row-major values.
TEST_F(OpenglDriverTest, UniformSettersReachTheProgram) {
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
}

TEST_F(OpenglDriverTest, UniformSettersRejectUnknownNames) {
    const auto program = m_driver.CreateProgram({kInstancedVertexShader, kTintPixelShader}).lock();
    ASSERT_TRUE(program);
    const float matrix[16] = {};
    const std::vector<std::function<void()>> setters = {
        [&] { program->SetUniform1f("undeclared", 1.0f); },
        [&] { program->SetUniform3f("undeclared", Vector3()); },
        [&] { program->SetUniformMatrix4("undeclared", matrix); },
        [&] { program->SetUniform1i("undeclared", 1); },
    };
    for (std::size_t i = 0; i < setters.size(); ++i) {
        EXPECT_EQ(MessageOf(setters[i]), L"") << "setter " << i;
    }
}

TEST_F(OpenglDriverTest, CreateTextureSetsFormatsWrapAndFilter) {
    struct Case {
        int type;
        int wrap;
        bool linear;
        GLenum format;
        GLint internalFormat;
        GLint wrapMode;
        GLint filter;
    };
    const Case cases[] = {
        {0, 0, true, GL_RED, GL_RED, GL_REPEAT, GL_LINEAR},
        {1, 1, false, GL_RGB, GL_RGB, GL_MIRRORED_REPEAT, GL_NEAREST},
        {2, 4, false, GL_RGB, GL_RGB32F_ARB, GL_CLAMP, GL_NEAREST},  // the flock texture
        {3, 2, false, GL_RGBA, GL_RGBA, GL_CLAMP_TO_EDGE, GL_NEAREST},
        {4, 3, true, GL_RGBA, GL_RGBA32F_ARB, GL_CLAMP_TO_EDGE, GL_LINEAR},
        {5, 5, false, GL_RGB, 3, GL_REPEAT, GL_NEAREST},
        {-1, -1, false, GL_RGB, 3, GL_REPEAT, GL_NEAREST},
    };
    for (const Case& c : cases) {
        const auto texture = m_driver.CreateTexture(c.type, 4, 2, c.linear, c.wrap, nullptr).lock();
        ASSERT_TRUE(texture);
        EXPECT_EQ(texture->GetTarget(), static_cast<unsigned int>(GL_TEXTURE_2D));
        EXPECT_EQ(texture->GetFormat(), c.format) << "type " << c.type;
        EXPECT_EQ(texture->GetInternalFormat(), c.internalFormat) << "type " << c.type;
        // Read back from the texture left bound by the creation.
        GLint value = 0;
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &value);
        EXPECT_EQ(value, c.internalFormat) << "type " << c.type;
        for (const GLenum parameter : {GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T, GL_TEXTURE_WRAP_R}) {
            glGetTexParameteriv(GL_TEXTURE_2D, parameter, &value);
            EXPECT_EQ(value, c.wrapMode) << "wrap " << c.wrap << ", parameter " << parameter;
        }
        for (const GLenum parameter : {GL_TEXTURE_MIN_FILTER, GL_TEXTURE_MAG_FILTER}) {
            glGetTexParameteriv(GL_TEXTURE_2D, parameter, &value);
            EXPECT_EQ(value, c.filter) << "linear " << c.linear << ", parameter " << parameter;
        }
    }
}

TEST_F(OpenglDriverTest, SetDataReplacesTheLowerLeftTexels) {
    std::shared_ptr<float[]> initial(new float[24]);
    for (int i = 0; i < 24; ++i) {
        initial[i] = static_cast<float>(i);
    }
    const auto texture = m_driver.CreateTexture(2, 4, 2, false, 4, initial).lock();
    ASSERT_TRUE(texture);
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
        {2, {true, true, false}},
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
        // GL_INVALID_FRAMEBUFFER_OPERATION (0x0506) has no name in the table.
        {[] {
             GLuint framebuffer = 0;
             glGenFramebuffers(1, &framebuffer);
             glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
             glClear(GL_COLOR_BUFFER_BIT);
             glBindFramebuffer(GL_FRAMEBUFFER, 0);
             glDeleteFramebuffers(1, &framebuffer);
         },
         0x0506, L""},
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
    EXPECT_EQ(GetGlErrorName(0x0507), L"");
    EXPECT_EQ(GetGlErrorName(1), L"");
}

}  // namespace
}  // namespace Quellon
