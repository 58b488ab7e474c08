#include "OutputFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace Avidrift {

OutputFile::OutputFile(std::string path)
    : m_path(std::move(path)), m_part(m_path + ".part"), m_file(std::fopen(m_part.c_str(), "wb")) {
    if (m_file == nullptr) {
        throw OutputError("cannot write '" + m_path + "': " + std::strerror(errno));
    }
}

OutputFile::~OutputFile() {
    if (m_file != nullptr) {
        std::fclose(m_file);
        std::remove(m_part.c_str());
    }
}

void OutputFile::Fail(int error) {
    std::fclose(m_file);
    m_file = nullptr;
    std::remove(m_part.c_str());
    throw OutputError("cannot write '" + m_path + "': " + std::strerror(error));
}

void OutputFile::Write(std::string_view text) {
    if (std::fwrite(text.data(), 1, text.size(), m_file) != text.size()) {
        Fail(errno);
    }
}

void OutputFile::Commit() {
    if (std::fflush(m_file) != 0 || fsync(fileno(m_file)) != 0) {
        Fail(errno);
    }
    const int closed = std::fclose(m_file);
    const int error = errno;
    m_file = nullptr;
    if (closed != 0 || std::rename(m_part.c_str(), m_path.c_str()) != 0) {
        const int reason = closed != 0 ? error : errno;
        std::remove(m_part.c_str());
        throw OutputError("cannot write '" + m_path + "': " + std::strerror(reason));
    }
}

void WriteWholeFile(const std::string& path, std::string_view text) {
    OutputFile file(path);
    file.Write(text);
    file.Commit();
}

}  // namespace Avidrift
