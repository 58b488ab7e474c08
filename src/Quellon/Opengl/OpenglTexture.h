#pragma once

#include <memory>

#include <boost/noncopyable.hpp>

#include "Quellon/Opengl/OpenglName.h"

namespace Quellon {

// A 2D texture of float texels without mipmaps. Owned by the driver's table, used through weak
// pointers; every operation runs on the render thread with the driver's context current.
class OpenglTexture : private boost::noncopyable {
public:
    // type: 0 red, 1 RGB, 2 RGB stored as 32-bit floats, 3 RGBA, 4 RGBA stored as 32-bit
    // floats, any other RGB. wrap: 1 mirrored repeat, 2 and 3 clamp to edge, 4 clamp, any
    // other repeat. linear chooses linear over nearest filtering for both directions. data
    // (width x height texels, may be null) is copied; the texture stays bound to the active
    // unit. Throws OpenglException on an OpenGL error, with the texture deleted again.
    OpenglTexture(int type, int width, int height, bool linear, int wrap, const float* data);

    // Replaces the lower-left width x height texels, which must lie inside the texture (an
    // OpenglException otherwise). data holds width x height texels in the texture's format.
    void SetData(int width, int height, std::shared_ptr<float[]> data);
    // Replaces rows [firstRow, firstRow + rows) of the texture's lowest width columns with
    // texels, which holds those rows alone, in the texture's format.
    void SetRows(int firstRow, int width, int rows, const float* texels);

    unsigned int GetTarget() const { return m_target; }
    unsigned int GetTexture() const { return m_texture.Get(); }

private:
    unsigned int m_target;
    unsigned int m_format;
    int m_internalFormat;
    int m_width;
    int m_height;
    OpenglName m_texture;
};

}  // namespace Quellon
