#include "Avidrift/Pages/CapturePage.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include "Avidrift/Capture/CaptureSession.h"
#include "Avidrift/Capture/CapturedFrame.h"
#include "Quellon/UserEventQueue.h"

namespace Avidrift {
namespace {

// A picture or a video that cannot be written says why on the page; the recording stops.
TEST(CapturePage, ShowsWhyACaptureFailed) {
    const auto file =
        std::filesystem::temp_directory_path() / ("avidrift-capture-" + std::to_string(getpid()));
    std::ofstream(file) << "not a folder";
    Quellon::UserEventQueue queue;
    auto session = std::make_shared<CaptureSession>();
    CapturePage page(&queue, session);
    page.SetFolder(QString::fromStdString((file / "sub").string()));
    for (const char* name : {"pictureButton", "recordButton"}) {
        page.GetWidget()->findChild<QPushButton*>(name)->click();
        session->Submit(CapturedFrame{64, 48, std::vector<std::uint8_t>(std::size_t{64} * 48 * 4)});
        session->WaitUntilWritten();
        page.ShowStatus();
        const QString line = page.GetWidget()->findChild<QLabel*>("lastLabel")->text();
        EXPECT_TRUE(
            line.startsWith(QString::fromStdString("Cannot make the folder " + file.string())))
            << name << ": " << line.toStdString();
    }
    EXPECT_EQ(page.GetWidget()->findChild<QPushButton*>("recordButton")->text(), "Record");
    std::filesystem::remove(file);
}

// A frame that finds the encoder's queue full is counted as dropped, never as written.
TEST(CaptureSession, CountsEveryFrameItCannotQueueAsDropped) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("avidrift-drops-" + std::to_string(getpid()));
    CaptureSession session(0);
    session.StartRecording(folder);
    for (int due = 0; due < 3;) {
        if (session.IsFrameDue()) {
            session.Submit(CapturedFrame{64, 48, std::vector<std::uint8_t>(64 * 48 * 4)});
            ++due;
        }
        std::this_thread::yield();
    }
    session.StopRecording();
    session.WaitUntilWritten();
    const CaptureSession::Status status = session.GetStatus();
    EXPECT_EQ(status.framesDropped, 3);
    EXPECT_EQ(status.framesWritten, 0);
    std::filesystem::remove_all(folder);
}

// A tmpfs of the test's own, unmounted and removed at the end; mounting needs CAP_SYS_ADMIN.
class TemporaryMount {
public:
    TemporaryMount(unsigned long flags, const char* options) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "avidrift-mount-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            m_error = std::strerror(errno);
            return;
        }
        m_path = pattern;
        if (mount("tmpfs", m_path.c_str(), "tmpfs", flags, options) != 0) {
            m_error = std::strerror(errno);
        }
    }
    ~TemporaryMount() {
        if (m_error.empty()) {
            umount2(m_path.c_str(), MNT_DETACH);
        }
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
    }
    TemporaryMount(const TemporaryMount&) = delete;
    TemporaryMount& operator=(const TemporaryMount&) = delete;

    const std::filesystem::path& GetPath() const { return m_path; }
    // Empty once mounted.
    const std::string& GetError() const { return m_error; }

private:
    std::filesystem::path m_path;
    std::string m_error;
};

// A folder that refuses new files (a read-only mount, since root ignores permission bits) and a
// disk that fills up while recording: the capture stops, says why, and the session takes the
// next request. Noise keeps the encoder from packing the frames into the small disk.
TEST(CaptureSession, UnwritableFolderOrFullDiskStopsTheCaptureAndSaysWhy) {
    const TemporaryMount readOnly(MS_RDONLY, "size=1m"), small(0, "size=256k");
    if (!readOnly.GetError().empty() || !small.GetError().empty()) {
        GTEST_SKIP() << "cannot mount a tmpfs (" << readOnly.GetError() << small.GetError()
                     << "); CI runs this as root";
    }
    std::mt19937 random(7);
    const auto noise = [&] {
        CapturedFrame frame{320, 240, std::vector<std::uint8_t>(std::size_t{320} * 240 * 4)};
        std::generate(frame.rgba.begin(), frame.rgba.end(), [&] { return random() & 0xff; });
        return frame;
    };
    CaptureSession session;
    const std::string refused = "Cannot create " + readOnly.GetPath().string() + "/avidrift-";
    session.RequestPicture(readOnly.GetPath());
    session.Submit(noise());
    session.WaitUntilWritten();
    EXPECT_TRUE(session.GetStatus().lastError.starts_with(refused))
        << session.GetStatus().lastError;
    EXPECT_TRUE(session.GetStatus().lastError.ends_with(": Read-only file system"));
    session.StartRecording(readOnly.GetPath());
    session.WaitUntilWritten();
    EXPECT_FALSE(session.GetStatus().recording);
    EXPECT_TRUE(session.GetStatus().lastError.starts_with(refused))
        << session.GetStatus().lastError;

    session.StartRecording(small.GetPath());
    while (session.GetStatus().recording) {
        if (session.IsFrameDue()) {
            session.Submit(noise());
        }
        std::this_thread::yield();
    }
    session.WaitUntilWritten();
    const CaptureSession::Status status = session.GetStatus();
    EXPECT_NE(status.lastError.find("No space left on device"), std::string::npos)
        << status.lastError;
    EXPECT_GT(status.framesWritten, 0);
    session.RequestPicture(small.GetPath());
    session.Submit(noise());
    session.WaitUntilWritten();
    EXPECT_NE(session.GetStatus().lastError.find(": No space left on device"), std::string::npos)
        << session.GetStatus().lastError;
}

}  // namespace
}  // namespace Avidrift
