#include "Quellon/Opengl/OpenglContext.h"

#include <cerrno>

// GLEW must come before any other OpenGL header.
#include <GL/glew.h>

#include <GL/freeglut.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <initializer_list>
#include <mutex>
#include <vector>

#include "Quellon/Exception.h"
#include "Quellon/Opengl/GlxErrorTrap.h"
#include "Quellon/Opengl/OpenglError.h"
#include "Quellon/Text.h"

namespace Quellon {

namespace {

const wchar_t* const kConstructor = L" in OpenglContext::OpenglContext";

struct XFreeDeleter {
    void operator()(void* data) const { XFree(data); }
};

bool IsGlxExtensionSupported(Display* display, int screen, std::string_view name) {
    const char* extensions = glXQueryExtensionsString(display, screen);
    return extensions != nullptr && ContainsExtension(extensions, name);
}

template <typename Function>
Function GetGlxProcedure(const char* name) {
    return reinterpret_cast<Function>(glXGetProcAddressARB(reinterpret_cast<const GLubyte*>(name)));
}

// The RAII owners below free one X or GLX resource each. Their destructors trap the errors of
// the release: a destructor has nowhere to report them, and an error reaching Xlib's default
// handler would end the process.

struct DisplayConnection : private boost::noncopyable {
    Display* display = nullptr;
    ~DisplayConnection() {
        if (display != nullptr) {
            XCloseDisplay(display);
        }
    }
};

struct OwnedColormap : private boost::noncopyable {
    Display* display = nullptr;
    Colormap colormap = 0;
    ~OwnedColormap() {
        if (colormap != 0) {
            GlxErrorTrap trap(display);
            XFreeColormap(display, colormap);
            trap.Failed();
        }
    }
};

struct OwnedWindow : private boost::noncopyable {
    Display* display = nullptr;
    Window window = 0;
    ~OwnedWindow() {
        if (window != 0) {
            GlxErrorTrap trap(display);
            XDestroyWindow(display, window);
            trap.Failed();
        }
    }
};

struct OwnedContext : private boost::noncopyable {
    Display* display = nullptr;
    GLXContext context = nullptr;
    ~OwnedContext() {
        if (context != nullptr) {
            GlxErrorTrap trap(display);
            if (glXGetCurrentContext() == context) {
                glXMakeCurrent(display, None, nullptr);
            }
            glXDestroyContext(display, context);
            trap.Failed();
        }
    }
};

// The first configuration of the request whose visual has preferredDepth, else the first one
// with any visual. Matching the parent's depth keeps the GL window opaque: a child of another
// depth (an ARGB visual) is composited with its alpha, and the clear colour's alpha is 0.
GLXFBConfig ChooseConfig(Display* display, int screen, int depthBits, int samples,
                         int preferredDepth) {
    // Every value is a minimum: asking for sample buffers with 0 samples would still return
    // only multisampled configurations.
    // clang-format off
    const int attributes[] = {
        GLX_X_RENDERABLE, True,
        GLX_DRAWABLE_TYPE, GLX_WINDOW_BIT,
        GLX_RENDER_TYPE, GLX_RGBA_BIT,
        // A DirectColor visual would need its colormap filled in.
        GLX_X_VISUAL_TYPE, GLX_TRUE_COLOR,
        GLX_RED_SIZE, 8,
        GLX_GREEN_SIZE, 8,
        GLX_BLUE_SIZE, 8,
        GLX_ALPHA_SIZE, 8,
        GLX_DEPTH_SIZE, depthBits,
        GLX_STENCIL_SIZE, 0,
        GLX_DOUBLEBUFFER, True,
        GLX_SAMPLE_BUFFERS, samples > 0 ? 1 : 0,
        GLX_SAMPLES, samples,
        None};
    // clang-format on
    int count = 0;
    const std::unique_ptr<GLXFBConfig, XFreeDeleter> configs(
        glXChooseFBConfig(display, screen, attributes, &count));
    if (!configs) {
        return nullptr;
    }
    GLXFBConfig chosen = nullptr;
    for (int i = 0; i < count; ++i) {
        const std::unique_ptr<XVisualInfo, XFreeDeleter> visual(
            glXGetVisualFromFBConfig(display, configs.get()[i]));
        if (!visual) {
            continue;
        }
        if (chosen == nullptr) {
            chosen = configs.get()[i];
        }
        if (visual->depth == preferredDepth) {
            return configs.get()[i];
        }
    }
    return chosen;
}

int GetConfigAttribute(Display* display, GLXFBConfig config, int attribute) {
    int value = 0;
    glXGetFBConfigAttrib(display, config, attribute, &value);
    return value;
}

GLXContext CreateCompatibilityContext(Display* display, int screen, GLXFBConfig config) {
    const auto createContextAttribs =
        GetGlxProcedure<PFNGLXCREATECONTEXTATTRIBSARBPROC>("glXCreateContextAttribsARB");
    if (createContextAttribs != nullptr &&
        IsGlxExtensionSupported(display, screen, "GLX_ARB_create_context")) {
        std::vector<int> attributes = {GLX_CONTEXT_MAJOR_VERSION_ARB, 2,
                                       GLX_CONTEXT_MINOR_VERSION_ARB, 1};
        // Naming a profile without the profile extension is itself an error.
        if (IsGlxExtensionSupported(display, screen, "GLX_ARB_create_context_profile")) {
            attributes.insert(attributes.end(), {GLX_CONTEXT_PROFILE_MASK_ARB,
                                                 GLX_CONTEXT_COMPATIBILITY_PROFILE_BIT_ARB});
        }
        attributes.push_back(None);
        GlxErrorTrap trap(display);
        GLXContext context =
            createContextAttribs(display, config, nullptr, True, attributes.data());
        const bool failed = trap.Failed();
        if (context != nullptr && !failed) {
            return context;
        }
        if (context != nullptr) {
            glXDestroyContext(display, context);
            trap.Failed();
        }
    }
    // A driver that cannot make a context by attributes gets its default kind, which for
    // compatibility-capable drivers is a compatibility context of its highest version.
    GlxErrorTrap trap(display);
    GLXContext context = glXCreateNewContext(display, config, GLX_RGBA_TYPE, nullptr, True);
    if (trap.Failed() || context == nullptr) {
        if (context != nullptr) {
            glXDestroyContext(display, context);
            trap.Failed();
        }
        ThrowException(EIO, std::wstring(L"glXCreateNewContext failed") + kConstructor);
    }
    return context;
}

bool EnableSwapInterval(Display* display, int screen, Window window) {
    GlxErrorTrap trap(display);
    if (IsGlxExtensionSupported(display, screen, "GLX_EXT_swap_control")) {
        const auto swapInterval = GetGlxProcedure<PFNGLXSWAPINTERVALEXTPROC>("glXSwapIntervalEXT");
        if (swapInterval != nullptr) {
            swapInterval(display, window, 1);
            return !trap.Failed();
        }
    }
    if (IsGlxExtensionSupported(display, screen, "GLX_MESA_swap_control")) {
        const auto swapInterval =
            GetGlxProcedure<PFNGLXSWAPINTERVALMESAPROC>("glXSwapIntervalMESA");
        if (swapInterval != nullptr) {
            const int result = swapInterval(1);
            return !trap.Failed() && result == 0;
        }
    }
    return false;
}

void InitializeGlutOnce(const std::string& displayName) {
    // freeglut ends the process on a second glutInit; two render threads may get here at once.
    static std::mutex mutex;
    const std::lock_guard<std::mutex> lock(mutex);
    if (glutGet(GLUT_INIT_STATE) != 0) {
        return;
    }
    // freeglut opens a connection of its own, by $DISPLAY unless told otherwise; it must reach
    // the server we render on, and it ends the process when it cannot.
    std::string program = "quellon";
    std::string option = "-display";
    std::string name = displayName;
    char* arguments[] = {program.data(), option.data(), name.data(), nullptr};
    int count = 3;
    glutInit(&count, arguments);
}

void SetInitialState() {
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    glEnable(GL_CULL_FACE);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LESS);
    glClearColor(0.5f, 0.5f, 0.7f, 0.0f);
}

}  // namespace

