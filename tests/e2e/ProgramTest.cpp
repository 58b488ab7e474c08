// Starts the real program under the X server and drives it as a user would: through the mouse,
// the keyboard and the window manager's close request, judging only what appears on the screen,
// on standard error and in the exit status.

#include <stdlib.h>

#include <gtest/gtest.h>

#include <QImage>
#include <QPoint>
#include <QRect>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ChildProcess.h"
#include "ProgramEnvironment.h"
#include "X11Session.h"

namespace AvidriftEndToEnd {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kMainTitle = "Avidrift - The Avidrift authors <avidrift@example.org>";
const QSize kWindowSize(1037, 618);
// The render frame inside the window.
const QRect kRenderArea(9, 9, 800, 600);
// The text field of "Flock size", in window coordinates: the settings column (815, 9), its tab
// widget (10, 0), the page inside the tab widget, the "Flock Properties" group (3, 10) and the
// spin box (120, 20, 70 x 20). The page's offset under the tab bar comes from the style (2, 26
// with Qt's Fusion style and default font); aiming 10 pixels into a 20-pixel-high box leaves
// room either way, and 20 pixels in from its left edge stays clear of the arrow buttons.
const QPoint kFlockSizeField(815 + 10 + 2 + 3 + 120 + 20, 9 + 0 + 26 + 10 + 20 + 10);

constexpr int kTypedFlockSize = 300;
// The program starts with one boid, which covers about 330 pixels of the render area; 300 boids
// cover about 45000. The spin box takes the digits one by one, so the flock has 3 and then 30
// boids (about 8500 pixels) on the way.
constexpr int kTypedFlockPixels = 30000;
// How much narrower than from the front the flock must look once the camera has orbited. Seen
// from the side it is about half as wide (0.5 to 0.55 measured); without an orbit its width
// wanders by up to a fifth as the flock spreads.
constexpr double kNarrowAspect = 0.65;

// Generous for llvmpipe on two cores, which draws a few frames per second and shares the
// machine with the rest of the test suite.
constexpr std::chrono::seconds kStartTimeout(30);
constexpr std::chrono::seconds kPictureTimeout(60);
constexpr std::chrono::seconds kExitTimeout(20);
constexpr std::chrono::seconds kFrameTimeout(30);
constexpr std::chrono::milliseconds kPollInterval(100);

// What the render area shows, counted by the kind of pixel.
struct RenderedPicture {
    int background = 0;
    int overlayText = 0;
    int boids = 0;
    int warmBoids = 0;
    // Width and height of the middle 80 % of the boid pixels, so that a few stragglers do not
    // stretch the extent of the flock.
    int spreadX = 0;
    int spreadY = 0;

    double Aspect() const { return spreadY > 0 ? static_cast<double>(spreadX) / spreadY : 0; }
};

std::ostream& operator<<(std::ostream& out, const RenderedPicture& picture) {
    return out << "{background " << picture.background << ", overlay text " << picture.overlayText
               << ", boids " << picture.boids << ", warm boids " << picture.warmBoids << ", spread "
               << picture.spreadX << " x " << picture.spreadY << "}";
}

// The renderer clears to (0.5, 0.5, 0.7).
bool IsBackground(QRgb pixel) {
    return std::abs(qRed(pixel) - 128) <= 3 && std::abs(qGreen(pixel) - 128) <= 3 &&
           std::abs(qBlue(pixel) - 178) <= 3;
}

// The timing lines are pure red; boids are lit blends of blue and orange, whose green is never
// far below their red.
bool IsOverlayText(QRgb pixel) {
    return qRed(pixel) >= 200 && qGreen(pixel) <= 60 && qBlue(pixel) <= 60;
}

// Orange, the colour of fast boids, lit or at a teapot's edge against the background.
bool IsWarm(QRgb pixel) {
    return qRed(pixel) >= qBlue(pixel) + 60 && qGreen(pixel) >= qBlue(pixel);
}

int MiddleSpread(std::vector<int>& positions) {
    if (positions.size() < 10) {
        return 0;
    }
    std::sort(positions.begin(), positions.end());
    const std::size_t low = positions.size() / 10;
    const std::size_t high = positions.size() - 1 - low;
    return positions[high] - positions[low];
}

RenderedPicture Analyse(const QImage& renderArea) {
    RenderedPicture picture;
    std::vector<int> xs;
    std::vector<int> ys;
    for (int y = 0; y < renderArea.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(renderArea.constScanLine(y));
        for (int x = 0; x < renderArea.width(); ++x) {
            const QRgb pixel = line[x];
            if (IsBackground(pixel)) {
                ++picture.background;
            } else if (IsOverlayText(pixel)) {
                ++picture.overlayText;
            } else {
                ++picture.boids;
                picture.warmBoids += IsWarm(pixel) ? 1 : 0;
                xs.push_back(x);
                ys.push_back(y);
            }
        }
    }
    picture.spreadX = MiddleSpread(xs);
    picture.spreadY = MiddleSpread(ys);
    return picture;
}

std::filesystem::path MakeTemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "avidrift-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    }
    return pattern;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Each test runs the program in a directory of its own that holds a copy of data/ and glsl/, so
// that it can remove or break an input without touching the repository.
class ProgramTest : public testing::Test {
protected:
    void SetUp() override {
        m_directory = MakeTemporaryDirectory();
        const std::filesystem::path source(AVIDRIFT_SOURCE_DIR);
        for (const char* input : {"data", "glsl"}) {
            std::filesystem::copy(source / input, m_directory / input,
                                  std::filesystem::copy_options::recursive);
        }
    }

