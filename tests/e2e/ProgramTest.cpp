// Starts the real program under the X server and drives it as a user would: through the mouse,
// the keyboard and the window manager's close request, judging only what appears on the screen,
// on standard error and in the exit status.

#include <stdlib.h>

#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <thread>

#include "ChildProcess.h"
#include "ProgramEnvironment.h"
#include "X11Session.h"

namespace AvidriftEndToEnd {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string kMainTitle = "Avidrift - The Avidrift authors <avidrift@example.org>";
const QRect kRenderArea(9, 9, 800, 600);
// The "Flock size" field in window coordinates: the settings column (815, 9), its tab widget
// (10, 0), the page under the tab bar (2, 26 with Fusion and the default font), the group
// (3, 10) and the box (120, 20); 10 pixels into its height and 20 from its left edge leave room
// for another style and stay clear of the arrow buttons.
const QPoint kFlockSizeField(815 + 10 + 2 + 3 + 120 + 20, 9 + 0 + 26 + 10 + 20 + 10);
// Generous for llvmpipe on two shared cores, which draws a few frames per second. Hang guards
// of a real program, not limits on its speed.
constexpr auto kTimeout = 60s;

// What the render area shows, counted by the kind of pixel.
struct Picture {
    int background = 0;
    int overlayText = 0;
    int boids = 0;
    int warmBoids = 0;
    // Width over height of the middle 80 % of the boid pixels, so stragglers do not count.
    double aspect = 0;
};

std::ostream& operator<<(std::ostream& out, const Picture& p) {
    return out << "{background " << p.background << ", text " << p.overlayText << ", boids "
               << p.boids << ", warm " << p.warmBoids << ", aspect " << p.aspect << "}";
}

int MiddleSpread(std::vector<int>& positions) {
    std::sort(positions.begin(), positions.end());
    const std::size_t low = positions.size() / 10;
    return positions.size() < 10 ? 0 : positions[positions.size() - 1 - low] - positions[low];
}

Picture Analyse(const QImage& image) {
    Picture picture;
    std::vector<int> xs;
    std::vector<int> ys;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            const int r = qRed(p);
            const int g = qGreen(p);
            const int b = qBlue(p);
            // The clear colour is (0.5, 0.5, 0.7); the timing lines are pure red; boids are lit
            // blends of blue and orange (the fast ones), whose green is never far below red.
            if (std::abs(r - 128) <= 3 && std::abs(g - 128) <= 3 && std::abs(b - 178) <= 3) {
                ++picture.background;
            } else if (r >= 200 && g <= 60 && b <= 60) {
                ++picture.overlayText;
            } else {
                ++picture.boids;
                picture.warmBoids += r >= b + 60 && g >= b ? 1 : 0;
                xs.push_back(x);
                ys.push_back(y);
            }
        }
    }
    const int height = MiddleSpread(ys);
    picture.aspect = height > 0 ? static_cast<double>(MiddleSpread(xs)) / height : 0;
    return picture;
}