bool ContainsExtension(std::string_view extensions, std::string_view name) {
    if (name.empty()) {
        return false;
    }
    for (std::size_t at = extensions.find(name); at != std::string_view::npos;
         at = extensions.find(name, at + 1)) {
        const std::size_t end = at + name.size();
        const bool startsWord = at == 0 || extensions[at - 1] == ' ';
        const bool endsWord = end == extensions.size() || extensions[end] == ' ';
        if (startsWord && endsWord) {
            return true;
        }
    }
    return false;
}

void RequireOpenglVersion(int version) {
    struct Requirement {
        bool supported;
        const wchar_t* message;
    };
    const Requirement requirements[] = {
        {GLEW_VERSION_2_0 != GL_FALSE, L"Opengl 2.0 required"},
        {GLEW_VERSION_2_1 != GL_FALSE, L"Opengl 2.1 required"},
        {GLEW_VERSION_3_0 != GL_FALSE, L"Opengl 3.0 required"},
        {GLEW_VERSION_3_1 != GL_FALSE, L"Opengl 3.1 required"},
        {GLEW_VERSION_3_2 != GL_FALSE, L"Opengl 3.2 required"},
    };
    if (version < 0 || version >= static_cast<int>(std::size(requirements))) {
        ThrowException(EINVAL,
                       L"Invalid parameter: version < 0 || version > 4 in RequireOpenglVersion");
    }
    if (!requirements[version].supported) {
        ThrowException(ENOTSUP, requirements[version].message);
    }
}

