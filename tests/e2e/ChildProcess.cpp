#include "ChildProcess.h"

#include <fcntl.h>
#include <link.h>
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

std::string Describe(int status) {
    return WIFEXITED(status) ? "exit code " + std::to_string(WEXITSTATUS(status))
                             : std::string("signal ") + strsignal(WTERMSIG(status));
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           const std::filesystem::path& workingDirectory,
                           const EnvironmentChanges& environment, const std::string& outputName)
    : m_output(workingDirectory / (outputName + ".out")) {
    std::vector<std::string> strings = arguments;
    const std::size_t argumentCount = strings.size();
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable(*entry);
        if (!environment.contains(variable.substr(0, variable.find('=')))) {
            strings.push_back(variable);
        }
    }
    for (const auto& [name, value] : environment) {
        if (value) {
            strings.push_back(name + "=" + *value);
        }
    }
    std::vector<char*> argv;
    for (std::string& text : strings) {
        argv.push_back(text.data());
    }
    argv.insert(argv.begin() + static_cast<std::ptrdiff_t>(argumentCount), nullptr);
    argv.push_back(nullptr);
    const std::string directory = workingDirectory.string();
    const std::string output = m_output.string();
    const pid_t parent = getpid();
    m_pid = fork();
    if (m_pid < 0) {
        throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    }
    if (m_pid == 0) {
        // Only async-signal-safe calls until exec; the parent may have died before the death
        // signal was armed; 127 is a shell's "could not run".
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (getppid() != parent || out < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(out, 2) < 0 || chdir(directory.c_str()) != 0) {
            _exit(127);
        }
        execvpe(argv[0], argv.data(), argv.data() + argumentCount + 1);
        _exit(127);
    }
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (int status = 0;; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        if (!m_status && waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_status = status;
        }
        if (m_status || std::chrono::steady_clock::now() >= deadline) {
            return m_status;
        }
    }
}

void ChildProcess::Kill() {
    for (const int signal : {SIGTERM, SIGKILL}) {
        if (m_pid > 0 && !WaitForExit()) {
            kill(m_pid, signal);
            WaitForExit(std::chrono::seconds(20));
        }
    }
}

std::string ChildProcess::ReadOutput() const {
    std::ostringstream text;
    text << std::ifstream(m_output, std::ios::binary).rdbuf();
    return text.str();
}

bool RunXdotool(const std::vector<std::string>& arguments,
                const std::filesystem::path& workingDirectory) {
    std::vector<std::string> command{"xdotool"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ChildProcess xdotool(command, workingDirectory, {}, "xdotool");
    return xdotool.WaitForExit(std::chrono::seconds(20)) == 0;
}

ChildProcess::EnvironmentChanges ProgramEnvironment() {
    ChildProcess::EnvironmentChanges environment{{"QT_QPA_PLATFORM", std::nullopt}};
#if defined(__SANITIZE_ADDRESS__)
    // Mesa unloads its driver when the render thread closes its display, and blocks only the
    // driver's globals pointed to would then count as leaks: preloading the driver keeps it
    // loaded. The sanitizer's runtime must come first among the preloaded libraries.
    std::string preload;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* found) {
            const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            if (name.find("libasan.so") != std::string::npos) {
                *static_cast<std::string*>(found) = name + ":";
            }
            return 0;
        },
        &preload);
    for (const char* driver : {"/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so",
                               "/usr/lib64/dri/swrast_dri.so", "/usr/lib/dri/swrast_dri.so"}) {
        if (std::filesystem::exists(driver)) {
            preload += driver;
            break;
        }
    }
    environment["LD_PRELOAD"] = preload;
    environment["LSAN_OPTIONS"] = "suppressions=" AVIDRIFT_SOURCE_DIR "/tests/lsan.supp";
#endif
    return environment;
}

}  // namespace AvidriftEndToEnd