// Runs the program in a directory of its own holding a copy of data/ and glsl/, so that a test
// can remove or break an input, with one helper per thing a user does.
class ProgramTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "avidrift-e2e-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
        m_directory = pattern;
        for (const char* input : {"data", "glsl"}) {
            fs::copy(fs::path(AVIDRIFT_SOURCE_DIR) / input, m_directory / input,
                     fs::copy_options::recursive);
        }
    }

    void TearDown() override {
        // The X server outlives the test: a button left down would turn the next clicks into drags.
        Xdotool({"mouseup", "1"});
        if (m_program) {
            m_program->Kill();
            if (HasFailure()) {
                std::cerr << "standard error:\n" << m_program->ReadStandardError() << "(end)\n";
            }
        }
        if (HasFailure()) {
            std::cerr << "the program's directory is kept: " << m_directory << "\n";
        } else {
            fs::remove_all(m_directory);
        }
    }

    static ChildProcess::EnvironmentChanges X11Environment() { return ProgramEnvironment(); }

    void Start(ChildProcess::EnvironmentChanges changes = {}) {
        ChildProcess::EnvironmentChanges environment = X11Environment();
        for (const auto& [name, value] : changes) {
            environment[name] = value;
        }
        m_program = std::make_unique<ChildProcess>(std::vector<std::string>{AVIDRIFT_PROGRAM},
                                                   m_directory, environment);
    }

    // Polls for a window of the program whose title starts with titlePrefix, until the timeout
    // passes or the program ends.
    std::optional<TopLevelWindow> WaitForWindow(const std::string& titlePrefix) {
        for (const auto deadline = Clock::now() + kTimeout;
             Clock::now() < deadline && !m_program->PollExit();
             std::this_thread::sleep_for(100ms)) {
            if (auto window = m_x.FindWindow(m_program->GetPid(), titlePrefix)) {
                return window;
            }
        }
        return std::nullopt;
    }

    QImage Grab() {
        return m_x.GrabScreen(kRenderArea.translated(m_window.geometry.topLeft()));
    }

    // Polls the render area until it shows a picture that satisfies the condition, or a new
    // frame when there is none; saves the last picture for inspection when none came.
    Picture WaitForPicture(const std::function<bool(const Picture&)>& condition = {}) {
        const QImage previous = Grab();
        QImage image = previous;
        for (const auto deadline = Clock::now() + kTimeout;
             Clock::now() < deadline && !m_program->PollExit();
             std::this_thread::sleep_for(100ms), image = Grab()) {
            if (condition ? condition(Analyse(image)) : image != previous) {
                return Analyse(image);
            }
        }
        const char* name = testing::UnitTest::GetInstance()->current_test_info()->name();
        image.save(
            QString::fromStdString(AVIDRIFT_E2E_OUTPUT_DIR "/" + std::string(name) + ".png"));
        return Analyse(image);
    }

    // Starts the program and waits for its first picture: the cleared frame, a boid and the two
    // timing lines.
    void StartAndWaitForFlock() {
        Start();
        const std::optional<TopLevelWindow> window = WaitForWindow(kMainTitle);
        ASSERT_TRUE(window) << "no window titled \"" << kMainTitle << "\"";
        m_window = *window;
        EXPECT_EQ(m_window.title, kMainTitle);
        EXPECT_EQ(m_window.geometry.size(), QSize(1037, 618));
        const auto showsFlock = [](const Picture& p) {
            return p.background > 800 * 600 / 2 && p.boids >= 100 && p.overlayText >= 200;
        };
        const Picture picture = WaitForPicture(showsFlock);
        ASSERT_TRUE(showsFlock(picture)) << picture;
    }

    // Click into "Flock size", select what it holds, type the digits, confirm. Without a window
    // manager nobody gives the window the keyboard focus on a click.
    void TypeFlockSize(int size) {
        const QPoint field = m_window.geometry.topLeft() + kFlockSizeField;
        m_x.Focus(m_window.id);
        std::vector<std::string> keys{
            "mousemove", std::to_string(field.x()), std::to_string(field.y()), "click", "1", "key",
            "ctrl+a"};
        for (const char digit : std::to_string(size)) {
            keys.emplace_back(1, digit);
        }
        keys.emplace_back("Return");
        ASSERT_TRUE(Xdotool(keys));
    }

    // The close request of a window manager: the program stops its threads and ends with 0.
    void CloseAndExpectCleanExit() {
        ASSERT_FALSE(m_program->PollExit()) << "the program ended before it was asked to";
        m_x.RequestClose(m_window.id);
        const std::optional<ExitStatus> status = m_program->WaitForExit(kTimeout);
        ASSERT_TRUE(status) << "the program still runs after the close request";
        EXPECT_TRUE(status->IsCleanExit()) << status->Describe();
        EXPECT_EQ(m_program->ReadStandardError().find("avidrift:"), std::string::npos);
        EXPECT_EQ(m_program->ReadStandardError().find("LeakSanitizer"), std::string::npos);
    }

    bool Xdotool(const std::vector<std::string>& arguments) {
        return RunXdotool(arguments, m_directory);
    }

    fs::path m_directory;
    X11Session m_x;
    std::unique_ptr<ChildProcess> m_program;
    TopLevelWindow m_window;
};

using ProgramWindow = ProgramTest;

TEST_F(ProgramWindow, ShowsTheFlockAndExitsWithZeroWhenClosed) {
    ASSERT_NO_FATAL_FAILURE(StartAndWaitForFlock());
    CloseAndExpectCleanExit();
}

