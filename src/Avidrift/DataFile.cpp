#include "Avidrift/DataFile.h"

#include <filesystem>
#include <system_error>

#include "Quellon/Text.h"

namespace Avidrift {

namespace {

// Relative to the executable, so that any installation prefix works without being built in.
constexpr const char* kInstalledDataDirectory = "../share/avidrift";

}  // namespace

std::wstring FindDataFile(const std::wstring& relativePath) {
    // Paths go through UTF-8 explicitly: a wide path would be converted with the C locale,
    // which fails on any non-ASCII name.
    const std::filesystem::path relative(Quellon::WideToUtf8(relativePath));
    std::error_code error;
    if (std::filesystem::exists(relative, error)) {
        return relativePath;
    }
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return relativePath;
    }
    const std::filesystem::path installed =
        (executable.parent_path() / kInstalledDataDirectory / relative).lexically_normal();
    if (!std::filesystem::exists(installed, error)) {
        return relativePath;
    }
    return Quellon::Utf8ToWide(installed.string());
}

}  // namespace Avidrift
