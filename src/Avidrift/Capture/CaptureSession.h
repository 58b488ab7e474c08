#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/noncopyable.hpp>

namespace Avidrift {

struct CapturedFrame;
class VideoEncoder;

// What the user asked to keep of the render area, between the three threads involved: the Qt
// thread asks for pictures and recordings, the render thread hands over the frames that are
// due, and a writer thread of the session's own encodes and writes them. The render thread
// never waits for the writer: frames queue up to kQueuedFrames and are dropped (and counted)
// beyond that; the mutex is held only to look at and change the queue and the counters, never
// while a file is written. A failed capture is reported here (GetStatus, and a line on
// standard error), never thrown at the renderer or the window.
class CaptureSession : private boost::noncopyable {
public:
    // Videos run at this rate of wall-clock time whatever the renderer's rate.
    static constexpr int kFramesPerSecond = 30;
    // Frames of a recording that may wait for the encoder.
    static constexpr std::size_t kQueuedFrames = 3;
    // Pictures that may wait to be written; a request beyond them is refused.
    static constexpr std::size_t kQueuedPictures = 4;

    struct Status {
        bool recording = false;
        // Of the recording in progress, or of the last one.
        double seconds = 0.0;
        std::int64_t framesWritten = 0;
        std::int64_t framesDropped = 0;
        // The last file finished, and the last failure (empty after a success).
        std::string lastFile;
        std::string lastError;
    };

    // Called on the Qt thread; starts the writer thread.
    // queuedFrames: how many frames of a recording may wait for the encoder (0 drops them all,
    // which shows the counting without depending on the writer's speed).
    explicit CaptureSession(std::size_t queuedFrames = kQueuedFrames);
    // Called on the Qt thread once the renderer has stopped: finishes a recording in progress
    // (its trailer written) and the pictures asked for, then joins the writer.
    ~CaptureSession();

    // Called on the Qt thread: the next frame the renderer presents goes to a new PNG file in
    // folder (made when missing), named after the local time of this call.
    void RequestPicture(const std::filesystem::path& folder);
    // Called on the Qt thread: starts a video in folder (made when missing), frames from the
    // next one the renderer presents; does nothing while a recording runs.
    void StartRecording(const std::filesystem::path& folder);
    // Called on the Qt thread: the video ends now; the writer finishes its file. Does nothing
    // while no recording runs.
    void StopRecording();
    // Called on any thread.
    Status GetStatus() const;
    // Called on any thread but the writer: returns once every request made and every frame
    // handed over before the call has been written (or has failed).
    void WaitUntilWritten();

    // Called on the render thread after drawing a frame, before presenting it: whether a
    // picture or a video frame waits for it, so that the pixels are read back only then.
    bool IsFrameDue() const;
    // Called on the render thread with the pixels of the frame about to be presented, after
    // IsFrameDue said yes. Never waits for the writer.
    void Submit(CapturedFrame&& frame);
    // Called on the render thread when reading a frame back failed: the capture stops and the
    // page shows message.
    void ReportError(const std::string& message);

    // A new empty file in folder named avidrift-YYYYMMDD-HHMMSS<extension> at local time
    // when, or with -2, -3, ... before the extension when the name exists: never an existing
    // file. Throws CaptureError when the file cannot be created.
    static std::filesystem::path CreateUniqueFile(const std::filesystem::path& folder,
                                                  const std::string& extension, std::time_t when);

private:
    using Clock = std::chrono::steady_clock;
    struct Job;

    void Run();
    void Handle(Job& job);
    void WritePicture(const Job& job);
    void WriteVideoFrame(const Job& job);
    void FinishVideo(const Job& job);
    void Fail(std::uint64_t recording, const std::string& message);
    // Called with m_mutex held: the video frame that the present moment falls into.
    std::int64_t FrameIndexAt(Clock::time_point when) const;

    const std::size_t m_frameQueueLimit;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    // Guarded by m_mutex.
    std::deque<Job> m_jobs;
    std::vector<std::filesystem::path> m_pictureFolders;
    std::time_t m_pictureTime = 0;
    std::size_t m_queuedPictures = 0;
    std::size_t m_queuedFrames = 0;
    bool m_recording = false;
    std::uint64_t m_recordingId = 0;
    Clock::time_point m_recordingStart;
    double m_recordedSeconds = 0.0;
    std::int64_t m_nextFrame = 0;
    std::int64_t m_framesWritten = 0;
    std::int64_t m_framesDropped = 0;
    std::string m_lastFile;
    std::string m_lastError;
    bool m_quit = false;
    // Whether the writer is working on a job it took from m_jobs.
    bool m_writing = false;

    // Used on the writer thread only: the video being written and what it has had.
    std::unique_ptr<VideoEncoder> m_encoder;
    std::filesystem::path m_videoPath;
    std::uint64_t m_videoId = 0;
    std::int64_t m_lastFrame = -1;

    // Last: starts once everything above exists, and is joined before any of it goes.
    std::thread m_writer;
};

}  // namespace Avidrift
