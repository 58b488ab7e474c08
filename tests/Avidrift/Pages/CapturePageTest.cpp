#include "Avidrift/Pages/CapturePage.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
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

}  // namespace
}  // namespace Avidrift
