#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/noncopyable.hpp>

#include "Quellon/Matrix4.h"
#include "Quellon/Opengl/OpenglContext.h"
#include "Quellon/Opengl/OpenglShader.h"
#include "Quellon/Vertex.h"

namespace Quellon {

class OpenglProgram;
class OpenglTexture;
class OpenglVertexBuffer;
template <typename Index>
class OpenglIndexBuffer;

// Colour of bitmap text, each channel from 0 to 1.
struct OpenglColor {
    float red = 0.0f;
    float green = 0.0f;
    float blue = 0.0f;
};

// A corner of an overlay's line or triangle: its place before the overlay's transform, and its
// colour.
struct OverlayVertex {
    Vector3 position;
    OpenglColor colour;
};

// The renderer's thin layer over OpenGL 2.1 with instancing. It owns the context and every
// OpenGL object the renderer makes, in tables that only grow: buffers are named by their
// position in their table, programs and textures by weak pointers into theirs. Everything runs
// on the render thread, which constructs the driver and is the only thread its context is
// current on; OpenGL errors surface as OpenglException.
class OpenglDriver : private boost::noncopyable {
public:
    // Creates the context inside window (the host's native X window) on a connection to
    // displayName (empty: $DISPLAY). width and height are the render area's size in pixels,
    // fixed for the driver's life. Throws as OpenglContext does.
    OpenglDriver(unsigned int width, unsigned int height, unsigned long window,
                 const std::string& displayName = std::string(), int maxSamples = 4);
    // Called on the render thread before the host destroys window. Deletes every OpenGL object
    // with this driver's context current, then releases the context.
    ~OpenglDriver();

    // Copies verticesCount vertices into a new static vertex buffer; returns its id.
    int CreateVertexBuffer(unsigned int verticesCount, const std::shared_ptr<Vertex[]>& vertices);
    // The index form: copies indicesCount indices into a new static index buffer; returns its
    // id, counted separately from the vertex buffers'.
    int CreateVertexBuffer(unsigned int indicesCount, const std::shared_ptr<int[]>& indices);
    std::weak_ptr<OpenglProgram> CreateProgram(const std::vector<ShaderFile>& shaders);
    // See OpenglTexture for type, linear and wrap. data (width x height texels) is copied.
    std::weak_ptr<OpenglTexture> CreateTexture(int type, int width, int height, bool linear,
                                               int wrap, const std::shared_ptr<float[]>& data);

    // The program of the following draws.
    void SetProgram(std::weak_ptr<OpenglProgram> program);
    // Binds texture to texture unit at every following draw; a texture has one unit, the last
    // one given.
    void SetTexture(int unit, std::weak_ptr<OpenglTexture> texture);
    // Draws the index buffer's triangles from the vertex buffer with the current program and
    // textures, instancesCount times (one instance draws without instancing). Leaves program,
    // textures, buffers and vertex arrays bound.
    void DrawIndexedPrimitive(int vertexBufferId, int indexBufferId, int instancesCount);

    // Half the side of the largest square RGB float texture the implementation accepts,
    // trying 8192 and then halving. Throws Exception when not even a 2 x 2 one is accepted.
    int GetFloatTextureSize();

    // Draws text with the fixed-function pipeline in freeglut's 9 x 15 bitmap font, starting
    // at (x, y) in the frame buffer's pixels from the lower left corner (the font's pixels are
    // those too, whatever the device pixel ratio). No program stays in use.
    void DrawString(const OpenglColor& colour, const std::string& text, int x, int y);

    // Draws lines (two vertices each) or triangles (three each) over everything drawn so far,
    // without depth test, with the fixed-function pipeline; transform (rows first, as Matrix4)
    // takes the positions to clip space. Lines are lineWidth frame-buffer pixels wide. No
    // program stays in use.
    void DrawOverlay(const std::vector<OverlayVertex>& vertices, bool triangles,
                     const Matrix4& transform, float lineWidth = 1.0f);

    // The frame buffer's size in physical pixels: width x height times the device pixel ratio.
    int GetPixelWidth() const { return m_context.GetWidth(); }
    int GetPixelHeight() const { return m_context.GetHeight(); }
    // Copies the frame drawn since the previous Present (the back buffer) as RGBA rows,
    // bottom-up, into pixels (resized to fit), at the GL window's size now, which it returns
    // (width, height): a window resized since construction is read whole.
    std::pair<int, int> ReadPixels(std::vector<unsigned char>& pixels);

    // Copies the depth of the frame drawn so far (0 at the near plane, 1 at the far one) as rows
    // of the frame buffer's pixels, bottom-up, into depth (resized to fit); returns the width and
    // height. Meant for a frame drawn without multisampling: of a multisampled pixel it gives one
    // sample. Waits for every draw before it.
    std::pair<int, int> ReadDepth(std::vector<float>& depth);

    // Shows the frame drawn since the previous Present.
    void Present();
    // The number of samples per pixel of the window's frame buffer, 0 without multisampling.
    int GetSamples() const;

private:
    unsigned long m_window;
    unsigned int m_width;
    unsigned int m_height;
    // Declared before the tables, so it is released after every object in them.
    OpenglContext m_context;
    std::vector<std::shared_ptr<OpenglVertexBuffer>> m_vertexBuffers;
    std::vector<std::shared_ptr<OpenglIndexBuffer<int>>> m_indexBuffers;
    std::vector<std::shared_ptr<OpenglProgram>> m_programs;
    std::vector<std::shared_ptr<OpenglTexture>> m_textures;
    // Borrowed from m_programs.
    std::weak_ptr<OpenglProgram> m_currentProgram;
    // Borrowed from m_textures; ordered by owner, so one entry per texture.
    std::map<std::weak_ptr<OpenglTexture>, int, std::owner_less<std::weak_ptr<OpenglTexture>>>
        m_textureUnits;
    // Where ReadPixels resolves a multisampled frame; made at the first read, 0 before, and
    // remade at the size of a frame that no longer fits it.
    unsigned int m_resolveFramebuffer = 0;
    unsigned int m_resolveRenderbuffer = 0;
    int m_resolveWidth = 0;
    int m_resolveHeight = 0;
};

}  // namespace Quellon