    void TearDown() override {
        // The X server outlives the test: a button left down would turn the next test's clicks
        // into drags.
        if (m_leftButtonHeld) {
            ReleaseLeftButton();
        }
        if (m_program) {
            m_program->Kill();
            if (HasFailure()) {
                std::cerr << "standard error of the program:\n"
                          << m_program->ReadStandardError() << "(end)\n";
            }
            m_program.reset();
        }
        if (HasFailure()) {
            std::cerr << "the program's working directory is kept: " << m_directory << "\n";
        } else {
            std::filesystem::remove_all(m_directory);
        }
    }

    static ChildProcess::EnvironmentChanges X11Environment() { return ProgramEnvironment(); }

    void Start(const ChildProcess::EnvironmentChanges& environment = X11Environment()) {
        m_program = std::make_unique<ChildProcess>(std::vector<std::string>{AVIDRIFT_PROGRAM},
                                                   m_directory, environment);
    }

    X11Session& X() {
        if (!m_x) {
            m_x = std::make_unique<X11Session>();
        }
        return *m_x;
    }

    // Polls for a window of the program whose title starts with titlePrefix. Returns nothing
    // when the deadline passes or the program ends first.
    std::optional<TopLevelWindow> WaitForWindow(const std::string& titlePrefix,
                                                std::chrono::seconds timeout = kStartTimeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline && !m_program->PollExit()) {
            if (std::optional<TopLevelWindow> window =
                    X().FindWindow(m_program->GetPid(), titlePrefix)) {
                return window;
            }
            std::this_thread::sleep_for(kPollInterval);
        }
        return std::nullopt;
    }

    QImage GrabRenderArea(const TopLevelWindow& window) {
        return X().GrabScreen(kRenderArea.translated(window.geometry.topLeft()));
    }

    // Polls the render area until what it shows satisfies the condition; returns the last
    // picture seen either way, after saving it for inspection when the condition never held.
    RenderedPicture WaitForPicture(const TopLevelWindow& window,
                                   const std::function<bool(const RenderedPicture&)>& condition,
                                   const std::string& name) {
        const auto deadline = Clock::now() + kPictureTimeout;
        QImage image;
        RenderedPicture picture;
        do {
            image = GrabRenderArea(window);
            picture = Analyse(image);
            if (condition(picture)) {
                return picture;
            }
            std::this_thread::sleep_for(kPollInterval);
        } while (Clock::now() < deadline && !m_program->PollExit());
        SaveForInspection(image, name);
        return picture;
    }

    void SaveForInspection(const QImage& image, const std::string& name) {
        const std::filesystem::path path =
            std::filesystem::path(AVIDRIFT_E2E_OUTPUT_DIR) /
            (testing::UnitTest::GetInstance()->current_test_info()->name() + std::string("-") +
             name + ".png");
        image.save(QString::fromStdString(path.string()));
        std::cerr << "last picture saved as " << path << "\n";
    }

