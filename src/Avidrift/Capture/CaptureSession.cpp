#include "Avidrift/Capture/CaptureSession.h"

#include <fcntl.h>
#include <unistd.h>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "Avidrift/Capture/CapturedFrame.h"
#include "Avidrift/Capture/VideoEncoder.h"

namespace Avidrift {

namespace fs = std::filesystem;

struct CaptureSession::Job {
    enum Kind { kPicture, kStart, kFrame, kStop, kFailure } kind = kFailure;
    std::shared_ptr<const CapturedFrame> frame;
    fs::path folder;
    std::time_t when = 0;
    std::uint64_t recording = 0;
    // The video frame number: of the frame, or the first one after the end.
    std::int64_t index = 0;
    std::string message;
};

namespace {

void MakeFolder(const fs::path& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        throw CaptureError("Cannot make the folder " + folder.string() + ": " + error.message());
    }
}

}  // namespace

CaptureSession::CaptureSession(std::size_t queuedFrames)
    : m_frameQueueLimit(queuedFrames), m_writer([this] { Run(); }) {}

CaptureSession::~CaptureSession() {
    StopRecording();
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    m_writer.join();
}

fs::path CaptureSession::CreateUniqueFile(const fs::path& folder, const std::string& extension,
                                          std::time_t when) {
    MakeFolder(folder);
    std::tm local{};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "avidrift-%Y%m%d-%H%M%S", &local);
    for (int suffix = 1;; ++suffix) {
        std::string name = stamp;
        if (suffix > 1) {
            name += '-';
            name += std::to_string(suffix);
        }
        fs::path path = folder / (name + extension);
        // O_EXCL makes the name ours even when another program picks the same one meanwhile.
        const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (file >= 0) {
            close(file);
            return path;
        }
        if (errno != EEXIST) {
            throw CaptureError("Cannot create " + path.string() + ": " + std::strerror(errno));
        }
    }
}

void CaptureSession::RequestPicture(const fs::path& folder) {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queuedPictures + m_pictureFolders.size() >= kQueuedPictures) {
            m_lastError = "Still writing the pictures asked for before; try again.";
            return;
        }
        m_pictureFolders.push_back(folder);
        m_pictureTime = std::time(nullptr);
    }
}

void CaptureSession::StartRecording(const fs::path& folder) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_recording) {
        return;
    }
    m_recording = true;
    ++m_recordingId;
    m_recordingStart = Clock::now();
    m_recordedSeconds = 0.0;
    m_nextFrame = 0;
    m_framesWritten = 0;
    m_framesDropped = 0;
    m_jobs.push_back({Job::kStart, nullptr, folder, std::time(nullptr), m_recordingId, 0, {}});
    m_wake.notify_all();
}

void CaptureSession::StopRecording() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_recording) {
        return;
    }
    const Clock::time_point now = Clock::now();
    m_recording = false;
    m_recordedSeconds = std::chrono::duration<double>(now - m_recordingStart).count();
    m_jobs.push_back({Job::kStop, nullptr, {}, 0, m_recordingId, FrameIndexAt(now), {}});
    m_wake.notify_all();
}

CaptureSession::Status CaptureSession::GetStatus() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Status status;
    status.recording = m_recording;
    status.seconds = m_recording
                         ? std::chrono::duration<double>(Clock::now() - m_recordingStart).count()
                         : m_recordedSeconds;
    status.framesWritten = m_framesWritten;
    status.framesDropped = m_framesDropped;
    status.lastFile = m_lastFile;
    status.lastError = m_lastError;
    return status;
}

std::int64_t CaptureSession::FrameIndexAt(Clock::time_point when) const {
    const double seconds = std::chrono::duration<double>(when - m_recordingStart).count();
    return static_cast<std::int64_t>(std::floor(seconds * kFramesPerSecond));
}

bool CaptureSession::IsFrameDue() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return !m_pictureFolders.empty() || (m_recording && FrameIndexAt(Clock::now()) >= m_nextFrame);
}

void CaptureSession::Submit(CapturedFrame&& frame) {
    // Shared by the picture and the video that may both want it; made before the lock.
    auto shared = std::make_shared<const CapturedFrame>(std::move(frame));
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const fs::path& folder : m_pictureFolders) {
        m_jobs.push_back({Job::kPicture, shared, folder, m_pictureTime, 0, 0, {}});
        ++m_queuedPictures;
    }
    m_pictureFolders.clear();
    if (m_recording) {
        const std::int64_t index = FrameIndexAt(Clock::now());
        if (index >= m_nextFrame) {
            // A frame too many is left out: the encoder shows the one before it for longer,
            // so the video keeps the pace the user saw.
            if (m_queuedFrames >= m_frameQueueLimit) {
                ++m_framesDropped;
            } else {
                m_jobs.push_back({Job::kFrame, shared, {}, 0, m_recordingId, index, {}});
                ++m_queuedFrames;
            }
            m_nextFrame = index + 1;
        }
    }
    m_wake.notify_all();
}

void CaptureSession::ReportError(const std::string& message) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_pictureFolders.clear();
    m_jobs.push_back({Job::kFailure, nullptr, {}, 0, m_recording ? m_recordingId : 0, 0, message});
    if (m_recording) {
        m_recording = false;
        m_recordedSeconds = std::chrono::duration<double>(Clock::now() - m_recordingStart).count();
    }
    m_wake.notify_all();
}

void CaptureSession::WaitUntilWritten() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait(lock, [this] { return m_jobs.empty() && !m_writing; });
}