// A typed flock size reaches the flock: 300 boids cover about 45000 pixels, one boid about 330
// (the field takes the digits one by one, so 3 and 30 boids come on the way). Boids start slow
// (blue) and speed up along the knot (orange). Seen from the front the knot is about as wide as
// high, from the side about half as wide; a left drag orbits the camera about the vertical axis,
// so the flock's width swings between the two.
TEST_F(ProgramWindow, TypedFlockSizeShowsSpeedsInColourAndLeftDragOrbits) {
    ASSERT_NO_FATAL_FAILURE(StartAndWaitForFlock());
    ASSERT_NO_FATAL_FAILURE(TypeFlockSize(300));
    const Picture front = WaitForPicture([](const Picture& p) { return p.boids >= 30000; });
    ASSERT_GE(front.boids, 30000) << front;
    ASSERT_GT(front.aspect, 0.8) << front;
    const Picture coloured = WaitForPicture([](const Picture& p) { return p.warmBoids >= 2000; });
    EXPECT_GE(coloured.warmBoids, 2000) << coloured;
    // Left of the window, for the documentation.
    m_x.GrabScreen(m_window.geometry).save(AVIDRIFT_E2E_OUTPUT_DIR "/screenshot.png");

    // One long drag rather than many short ones: the window reports each move relative to the
    // last one, across a release too. Each move event turns the camera by 20 degrees per second
    // of the logic's last step however far the mouse went, so one event per drawn frame keeps
    // each turn small enough not to step over the narrow view, and gives Qt no queued moves to
    // merge into one.
    const QPoint start = m_window.geometry.topLeft() + kRenderArea.topLeft() + QPoint(20, 300);
    ASSERT_TRUE(Xdotool(
        {"mousemove", std::to_string(start.x()), std::to_string(start.y()), "mousedown", "1"}));
    Picture narrowest = front;
    for (int x = start.x() + 2; x <= start.x() + 760 && narrowest.aspect >= 0.65 * front.aspect;
         x += 2) {
        ASSERT_TRUE(Xdotool({"mousemove", std::to_string(x), std::to_string(start.y())}));
        const Picture picture = WaitForPicture();
        if (picture.boids >= front.boids / 2 && picture.aspect < narrowest.aspect) {
            narrowest = picture;
        }
    }
    ASSERT_TRUE(Xdotool({"mouseup", "1"}));
    EXPECT_LT(narrowest.aspect, 0.65 * front.aspect) << front << " then " << narrowest;
    CloseAndExpectCleanExit();
}

// A file the program needs is missing or broken, or Mesa lacks a capability.
struct BrokenInput {
    const char* name;
    std::function<void(const fs::path& directory)> breakInput;
    // The error box's caption, the system's error text; empty where that is not part of it.
    std::string caption;
    // The thrower's message below the word "Exception": the whole line, or its start.
    std::string message;
    bool messageIsPrefix;
    bool beforeMainWindow;
    ChildProcess::EnvironmentChanges environment = {};
};

std::ostream& operator<<(std::ostream& out, const BrokenInput& input) {
    return out << input.name;
}

class ProgramFailure : public ProgramTest, public testing::WithParamInterface<BrokenInput> {};

// One error box (and the same report on standard error) once the threads have stopped and the
// main window has closed; exit 0 when the box is dismissed.
TEST_P(ProgramFailure, ShowsOneErrorBoxThenExitsWithZero) {
    const BrokenInput& input = GetParam();
    input.breakInput(m_directory);
    Start(input.environment);
    std::optional<TopLevelWindow> box;
    bool mainWindowSeen = false;
    for (const auto deadline = Clock::now() + kTimeout;
         !box && Clock::now() < deadline && !m_program->PollExit();
         std::this_thread::sleep_for(100ms)) {
        for (const TopLevelWindow& window : m_x.FindWindows(m_program->GetPid(), "")) {
            mainWindowSeen = mainWindowSeen || window.title == kMainTitle;
            if (window.title != kMainTitle) {
                box = window;
            }
        }
    }
    ASSERT_TRUE(box) << "no error box";
    if (!input.caption.empty()) {
        EXPECT_EQ(box->title, input.caption);
    }
    EXPECT_EQ(m_x.FindWindows(m_program->GetPid(), "").size(), 1u)
        << "the error box is not the program's only window";
    if (input.beforeMainWindow) {
        EXPECT_FALSE(mainWindowSeen) << "the main window was shown before the failure";
    }
    // With the box open, the whole report is on standard error, once.
    const std::string error = m_program->ReadStandardError();
    const std::string report = "avidrift: " + box->title + ": Exception\n" + input.message;
    const std::size_t at = error.find(report);
    ASSERT_NE(at, std::string::npos) << error;
    EXPECT_TRUE(input.messageIsPrefix || error[at + report.size()] == '\n') << error;
    EXPECT_EQ(error.find("avidrift: ", at + 1), std::string::npos) << "more than one report";
    // Return presses the box's button; a key pressed before Qt focused the new box would be
    // lost, so it is repeated until the program ends.
    std::optional<ExitStatus> status;
    for (const auto deadline = Clock::now() + kTimeout; !status && Clock::now() < deadline;
         status = m_program->WaitForExit(3s)) {
        m_x.Focus(box->id);
        ASSERT_TRUE(Xdotool({"key", "Return"}));
    }
    ASSERT_TRUE(status) << "the program still runs after Return on its error box";
    EXPECT_TRUE(status->IsCleanExit()) << status->Describe();
}

