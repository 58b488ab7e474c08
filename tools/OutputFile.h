#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>

namespace Avidrift {

// A file that could not be written; what() is "cannot write 'FILE': REASON", the reason that of
// the call that failed.
class OutputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An output written as FILE.part, flushed to the disk and renamed over FILE only when whole: a
// reader, a rerun after a crash or the user whose FILE a failed run would have replaced sees the
// old file or the whole new one, never a part. Dropped without Commit, the .part is removed.
class OutputFile {
public:
    // Creates FILE.part, so an output that cannot be written is known before any work. Throws
    // OutputError.
    explicit OutputFile(std::string path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Throws OutputError as soon as a write fails.
    void Write(std::string_view text);
    // Flushes, syncs and renames; throws OutputError.
    void Commit();

    const std::string& GetPath() const { return m_path; }

private:
    [[noreturn]] void Fail(int error);

    std::string m_path;
    std::string m_part;
    std::FILE* m_file = nullptr;
};

// The whole text into path through an OutputFile.
void WriteWholeFile(const std::string& path, std::string_view text);

}  // namespace Avidrift