    // The user's way out: the close request of a window manager. The program must answer it by
    // stopping its threads and ending with 0.
    void CloseAndExpectCleanExit(const TopLevelWindow& window) {
        ASSERT_FALSE(m_program->PollExit()) << "the program ended before it was asked to";
        X().RequestClose(window.id);
        const std::optional<ExitStatus> status = m_program->WaitForExit(kExitTimeout);
        ASSERT_TRUE(status) << "the program still runs " << kExitTimeout.count()
                            << " s after the close request";
        EXPECT_TRUE(status->IsCleanExit()) << status->Describe();
        EXPECT_EQ(m_program->ReadStandardError().find("LeakSanitizer"), std::string::npos)
            << m_program->ReadStandardError();
        EXPECT_EQ(m_program->ReadStandardError().find("avidrift:"), std::string::npos)
            << "the program reported an error:\n"
            << m_program->ReadStandardError();
    }

    bool Xdotool(const std::vector<std::string>& arguments) {
        return RunXdotool(arguments, m_directory);
    }

    bool PressLeftButtonAt(const QPoint& point) {
        m_leftButtonHeld = true;
        return Xdotool(
            {"mousemove", std::to_string(point.x()), std::to_string(point.y()), "mousedown", "1"});
    }

    bool ReleaseLeftButton() {
        m_leftButtonHeld = false;
        return Xdotool({"mouseup", "1"});
    }

    std::filesystem::path m_directory;
    std::unique_ptr<ChildProcess> m_program;
    std::unique_ptr<X11Session> m_x;
    bool m_leftButtonHeld = false;
};

// The happy path: the program runs with its real inputs.
class ProgramWindow : public ProgramTest {
protected:
    TopLevelWindow StartAndWaitForWindow() {
        Start();
        std::optional<TopLevelWindow> window = WaitForWindow(kMainTitle);
        if (!window) {
            ADD_FAILURE() << "no window titled \"" << kMainTitle << "\" within "
                          << kStartTimeout.count() << " s";
            return {};
        }
        EXPECT_EQ(window->title, kMainTitle);
        EXPECT_EQ(window->geometry.size(), kWindowSize);
        return *window;
    }

    // A flock drawn over the cleared frame, with the two timing lines.
    static bool ShowsFlock(const RenderedPicture& picture) {
        const int area = kRenderArea.width() * kRenderArea.height();
        return picture.background > area / 2 && picture.boids >= 100 && picture.overlayText >= 200;
    }

    // Types the size into "Flock size" as a user would: click into the field, select what it
    // holds, type the digits, confirm.
    void TypeFlockSize(const TopLevelWindow& window, int size) {
        const QPoint field = window.geometry.topLeft() + kFlockSizeField;
        // Without a window manager nobody gives the window the keyboard focus on a click.
        X().Focus(window.id);
        std::vector<std::string> arguments{
            "mousemove", std::to_string(field.x()), std::to_string(field.y()), "click", "1", "key",
            "ctrl+a"};
        for (const char digit : std::to_string(size)) {
            arguments.emplace_back(1, digit);
        }
        arguments.emplace_back("Return");
        ASSERT_TRUE(Xdotool(arguments));
    }

    // Types kTypedFlockSize into "Flock size" and waits until the larger flock is drawn.
    RenderedPicture TypeFlockSizeAndWait(const TopLevelWindow& window,
                                         const RenderedPicture& singleBoid) {
        TypeFlockSize(window, kTypedFlockSize);
        const RenderedPicture large = WaitForPicture(
            window,
            [](const RenderedPicture& picture) { return picture.boids >= kTypedFlockPixels; },
            "large-flock");
        EXPECT_GE(large.boids, kTypedFlockPixels)
            << "one boid: " << singleBoid << ", typed: " << large;
        return large;
    }

    // Starts the program and waits for its first picture, which shows the initial single boid.
    std::optional<std::pair<TopLevelWindow, RenderedPicture>> StartAndWaitForFlock() {
        const TopLevelWindow window = StartAndWaitForWindow();
        if (window.id == 0) {
            return std::nullopt;
        }
        const RenderedPicture picture = WaitForPicture(window, ShowsFlock, "flock");
        EXPECT_TRUE(ShowsFlock(picture)) << picture;
        if (!ShowsFlock(picture)) {
            return std::nullopt;
        }
        return std::make_pair(window, picture);
    }

    // Polls until the render area shows something else than previous: a new frame.
    QImage WaitForNewFrame(const TopLevelWindow& window, const QImage& previous) {
        const auto deadline = Clock::now() + kFrameTimeout;
        QImage image = GrabRenderArea(window);
        while (image == previous && Clock::now() < deadline && !m_program->PollExit()) {
            std::this_thread::sleep_for(kPollInterval);
            image = GrabRenderArea(window);
        }
        return image;
    }
};