void RequireOpenglExtensions() {
    if (!GLEW_EXT_gpu_shader4) {
        ThrowException(ENOTSUP, L"GLEW_EXT_gpu_shader4 not supported");
    }
    if (!GLEW_ARB_draw_instanced) {
        ThrowException(ENOTSUP, L"ARB_draw_instanced not supported");
    }
    if (!GLEW_ARB_texture_float) {
        ThrowException(ENOTSUP, L"ARB_texture_float not supported");
    }
}

// Members are released in reverse order: context, GL window, colormap, connection.
struct OpenglContext::Resources {
    Resources(unsigned long parentWindow, const std::string& displayName, int maxSamples);

    DisplayConnection connection;
    OwnedColormap colormap;
    OwnedWindow window;
    OwnedContext context;
    int samples = 0;
    int depthBits = 0;
    int width = 0;
    int height = 0;
};

OpenglContext::Resources::Resources(unsigned long parentWindow, const std::string& displayName,
                                    int maxSamples) {
    const char* name = displayName.empty() ? nullptr : displayName.c_str();
    Display* const display = XOpenDisplay(name);
    if (display == nullptr) {
        throw Exception(L"Cannot open X display \"" + Utf8ToWide(XDisplayName(name)) + L"\"" +
                        kConstructor);
    }
    connection.display = display;

    int major = 0;
    int minor = 0;
    if (!glXQueryVersion(display, &major, &minor) || major < 1 || (major == 1 && minor < 3)) {
        ThrowException(ENOTSUP, L"GLX 1.3 required");
    }

    XWindowAttributes parent = {};
    {
        GlxErrorTrap trap(display);
        const Status status = XGetWindowAttributes(display, parentWindow, &parent);
        trap.Check(std::wstring(L"XGetWindowAttributes of the render window") + kConstructor);
        if (status == 0) {
            ThrowException(EIO, std::wstring(L"XGetWindowAttributes failed") + kConstructor);
        }
    }
    const int screen = XScreenNumberOfScreen(parent.screen);
    width = parent.width;
    height = parent.height;

    // The multisample search runs only where GLX knows the sample attributes.
    const bool multisample =
        major > 1 || minor >= 4 || IsGlxExtensionSupported(display, screen, "GLX_ARB_multisample");
    int requestedDepthBits = 24;
    GLXFBConfig config = ChooseConfig(display, screen, requestedDepthBits, 0, parent.depth);
    if (config == nullptr) {
        requestedDepthBits = 16;
        config = ChooseConfig(display, screen, requestedDepthBits, 0, parent.depth);
    }
    if (config == nullptr) {
        ThrowException(ENOTSUP,
                       std::wstring(L"No GLX frame buffer configuration with 24 or 16 depth bits") +
                           kConstructor);
    }
    if (multisample) {
        for (const int wanted : {4, 3, 2, 1}) {
            if (wanted > maxSamples) {
                continue;
            }
            if (GLXFBConfig found =
                    ChooseConfig(display, screen, requestedDepthBits, wanted, parent.depth)) {
                config = found;
                break;
            }
        }
    }
    samples = GetConfigAttribute(display, config, GLX_SAMPLE_BUFFERS) > 0
                  ? GetConfigAttribute(display, config, GLX_SAMPLES)
                  : 0;
    depthBits = GetConfigAttribute(display, config, GLX_DEPTH_SIZE);

    const std::unique_ptr<XVisualInfo, XFreeDeleter> visual(
        glXGetVisualFromFBConfig(display, config));
    if (!visual) {
        ThrowException(EIO, std::wstring(L"glXGetVisualFromFBConfig failed") + kConstructor);
    }

    {
        GlxErrorTrap trap(display);
        colormap.display = display;
        colormap.colormap = XCreateColormap(display, parent.root, visual->visual, AllocNone);
        // Border pixel and colormap must be given whenever the visual's depth differs from the
        // parent's (BadMatch otherwise). The event mask stays 0: a child selecting any input
        // would take the mouse from the host's window.
        XSetWindowAttributes attributes = {};
        attributes.colormap = colormap.colormap;
        attributes.border_pixel = 0;
        attributes.event_mask = 0;
        window.display = display;
        window.window =
            XCreateWindow(display, parentWindow, 0, 0, static_cast<unsigned int>(parent.width),
                          static_cast<unsigned int>(parent.height), 0, visual->depth, InputOutput,
                          visual->visual, CWBorderPixel | CWColormap | CWEventMask, &attributes);
        XMapWindow(display, window.window);
        trap.Check(std::wstring(L"creating the GL window") + kConstructor);
    }

    context.display = display;
    context.context = CreateCompatibilityContext(display, screen, config);
    {
        GlxErrorTrap trap(display);
        const Bool made = glXMakeCurrent(display, window.window, context.context);
        trap.Check(std::wstring(L"glXMakeCurrent") + kConstructor);
        if (!made) {
            ThrowException(EIO, std::wstring(L"glXMakeCurrent failed") + kConstructor);
        }
    }
    EnableSwapInterval(display, screen, window.window);
}

