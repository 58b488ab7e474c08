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

std::vector<char*> PointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

}  // namespace

std::string ExitStatus::Describe() const {
    return exited ? "exit code " + std::to_string(code)
                  : "signal " + std::to_string(code) + " (" + strsignal(code) + ")";
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           const std::filesystem::path& workingDirectory,
                           const EnvironmentChanges& environment, const std::string& outputName)
    : m_output(workingDirectory / outputName) {
    std::vector<std::string> argumentCopies = arguments;
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable(*entry);
        if (!environment.contains(variable.substr(0, variable.find('=')))) {
            variables.push_back(variable);
        }
    }
    for (const auto& [name, value] : environment) {
        if (value) {
            variables.push_back(name + "=" + *value);
        }
    }
    const std::vector<char*> argv = PointersTo(argumentCopies);
    const std::vector<char*> envp = PointersTo(variables);
    const std::string directory = workingDirectory.string();
    const std::string output = m_output.string() + ".stdout";
    const std::string error = m_output.string() + ".stderr";
    const pid_t parent = getpid();
    m_pid = fork();
    if (m_pid < 0) {
        throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    }
    if (m_pid == 0) {
        // Only async-signal-safe calls until exec; 127 is a shell's "could not run".
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = open(error.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        // The parent may have died before the death signal was armed.
        if (getppid() != parent || out < 0 || err < 0 || in < 0 || dup2(in, 0) < 0 ||
            dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(directory.c_str()) != 0) {
            _exit(127);
        }
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
}

std::optional<ExitStatus> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        if (!m_status && waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_status = WIFEXITED(status) ? ExitStatus{true, WEXITSTATUS(status)}
                                         : ExitStatus{false, WTERMSIG(status)};
        }
        if (m_status || std::chrono::steady_clock::now() >= deadline) {
            return m_status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void ChildProcess::Kill() {
    if (m_pid > 0 && !PollExit()) {
        kill(m_pid, SIGKILL);
        WaitForExit(std::chrono::seconds(10));
    }
}

std::string ChildProcess::ReadStandardError() const {
    return ReadWholeFile(m_output.string() + ".stderr");
}

std::string ChildProcess::ReadStandardOutput() const {
    return ReadWholeFile(m_output.string() + ".stdout");
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