TEST_F(ProgramWindow, ShowsTheFlockAndExitsWithZeroWhenClosed) {
    const auto started = StartAndWaitForFlock();
    ASSERT_TRUE(started);
    CloseAndExpectCleanExit(started->first);
}

TEST_F(ProgramWindow, FlockSizeTypedIntoTheSettingsTakesEffect) {
    const auto started = StartAndWaitForFlock();
    ASSERT_TRUE(started);
    const auto& [window, singleBoid] = *started;
    TypeFlockSizeAndWait(window, singleBoid);
    ASSERT_FALSE(HasFailure());
    CloseAndExpectCleanExit(window);
}

// Seen from the front, the trefoil knot that the flock follows is about as wide as high; seen
// from the side, after a quarter turn of the camera about the vertical axis, it is a third as
// wide (the flock of teapots about half). The boids soon leave the knot, but the flock stays
// flat, so while the camera orbits, the flock's width swings between the two twice per turn;
// without an orbit it stays near the first.
TEST_F(ProgramWindow, LeftDragOrbitsTheCameraAboutTheVerticalAxis) {
    const auto started = StartAndWaitForFlock();
    ASSERT_TRUE(started);
    const auto& [window, singleBoid] = *started;
    const RenderedPicture front = TypeFlockSizeAndWait(window, singleBoid);
    ASSERT_FALSE(HasFailure());
    ASSERT_GT(front.Aspect(), 0.8) << front;

    // One long drag to the right rather than many short ones: the window reports every move
    // relative to the last one it reported, also across a release, so short drags that each
    // start where the first did would move by nothing. Every move event turns the camera by 20
    // degrees per second of the logic's last step, however far the mouse went. One event per
    // drawn frame keeps each turn well below the range of angles in which the flock looks
    // narrow, so the sampling cannot step over it; and a busy program cannot merge two events
    // into one (as Qt does with moves that queue up), which would halve the turn.
    const QPoint start = window.geometry.topLeft() + kRenderArea.topLeft() + QPoint(20, 300);
    const int end = start.x() + kRenderArea.width() - 40;
    ASSERT_TRUE(PressLeftButtonAt(start));
    const auto deadline = Clock::now() + 2 * kPictureTimeout;
    RenderedPicture narrowest = front;
    QImage image = GrabRenderArea(window);
    for (int x = start.x() + 2; x <= end && Clock::now() < deadline &&
                                narrowest.Aspect() >= kNarrowAspect * front.Aspect();
         x += 2) {
        ASSERT_TRUE(Xdotool({"mousemove", std::to_string(x), std::to_string(start.y())}));
        image = WaitForNewFrame(window, image);
        const RenderedPicture picture = Analyse(image);
        if (picture.boids >= front.boids / 2 && picture.Aspect() < narrowest.Aspect()) {
            narrowest = picture;
        }
    }
    ASSERT_TRUE(ReleaseLeftButton());
    if (narrowest.Aspect() >= kNarrowAspect * front.Aspect()) {
        SaveForInspection(image, "orbit");
    }
    EXPECT_LT(narrowest.Aspect(), kNarrowAspect * front.Aspect())
        << "from the front: " << front << ", narrowest while dragging: " << narrowest;
    CloseAndExpectCleanExit(window);
}

// Boids start slow (blue) and speed up as they chase their targets along the knot (orange).
// Also leaves a picture of the whole window in the build tree, for the documentation.
TEST_F(ProgramWindow, BoidsThatSpeedUpTurnOrange) {
    const auto started = StartAndWaitForFlock();
    ASSERT_TRUE(started);
    const auto& [window, singleBoid] = *started;
    TypeFlockSizeAndWait(window, singleBoid);
    ASSERT_FALSE(HasFailure());
    // Some frames of flight take the flock off its initial places, so that the picture shows it
    // moving rather than as placed.
    QImage image = GrabRenderArea(window);
    for (int frame = 0; frame < 10; ++frame) {
        image = WaitForNewFrame(window, image);
    }
    const RenderedPicture coloured = WaitForPicture(
        window, [](const RenderedPicture& picture) { return picture.warmBoids >= 2000; }, "orange");
    EXPECT_GE(coloured.warmBoids, 2000) << coloured;

    const QImage screenshot = X().GrabScreen(window.geometry);
    EXPECT_EQ(screenshot.size(), kWindowSize);
    const std::filesystem::path path =
        std::filesystem::path(AVIDRIFT_E2E_OUTPUT_DIR) / "screenshot.png";
    EXPECT_TRUE(screenshot.save(QString::fromStdString(path.string()))) << path;
    CloseAndExpectCleanExit(window);
}

