#pragma once

#include <link.h>

#include <filesystem>
#include <string>

#include "ChildProcess.h"

namespace AvidriftEndToEnd {

#if defined(__SANITIZE_ADDRESS__)
// Mesa unloads its driver when the render thread closes its display, and the blocks that only
// the driver's globals pointed to would then be reported as leaks with no module left to name
// them. Preloading the driver keeps it loaded to the end, its globals still reachable. The
// sanitizer's runtime must come first among the preloaded libraries.
inline std::string LeakCheckPreload() {
    std::string runtime;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* found) {
            const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            if (name.find("libasan.so") != std::string::npos) {
                *static_cast<std::string*>(found) = name;
            }
            return 0;
        },
        &runtime);
    std::string preload = runtime;
    for (const char* driver : {"/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so",
                               "/usr/lib64/dri/swrast_dri.so", "/usr/lib/dri/swrast_dri.so"}) {
        if (std::filesystem::exists(driver)) {
            preload += std::string(preload.empty() ? "" : ":") + driver;
            break;
        }
    }
    return preload;
}
#endif

// The environment of an X session for the program under test: the inherited DISPLAY and Qt's
// default platform. In an AddressSanitizer build the program also runs under LeakSanitizer,
// which turns any leak into a failed exit status.
inline ChildProcess::EnvironmentChanges ProgramEnvironment() {
    ChildProcess::EnvironmentChanges environment{{"QT_QPA_PLATFORM", std::nullopt}};
#if defined(__SANITIZE_ADDRESS__)
    environment["LSAN_OPTIONS"] = "suppressions=" AVIDRIFT_SOURCE_DIR "/tests/lsan.supp";
    environment["LD_PRELOAD"] = LeakCheckPreload();
#endif
    return environment;
}

}  // namespace AvidriftEndToEnd
