#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace Avidrift {

struct FlockData;

// A trajectory that cannot be written; what() is "cannot write 'FILE': REASON".
class TrajectoryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Who wrote a trajectory, for the file's /h5md group.
struct TrajectoryCreator {
    std::string name;     // the program: avidrift-sim, avidrift-sweep, the Python module
    std::string version;  // the project's version
    std::string author;   // empty: the login name of the user running the program
};

// Writes a flock's states as an H5MD 1.1 file, as they come: /particles/flock/{position,
// velocity,path_parameter} (frames x boids x 3, or frames x boids), the measures under
// /observables and the world in /parameters. Every frame is flushed as it is written, and the
// shared step and time datasets are extended only after the frame's values, so a run that is
// killed leaves a file that opens and holds every frame it claims. Not for concurrent use.
class TrajectoryWriter {
public:
    // Creates (or replaces) path for flock's boid count and writes what does not change: the
    // header, the box and flock's parameters and world. observables names the measures each
    // frame carries (empty: none). Flushed before it returns, so a file that cannot be written
    // throws TrajectoryError here, before any step.
    TrajectoryWriter(const std::string& path, const FlockData& flock,
                     const TrajectoryCreator& creator, std::vector<std::string> observables);
    ~TrajectoryWriter();
    TrajectoryWriter(const TrajectoryWriter&) = delete;
    TrajectoryWriter& operator=(const TrajectoryWriter&) = delete;

    // Appends flock's state at step (time in seconds) with one value per observable, and
    // flushes. Throws TrajectoryError; the file then still holds every earlier frame.
    void WriteFrame(std::int64_t step, double time, const FlockData& flock,
                    std::span<const double> observables);

    // Closes the file; throws TrajectoryError when what was buffered cannot be written. The
    // destructor closes without a word.
    void Close();

    const std::string& GetPath() const { return m_path; }
    std::uint64_t GetFrameCount() const { return m_frames; }

private:
    struct Handles;

    [[noreturn]] void Fail() const;
    // Takes the disk space the next frame can need, or throws TrajectoryError.
    void Reserve(std::size_t observables);

    std::string m_path;
    std::uint32_t m_boids = 0;
    std::uint64_t m_frames = 0;
    std::unique_ptr<Handles> m_handles;
};

}  // namespace Avidrift