// A file the program needs is missing or broken.
struct BrokenInput {
    const char* name;
    std::function<void(const std::filesystem::path& directory)> breakInput;
    // The caption of the error box, which is the system's error text; empty where the system's
    // last error is not part of the failure.
    std::string caption;
    // The thrower's message, below the word "Exception": the whole line, or its start.
    std::string message;
    bool messageIsPrefix;
    // Whether the failure comes before the main window could be shown.
    bool beforeMainWindow;
    // Added to the X session's environment, to take a capability away from Mesa.
    ChildProcess::EnvironmentChanges environment = {};
};

std::ostream& operator<<(std::ostream& out, const BrokenInput& input) {
    return out << input.name;
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
}

class ProgramFailure : public ProgramTest, public testing::WithParamInterface<BrokenInput> {};

// The program reports the failure in one error box (and on standard error), after it has
// stopped its threads and closed its main window, and ends with 0 once the box is dismissed.
TEST_P(ProgramFailure, ShowsOneErrorBoxThenExitsWithZero) {
    const BrokenInput& input = GetParam();
    input.breakInput(m_directory);
    ChildProcess::EnvironmentChanges environment = X11Environment();
    environment.insert(input.environment.begin(), input.environment.end());
    Start(environment);

    // The report goes to standard error just before the box opens: "avidrift: <caption>:
    // Exception", then the thrower's message. Its first line names the box to look for.
    const std::string marker = "avidrift: ";
    const std::string bodyWord = ": Exception";
    std::string head;
    bool mainWindowSeen = false;
    const auto deadline = Clock::now() + kPictureTimeout;
    while (head.empty() && Clock::now() < deadline && !m_program->PollExit()) {
        mainWindowSeen = mainWindowSeen || X().FindWindow(m_program->GetPid(), kMainTitle);
        // A line feed in front lets a report on the first line be found like any other.
        std::string error = "\n";
        error += m_program->ReadStandardError();
        const std::size_t start = error.find("\n" + marker);
        const std::size_t end =
            start == std::string::npos ? std::string::npos : error.find('\n', start + 1);
        if (end != std::string::npos) {
            head = error.substr(start + 1, end - start - 1);
        } else {
            std::this_thread::sleep_for(kPollInterval);
        }
    }
    ASSERT_FALSE(head.empty()) << "no error report on standard error";
    ASSERT_GE(head.size(), marker.size() + bodyWord.size()) << head;
    ASSERT_EQ(head.substr(head.size() - bodyWord.size()), bodyWord) << head;
    const std::string caption =
        head.substr(marker.size(), head.size() - marker.size() - bodyWord.size());
    if (!input.caption.empty()) {
        EXPECT_EQ(caption, input.caption);
    }

    const std::optional<TopLevelWindow> box = WaitForWindow(caption);
    ASSERT_TRUE(box) << "no error box titled \"" << caption << "\"";
    EXPECT_EQ(box->title, caption);
    // With the box open, the whole report has been written.
    const std::vector<std::string> lines = Lines(m_program->ReadStandardError());
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& line) { return line.rfind(marker, 0) == 0; }),
              1)
        << "more than one failure reported";
    const auto report = std::find(lines.begin(), lines.end(), head);
    ASSERT_NE(report, lines.end());
    ASSERT_NE(std::next(report), lines.end()) << "no message below \"Exception\"";
    const std::string& message = *std::next(report);
    if (input.messageIsPrefix) {
        EXPECT_EQ(message.rfind(input.message, 0), 0u) << message;
    } else {
        EXPECT_EQ(message, input.message);
    }
    // The run has ended, its threads joined and its window destroyed, before the box opens.
    EXPECT_FALSE(X().FindWindow(m_program->GetPid(), kMainTitle))
        << "the main window is still open beside the error box";
    if (input.beforeMainWindow) {
        EXPECT_FALSE(mainWindowSeen) << "the main window was shown before the failure";
    }
    EXPECT_EQ(X().FindWindows(m_program->GetPid(), "").size(), 1u)
        << "the error box is not the program's only window";

    // Return presses the box's one button. A key pressed before Qt has taken the focus for the
    // new box would be lost, so the press is repeated until the program ends.
    const auto dismissDeadline = Clock::now() + kExitTimeout;
    std::optional<ExitStatus> status;
    while (!status && Clock::now() < dismissDeadline) {
        if (X().FindWindow(m_program->GetPid(), caption)) {
            X().Focus(box->id);
        }
        ASSERT_TRUE(Xdotool({"key", "Return"}));
        status = m_program->WaitForExit(3s);
    }
    ASSERT_TRUE(status) << "the program still runs after Return on its error box";
    EXPECT_TRUE(status->IsCleanExit()) << status->Describe();
}