OpenglContext::OpenglContext(unsigned long parentWindow, const std::string& displayName,
                             int maxSamples)
    : m_resources(std::make_unique<Resources>(parentWindow, displayName, maxSamples)) {
    const GLenum glewResult = glewInit();
    if (glewResult != GLEW_OK) {
        ThrowException(EIO,
                       Utf8ToWide(reinterpret_cast<const char*>(glewGetErrorString(glewResult))));
    }
    InitializeGlutOnce(DisplayString(m_resources->connection.display));
    RequireOpenglVersion(1);
    RequireOpenglExtensions();
    CheckGlError();
    SetInitialState();
}

OpenglContext::~OpenglContext() = default;

void OpenglContext::MakeCurrent() {
    Display* const display = m_resources->connection.display;
    GlxErrorTrap trap(display);
    const Bool made =
        glXMakeCurrent(display, m_resources->window.window, m_resources->context.context);
    trap.Check(L"glXMakeCurrent in OpenglContext::MakeCurrent");
    if (!made) {
        ThrowException(EIO, L"glXMakeCurrent failed in OpenglContext::MakeCurrent");
    }
}

bool OpenglContext::IsCurrent() const {
    return glXGetCurrentContext() == m_resources->context.context;
}

void OpenglContext::Present() {
    Display* const display = m_resources->connection.display;
    GlxErrorTrap trap(display);
    glXSwapBuffers(display, m_resources->window.window);
    trap.Check(L"glXSwapBuffers in OpenglContext::Present");
}

int OpenglContext::GetSamples() const {
    return m_resources->samples;
}

int OpenglContext::GetDepthBits() const {
    return m_resources->depthBits;
}

int OpenglContext::GetWidth() const {
    return m_resources->width;
}

int OpenglContext::GetHeight() const {
    return m_resources->height;
}

std::pair<int, int> OpenglContext::QueryCurrentSize() const {
    Display* const display = m_resources->connection.display;
    XWindowAttributes attributes = {};
    GlxErrorTrap trap(display);
    const Status status = XGetWindowAttributes(display, m_resources->window.window, &attributes);
    trap.Check(L"XGetWindowAttributes of the GL window in OpenglContext::QueryCurrentSize");
    if (status == 0) {
        ThrowException(EIO, L"XGetWindowAttributes failed in OpenglContext::QueryCurrentSize");
    }
    return {attributes.width, attributes.height};
}

unsigned long OpenglContext::GetWindow() const {
    return m_resources->window.window;
}

}  // namespace Quellon