void CaptureSession::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_quit || !m_jobs.empty(); });
        if (m_jobs.empty()) {
            return;  // m_quit, and every job is done
        }
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_writing = true;
        lock.unlock();
        Handle(job);
        lock.lock();
        m_writing = false;
        // The waiters of WaitUntilWritten share the condition with this thread.
        m_wake.notify_all();
    }
}

void CaptureSession::Handle(Job& job) {
    try {
        switch (job.kind) {
            case Job::kPicture:
                WritePicture(job);
                break;
            case Job::kStart:
                m_encoder.reset();
                m_videoId = job.recording;
                m_lastFrame = -1;
                m_videoPath = CreateUniqueFile(job.folder, ".mp4", job.when);
                break;
            case Job::kFrame:
                WriteVideoFrame(job);
                break;
            case Job::kStop:
                FinishVideo(job);
                break;
            case Job::kFailure:
                throw CaptureError(job.message);
        }
    } catch (const CaptureError& error) {
        Fail(job.recording, error.what());
    } catch (const std::exception& error) {
        // Out of memory, say: the capture ends, the program does not.
        Fail(job.recording, std::string("Capture failed: ") + error.what());
    }
    if (job.kind == Job::kPicture || job.kind == Job::kFrame) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        --(job.kind == Job::kPicture ? m_queuedPictures : m_queuedFrames);
    }
}

void CaptureSession::WritePicture(const Job& job) {
    const CapturedFrame& frame = *job.frame;
    const fs::path path = CreateUniqueFile(job.folder, ".png", job.when);
    // Alpha is whatever the frame buffer holds, not what the screen shows: left out.
    QImage image(frame.width, frame.height, QImage::Format_RGBX8888);
    const std::size_t row = static_cast<std::size_t>(frame.width) * 4;
    for (int y = 0; y < frame.height; ++y) {
        std::memcpy(image.scanLine(frame.height - 1 - y), frame.rgba.data() + row * y, row);
    }
    // Encoded in memory and written here: Qt's PNG writer, failing on a full disk, names no
    // cause and loses a buffer of its own.
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) {
        std::error_code ignored;
        fs::remove(path, ignored);
        throw CaptureError("Cannot encode " + path.string() + " as PNG");
    }
    const int file = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    int error = file < 0 ? errno : 0;
    for (qsizetype written = 0; error == 0 && written < png.size();) {
        const ssize_t result =
            write(file, png.constData() + written, static_cast<std::size_t>(png.size() - written));
        if (result < 0 && errno != EINTR) {
            error = errno;
        }
        written += result > 0 ? result : 0;
    }
    if (file >= 0 && close(file) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        std::error_code ignored;
        fs::remove(path, ignored);
        throw CaptureError("Cannot write " + path.string() + ": " + std::strerror(error));
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_lastFile = path.string();
    m_lastError.clear();
}

void CaptureSession::WriteVideoFrame(const Job& job) {
    if (job.recording != m_videoId) {
        return;  // of a recording that has failed
    }
    if (!m_encoder) {
        m_encoder = std::make_unique<VideoEncoder>(m_videoPath, job.frame->width, job.frame->height,
                                                   kFramesPerSecond);
    }
    // The first frame also stands for the moments before it; later gaps show the frame before.
    for (std::int64_t index = m_lastFrame + 1; index < job.index; ++index) {
        if (m_lastFrame < 0) {
            m_encoder->Write(*job.frame, index);
        } else {
            m_encoder->Repeat(index);
        }
    }
    m_encoder->Write(*job.frame, job.index);
    m_lastFrame = job.index;
    // Written into an open file, frames would go on being accepted after its folder was moved
    // or removed, and the user would never find the video.
    std::error_code error;
    if (!fs::exists(m_videoPath, error)) {
        throw CaptureError("The video's folder " + m_videoPath.parent_path().string() +
                           " is gone (moved or removed); the recording stopped.");
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_recordingId == job.recording) {
        m_framesWritten = m_lastFrame + 1;
    }
}

void CaptureSession::FinishVideo(const Job& job) {
    if (job.recording != m_videoId) {
        return;
    }
    m_videoId = 0;
    if (!m_encoder) {
        std::error_code ignored;
        fs::remove(m_videoPath, ignored);
        throw CaptureError("Nothing recorded: no frame was drawn while recording.");
    }
    for (std::int64_t index = m_lastFrame + 1; index < job.index; ++index) {
        m_encoder->Repeat(index);
    }
    m_lastFrame = std::max(m_lastFrame, job.index - 1);
    m_encoder->Finish();
    m_encoder.reset();
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_recordingId == job.recording) {
        m_framesWritten = m_lastFrame + 1;
    }
    m_lastFile = m_videoPath.string();
    m_lastError.clear();
}

void CaptureSession::Fail(std::uint64_t recording, const std::string& message) {
    // A video that fails is finished as far as it got, so what it holds still plays.
    if (m_encoder && recording != 0 && recording == m_videoId) {
        try {
            m_encoder->Finish();
        } catch (const CaptureError&) {
        }
        m_encoder.reset();
    }
    if (recording != 0 && recording == m_videoId) {
        m_videoId = 0;
    }
    std::fprintf(stderr, "avidrift: capture: %s\n", message.c_str());
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (recording != 0 && recording == m_recordingId && m_recording) {
        m_recording = false;
        m_recordedSeconds = std::chrono::duration<double>(Clock::now() - m_recordingStart).count();
    }
    m_lastError = message;
}

}  // namespace Avidrift