const std::string kNoSuchFile = std::strerror(ENOENT);

INSTANTIATE_TEST_SUITE_P(
    BrokenInputs, ProgramFailure,
    testing::Values(BrokenInput{"MissingMesh",
                                [](const std::filesystem::path& d) {
                                    std::filesystem::remove(d / "data/teapot.obj");
                                },
                                kNoSuchFile, "No such a file", false, true},
                    BrokenInput{"MeshWithTooFewNumbers",
                                [](const std::filesystem::path& d) {
                                    WriteFile(d / "data/teapot.obj", "v 0 0 0\nv 1 2\n");
                                },
                                "", "Too few numbers at line 2", false, true},
                    BrokenInput{"MissingVertexShader",
                                [](const std::filesystem::path& d) {
                                    std::filesystem::remove(d / "glsl/vertexShader.glsl");
                                },
                                kNoSuchFile, "Shader file couldn't be loaded.", false, false},
                    BrokenInput{"MissingPixelShader",
                                [](const std::filesystem::path& d) {
                                    std::filesystem::remove(d / "glsl/pixelShader.glsl");
                                },
                                kNoSuchFile, "Shader file couldn't be loaded.", false, false},
                    BrokenInput{
                        "VertexShaderWithSyntaxError",
                        [](const std::filesystem::path& d) {
                            WriteFile(
                                d / "glsl/vertexShader.glsl",
                                "#version 120\nvoid main() {\n    gl_Position = gl_Vertex\n}\n");
                        },
                        "", "Compiling shader error: ", true, false},
                    BrokenInput{"NoFloatTextures",
                                [](const std::filesystem::path&) {},
                                "",
                                "ARB_texture_float not supported",
                                false,
                                false,
                                {{"MESA_EXTENSION_OVERRIDE", "-GL_ARB_texture_float"}}}),
    [](const testing::TestParamInfo<BrokenInput>& parameter) {
        return std::string(parameter.param.name);
    });

// Where the program cannot open a window at all.
struct NoWindowSystem {
    const char* name;
    ChildProcess::EnvironmentChanges environment;
    // What the one line must mention for the user to know what to change.
    std::string hint;
};

std::ostream& operator<<(std::ostream& out, const NoWindowSystem& system) {
    return out << system.name;
}

class ProgramWithoutX11 : public ProgramTest, public testing::WithParamInterface<NoWindowSystem> {};

TEST_P(ProgramWithoutX11, PrintsOneLineAndExitsWithZero) {
    Start(GetParam().environment);
    const std::optional<ExitStatus> status = m_program->WaitForExit(kExitTimeout);
    ASSERT_TRUE(status) << "the program still runs after " << kExitTimeout.count() << " s";
    EXPECT_TRUE(status->IsCleanExit()) << status->Describe();
    const std::string error = m_program->ReadStandardError();
    const std::vector<std::string> lines = Lines(error);
    ASSERT_EQ(lines.size(), 1u) << error;
    EXPECT_EQ(error.back(), '\n');
    EXPECT_EQ(lines[0].rfind("avidrift: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(GetParam().hint), std::string::npos) << lines[0];
    EXPECT_EQ(m_program->ReadStandardOutput(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Environments, ProgramWithoutX11,
    testing::Values(
        NoWindowSystem{"DisplayThatDoesNotExist",
                       {{"DISPLAY", ":987"}, {"QT_QPA_PLATFORM", std::nullopt}},
                       "DISPLAY"},
        NoWindowSystem{"DisplayUnset",
                       {{"DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", std::nullopt}},
                       "DISPLAY"},
        NoWindowSystem{"OffscreenPlatform", {{"QT_QPA_PLATFORM", "offscreen"}}, "QT_QPA_PLATFORM"}),
    [](const testing::TestParamInfo<NoWindowSystem>& parameter) {
        return std::string(parameter.param.name);
    });

}  // namespace
}  // namespace AvidriftEndToEnd
