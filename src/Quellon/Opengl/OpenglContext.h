#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <boost/noncopyable.hpp>

namespace Quellon {

// Whole-word search of a space-separated extension list: "GLX_ARB_multisample" does not match
// inside "GLX_ARB_multisample_extra" or "XGLX_ARB_multisample". An empty name never matches.
bool ContainsExtension(std::string_view extensions, std::string_view name);

// Throws Exception unless the current context offers the version: 0 for OpenGL 2.0, 1 for 2.1,
// 2 for 3.0, 3 for 3.1, 4 for 3.2. Needs glewInit to have run for the current context.
void RequireOpenglVersion(int version);
// Throws Exception naming the first of EXT_gpu_shader4, ARB_draw_instanced and
// ARB_texture_float that the current context lacks.
void RequireOpenglExtensions();

// A double-buffered OpenGL context (compatibility profile, 2.1 or later) rendering into a GL
// window of its own inside the host's native X window, on a connection of its own: the host's
// connection belongs to its GUI thread, and X does not order requests across connections.
// Constructing it also loads the entry points (GLEW), initialises freeglut once per process,
// checks the version and extensions the renderer needs and sets the initial state. Every
// operation is called on the thread that constructed it, the only thread the context is
// current on.
class OpenglContext : private boost::noncopyable {
public:
    // Connects to displayName (empty: $DISPLAY), creates the GL window as a child of
    // parentWindow at the parent's current size and makes the context current on the calling
    // thread. The host flushes its own connection first, so that parentWindow exists for us.
    // Throws Exception on any failure, with everything made so far released.
    // maxSamples caps the multisampling asked for (4 in the program; 0 measures without it).
    OpenglContext(unsigned long parentWindow, const std::string& displayName, int maxSamples = 4);
    // Called on the owning thread before the host destroys parentWindow: rendering into a
    // window that is gone corrupts Mesa's heap. Leaves no context current on this thread.
    ~OpenglContext();

    // Makes the context current again, for instance before releasing OpenGL objects after
    // another context was made current on this thread. Throws Exception on failure.
    void MakeCurrent();
    bool IsCurrent() const;
    // Shows the back buffer; paced to the display when a swap interval could be set. Throws
    // Exception when the server rejects it (the GL window was destroyed under us).
    void Present();

    // What the chosen frame-buffer configuration really has, read back from GLX.
    int GetSamples() const;
    int GetDepthBits() const;
    // The GL window's size in physical pixels: the parent's at construction, which is the
    // render area's size times the device pixel ratio.
    int GetWidth() const;
    int GetHeight() const;
    // The GL window's size now, asked of the server: unlike GetWidth x GetHeight, it follows a
    // window resized after construction. Throws Exception when the server refuses.
    std::pair<int, int> QueryCurrentSize() const;
    // The GL window's X id.
    unsigned long GetWindow() const;

private:
    struct Resources;
    std::unique_ptr<Resources> m_resources;
};

}  // namespace Quellon
