#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace AvidriftEndToEnd {

// A waitpid status (0 for a clean exit) in words.
std::string Describe(int status);

// A program started by the test, standard output and error in one file of its working
// directory. It dies with the test process (PR_SET_PDEATHSIG), so a crashed test leaves nothing
// running on the shared X server.
class ChildProcess {
public:
    // Variables to set (a value) or remove (std::nullopt) in the child's environment.
    using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

    // Throws std::runtime_error when the child cannot be forked.
    ChildProcess(const std::vector<std::string>& arguments,
                 const std::filesystem::path& workingDirectory,
                 const EnvironmentChanges& environment = {},
                 const std::string& outputName = "program");
    ~ChildProcess() { Kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t GetPid() const { return m_pid; }
    // Polls until the child has ended or the timeout has passed: its waitpid status, if it ended.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout = {});
    // SIGTERM (Weston stops its Xwayland cleanly only then), SIGKILL if that does not end it.
    void Kill();
    std::string ReadOutput() const;

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
    std::filesystem::path m_output;
};

// Runs xdotool, whose XTEST input Qt cannot tell from a real mouse and keyboard (XSendEvent
// events carry a flag that toolkits may ignore). False when it fails or hangs.
bool RunXdotool(const std::vector<std::string>& arguments,
                const std::filesystem::path& workingDirectory);

// The inherited DISPLAY and Qt's default platform; under AddressSanitizer also LeakSanitizer,
// which turns any leak of the program into a failed exit status.
ChildProcess::EnvironmentChanges ProgramEnvironment();

}  // namespace AvidriftEndToEnd
