#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace AvidriftEndToEnd {

namespace {

constexpr std::chrono::milliseconds kPollInterval(20);

ExitStatus FromWaitStatus(int status) {
    ExitStatus result;
    if (WIFEXITED(status)) {
        result.exited = true;
        result.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.code = WTERMSIG(status);
    }
    return result;
}

std::vector<std::string> ChangedEnvironment(const ChildProcess::EnvironmentChanges& changes) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable(*entry);
        const std::string name = variable.substr(0, variable.find('='));
        if (changes.find(name) == changes.end()) {
            result.push_back(variable);
        }
    }
    for (const auto& [name, value] : changes) {
        if (value) {
            result.push_back(name + "=" + *value);
        }
    }
    return result;
}

std::vector<char*> PointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Between fork and exec only async-signal-safe calls are allowed, so every failure is reported
// by exit code alone; 127 is what a shell reports for a program it could not run.
[[noreturn]] void ExecChild(const char* workingDirectory, const char* standardOutput,
                            const char* standardError, char** argv, char** envp, pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have died before the line above took effect.
    if (getppid() != parent) {
        _exit(127);
    }
    const int output = open(standardOutput, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int error = open(standardError, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (output < 0 || error < 0 || input < 0 || dup2(input, 0) < 0 || dup2(output, 1) < 0 ||
        dup2(error, 2) < 0 || chdir(workingDirectory) != 0) {
        _exit(127);
    }
    // execvpe searches PATH as found in the parent, which is what a user's shell would do.
    execvpe(argv[0], argv, envp);
    _exit(127);
}

}  // namespace

std::string ExitStatus::Describe() const {
    return exited ? "exit code " + std::to_string(code)
                  : "signal " + std::to_string(code) + " (" + strsignal(code) + ")";
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           const std::filesystem::path& workingDirectory,
                           const EnvironmentChanges& environment, const std::string& outputName)
    : m_standardOutput(workingDirectory / (outputName + ".stdout")),
      m_standardError(workingDirectory / (outputName + ".stderr")) {
    if (arguments.empty()) {
        throw std::runtime_error("ChildProcess: no program given");
    }
    std::vector<std::string> argumentCopies = arguments;
    std::vector<std::string> environmentStrings = ChangedEnvironment(environment);
    std::vector<char*> argv = PointersTo(argumentCopies);
    std::vector<char*> envp = PointersTo(environmentStrings);
    const std::string directory = workingDirectory.string();
    const std::string output = m_standardOutput.string();
    const std::string error = m_standardError.string();
    const pid_t parent = getpid();

    m_pid = fork();
    if (m_pid < 0) {
        throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    }
    if (m_pid == 0) {
        ExecChild(directory.c_str(), output.c_str(), error.c_str(), argv.data(), envp.data(),
                  parent);
    }
}

ChildProcess::~ChildProcess() {
    Kill();
}

std::optional<ExitStatus> ChildProcess::PollExit() {
    if (!m_status) {
        int status = 0;
        const pid_t reaped = waitpid(m_pid, &status, WNOHANG);
        if (reaped == m_pid) {
            m_status = FromWaitStatus(status);
        }
    }
    return m_status;
}

std::optional<ExitStatus> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!PollExit() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kPollInterval);
    }
    return m_status;
}

void ChildProcess::Kill() {
    if (m_pid > 0 && !PollExit()) {
        kill(m_pid, SIGKILL);
        int status = 0;
        if (waitpid(m_pid, &status, 0) == m_pid) {
            m_status = FromWaitStatus(status);
        }
    }
}

std::string ChildProcess::ReadStandardError() const {
    return ReadWholeFile(m_standardError);
}

std::string ChildProcess::ReadStandardOutput() const {
    return ReadWholeFile(m_standardOutput);
}

bool RunXdotool(const std::vector<std::string>& arguments,
                const std::filesystem::path& workingDirectory) {
    std::vector<std::string> command{"xdotool"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ChildProcess xdotool(command, workingDirectory, {}, "xdotool");
    const std::optional<ExitStatus> status = xdotool.WaitForExit(std::chrono::seconds(20));
    return status && status->IsCleanExit();
}

}  // namespace AvidriftEndToEnd