void Remove(const fs::path& file) {
    fs::remove(file);
}

INSTANTIATE_TEST_SUITE_P(
    BrokenInputs, ProgramFailure,
    testing::Values(
        BrokenInput{"MissingMesh", [](const fs::path& d) { Remove(d / "data/teapot.obj"); },
                    std::strerror(ENOENT), "data/teapot.obj: No such a file", false, true},
        BrokenInput{
            "MeshWithTooFewNumbers",
            [](const fs::path& d) { std::ofstream(d / "data/teapot.obj") << "v 0 0 0\nv 1 2\n"; },
            std::strerror(EINVAL), "data/teapot.obj: Too few numbers at line 2", false, true},
        BrokenInput{
            "MeshWithoutFaces",
            [](const fs::path& d) { std::ofstream(d / "data/teapot.obj") << "v 0 0 0\nl 1 1\n"; },
            std::strerror(ENODATA), "data/teapot.obj: No faces", false, true},
        BrokenInput{"MissingVertexShader",
                    [](const fs::path& d) { Remove(d / "glsl/vertexShader.glsl"); },
                    std::strerror(ENOENT), "Shader file couldn't be loaded.", false, false},
        BrokenInput{"MissingPixelShader",
                    [](const fs::path& d) { Remove(d / "glsl/pixelShader.glsl"); },
                    std::strerror(ENOENT), "Shader file couldn't be loaded.", false, false},
        BrokenInput{"VertexShaderWithSyntaxError",
                    [](const fs::path& d) {
                        std::ofstream(d / "glsl/vertexShader.glsl")
                            << "#version 120\nvoid main() {\n    gl_Position = gl_Vertex\n}\n";
                    },
                    "", "Compiling shader error: ", true, false},
        BrokenInput{"NoFloatTextures",
                    [](const fs::path&) {},
                    "",
                    "ARB_texture_float not supported",
                    false,
                    false,
                    {{"MESA_EXTENSION_OVERRIDE", "-GL_ARB_texture_float"}}}),
    [](const testing::TestParamInfo<BrokenInput>& parameter) {
        return std::string(parameter.param.name);
    });

// Where the program cannot open a window at all: one line naming what to change, exit 0.
class ProgramWithoutX11
    : public ProgramTest,
      public testing::WithParamInterface<std::pair<ChildProcess::EnvironmentChanges, std::string>> {
};

TEST_P(ProgramWithoutX11, PrintsOneLineAndExitsWithZero) {
    Start(GetParam().first);
    const std::optional<ExitStatus> status = m_program->WaitForExit(kTimeout);
    ASSERT_TRUE(status) << "the program still runs";
    EXPECT_TRUE(status->IsCleanExit()) << status->Describe();
    const std::string error = m_program->ReadStandardError();
    EXPECT_TRUE(error.starts_with("avidrift: ") && error.find('\n') == error.size() - 1) << error;
    EXPECT_NE(error.find(GetParam().second), std::string::npos) << error;
    EXPECT_EQ(m_program->ReadStandardOutput(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Environments, ProgramWithoutX11,
    testing::Values(std::pair{ChildProcess::EnvironmentChanges{{"DISPLAY", ":987"}}, "DISPLAY"},
                    std::pair{ChildProcess::EnvironmentChanges{{"DISPLAY", std::nullopt}},
                              "DISPLAY"},
                    std::pair{ChildProcess::EnvironmentChanges{{"QT_QPA_PLATFORM", "offscreen"}},
                              "QT_QPA_PLATFORM"}),
    [](const auto& parameter) {
        return std::string(parameter.index == 0   ? "DisplayThatDoesNotExist"
                           : parameter.index == 1 ? "DisplayUnset"
                                                  : "OffscreenPlatform");
    });

}  // namespace
}  // namespace AvidriftEndToEnd
