#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace AvidriftEndToEnd {

// How a child ended, as waitpid reports it.
struct ExitStatus {
    bool exited = false;  // false: killed by a signal
    int code = 0;         // the exit code, or the signal number when !exited

    bool IsCleanExit() const { return exited && code == 0; }
    std::string Describe() const;
};

// A program started by the test, its standard output and error in files of its working
// directory. It dies with the test process (PR_SET_PDEATHSIG), so a crashed or killed test leaves
// nothing running on the shared X server; the destructor kills a child still running.
class ChildProcess {
public:
    // Variables to set (a value) or remove (std::nullopt) in the child's environment.
    using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

    // Starts arguments[0] (searched in PATH) in workingDirectory; output goes to files named
    // after outputName. Throws std::runtime_error when the program cannot be started.
    ChildProcess(const std::vector<std::string>& arguments,
                 const std::filesystem::path& workingDirectory,
                 const EnvironmentChanges& environment = {},
                 const std::string& outputName = "program");
    ~ChildProcess() { Kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t GetPid() const { return m_pid; }
    // Polls until the child has ended or the timeout has passed; std::nullopt if it still runs.
    std::optional<ExitStatus> WaitForExit(std::chrono::milliseconds timeout);
    std::optional<ExitStatus> PollExit() { return WaitForExit(std::chrono::milliseconds(0)); }
    // SIGKILL and reap; does nothing once the child has been reaped.
    void Kill();
    std::string ReadStandardError() const;
    std::string ReadStandardOutput() const;

private:
    pid_t m_pid = -1;
    std::optional<ExitStatus> m_status;
    std::filesystem::path m_output;
};

// Runs xdotool, whose XTEST input Qt cannot tell from a real mouse and keyboard (events sent with
// XSendEvent carry a flag that toolkits may ignore). False when it fails or hangs.
bool RunXdotool(const std::vector<std::string>& arguments,
                const std::filesystem::path& workingDirectory);

}  // namespace AvidriftEndToEnd
