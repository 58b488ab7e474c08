#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include <boost/noncopyable.hpp>

namespace Avidrift {

struct CapturedFrame;

// A capture that failed (file, folder, encoder); what() is the sentence the capture page shows.
class CaptureError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An H.264 (yuv420p) MP4 file at a constant frame rate, written with FFmpeg's libraries. Not
// thread-safe: one thread (the capture session's writer) makes it and calls everything. The
// file plays as soon as Finish has returned; the destructor finishes a file that was not.
class VideoEncoder : private boost::noncopyable {
public:
    // Creates path and writes the container's header for frames of width x height, cut down to
    // even sizes (yuv420p halves both). libx264 when FFmpeg has it, else its first H.264
    // encoder. Throws CaptureError naming the file and the cause, with nothing left open.
    VideoEncoder(const std::filesystem::path& path, int width, int height, int framesPerSecond);
    ~VideoEncoder();

    // Encodes frame as the video's frame number index; the indices must increase. A frame of
    // another size is scaled to the video's. Throws CaptureError.
    void Write(const CapturedFrame& frame, std::int64_t index);
    // Encodes the last frame written again as frame number index (the renderer drew nothing
    // new in time). Does nothing before the first Write. Throws CaptureError.
    void Repeat(std::int64_t index);
    // Drains the encoder, writes the trailer and closes the file. Throws CaptureError; the file
    // is closed either way, and a second call does nothing.
    void Finish();

    int GetWidth() const;
    int GetHeight() const;

private:
    struct Resources;
    void Send(bool flush);
    std::unique_ptr<Resources> m_resources;
};

}  // namespace Avidrift
