#include "Avidrift/Pages/CapturePage.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

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

}  // namespace
}  // namespace Avidrift
