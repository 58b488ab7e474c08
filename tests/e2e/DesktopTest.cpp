// The program as a desktop user meets it: in a Wayland session, and installed from a package
// and started from a menu, in a working directory that holds none of its files.

#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ProgramEnvironment.h"
#include "X11Session.h"

namespace AvidriftEndToEnd {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous for llvmpipe on two cores shared with the rest of the suite.
constexpr auto kStartTimeout = 60s;
constexpr auto kExitTimeout = 20s;

std::filesystem::path MakeTemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "avidrift-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    return pattern;
}

// Waits for the program's main window on the display x looks at, then closes it as a window
// manager would; the program must end with 0.
void ExpectWindowThenCleanExit(ChildProcess& program, X11Session& x) {
    std::optional<TopLevelWindow> window;
    const auto deadline = Clock::now() + kStartTimeout;
    while (!window && Clock::now() < deadline && !program.PollExit()) {
        window = x.FindWindow(program.GetPid(), "Avidrift - ");
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(window) << "no main window; standard error:\n" << program.ReadStandardError();
    x.RequestClose(window->id);
    const std::optional<ExitStatus> status = program.WaitForExit(kExitTimeout);
    ASSERT_TRUE(status) << "the program still runs after the close request";
    EXPECT_TRUE(status->IsCleanExit()) << status->Describe() << "\n" << program.ReadStandardError();
}

// A Wayland session of its own: headless Weston, which starts Xwayland for X clients, in a
// runtime directory of its own. Qt would choose its wayland platform here.
class WaylandSession : public testing::Test {
protected:
    void SetUp() override {
        m_directory = MakeTemporaryDirectory();  // mode 0700, as Wayland wants its runtime dir
        for (const char* input : {"data", "glsl"}) {
            std::filesystem::copy(std::filesystem::path(AVIDRIFT_SOURCE_DIR) / input,
                                  m_directory / input, std::filesystem::copy_options::recursive);
        }
        // Xwayland puts its socket there; an X server usually made it already.
        if (std::filesystem::create_directory("/tmp/.X11-unix")) {
            std::filesystem::permissions(
                "/tmp/.X11-unix", std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
        }
        m_weston = std::make_unique<ChildProcess>(
            std::vector<std::string>{"weston", "--backend=headless-backend.so", "--xwayland",
                                     "--idle-time=0", "--socket=" + m_socket},
            m_directory,
            ChildProcess::EnvironmentChanges{{"XDG_RUNTIME_DIR", m_directory.string()},
                                             {"WAYLAND_DISPLAY", std::nullopt},
                                             {"DISPLAY", std::nullopt}},
            "weston");
        // Weston picks a free X display number and logs it.
        const std::regex listening("xserver listening on display (:[0-9]+)");
        std::smatch match;
        const auto deadline = Clock::now() + kStartTimeout;
        std::string log;
        while (Clock::now() < deadline && !m_weston->PollExit()) {
            log = m_weston->ReadStandardError();
            if (std::regex_search(log, match, listening)) {
                m_xwaylandDisplay = match[1];
                return;
            }
            std::this_thread::sleep_for(100ms);
        }
        FAIL() << "Weston opened no Xwayland display; its log:\n" << log;
    }

    void TearDown() override {
        // Weston stops its Xwayland as it ends, which it does cleanly only on SIGTERM.
        if (m_weston) {
            kill(m_weston->GetPid(), SIGTERM);
            if (!m_weston->WaitForExit(kExitTimeout)) {
                m_weston->Kill();
            }
        }
        std::filesystem::remove_all(m_directory);
    }

    std::filesystem::path m_directory;
    const std::string m_socket = "avidrift-test-" + std::to_string(getpid());
    std::unique_ptr<ChildProcess> m_weston;
    std::string m_xwaylandDisplay;
};

TEST_F(WaylandSession, ProgramRunsThroughXwaylandAndExitsWithZeroWhenClosed) {
    ChildProcess::EnvironmentChanges environment = ProgramEnvironment();
    environment["XDG_RUNTIME_DIR"] = m_directory.string();
    environment["WAYLAND_DISPLAY"] = m_socket;
    environment["XDG_SESSION_TYPE"] = "wayland";
    environment["DISPLAY"] = m_xwaylandDisplay;
    ChildProcess program({AVIDRIFT_PROGRAM}, m_directory, environment);
    X11Session x(m_xwaylandDisplay);
    ExpectWindowThenCleanExit(program, x);
}

// Installed as the package installs it, the program finds its mesh and shaders beside its
// executable when the working directory has none.
TEST(InstalledProgram, RunsFromAnotherDirectoryAndExitsWithZeroWhenClosed) {
    const std::filesystem::path directory = MakeTemporaryDirectory();
    const std::filesystem::path root = directory / "root";
    ChildProcess install({AVIDRIFT_CMAKE, "--install", AVIDRIFT_BINARY_DIR, "--prefix", "/usr"},
                         directory, {{"DESTDIR", root.string()}}, "install");
    const std::optional<ExitStatus> installed = install.WaitForExit(120s);
    ASSERT_TRUE(installed && installed->IsCleanExit()) << install.ReadStandardError();

    const std::filesystem::path home = directory / "home";
    std::filesystem::create_directory(home);
    ChildProcess program({(root / "usr/bin/avidrift").string()}, home, ProgramEnvironment());
    X11Session x;
    ExpectWindowThenCleanExit(program, x);
    if (!testing::Test::HasFailure()) {
        std::filesystem::remove_all(directory);
    }
}

}  // namespace
}  // namespace AvidriftEndToEnd
