#include "Avidrift/Pages/CapturePage.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <vector>

#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <gtest/gtest.h>

#include "Avidrift/Capture/CaptureSession.h"
#include "Avidrift/Capture/CapturedFrame.h"
#include "Avidrift/SimulationEvent.h"
#include "Quellon/UserEventQueue.h"

namespace Avidrift {
namespace {

namespace fs = std::filesystem;

class CapturePageTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "avidrift-capture-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_folder = pattern;
    }
    void TearDown() override { fs::remove_all(m_folder); }

    template <typename T = QPushButton>
    T* Find(const char* name) {
        return m_page.GetWidget()->findChild<T*>(QString::fromLatin1(name));
    }
    // Frames of 64 x 48 pixels, as the renderer hands them over, until every one is written.
    void Draw(int frames) {
        for (int i = 0; i < frames; ++i) {
            m_session->Submit(CapturedFrame{64, 48, std::vector<std::uint8_t>(64 * 48 * 4, 99)});
        }
        m_session->WaitUntilWritten();
        m_page.ShowStatus();
    }

    fs::path m_folder;
    Quellon::UserEventQueue m_queue;
    std::shared_ptr<CaptureSession> m_session = std::make_shared<CaptureSession>();
    CapturePage m_page{&m_queue, m_session};
};

// Pause, step and resume reach the logic in the order pressed; Step only while paused.
TEST_F(CapturePageTest, PostsPauseStepsAndResumeInOrder) {
    EXPECT_FALSE(Find("stepButton")->isEnabled());
    m_page.Step();
    for (const char* button : {"pauseButton", "stepButton", "stepButton", "pauseButton"}) {
        Find(button)->click();
    }
    std::vector<SimulationEvent::Action> posted;
    for (const auto& event : m_queue.TakeAll()) {
        posted.push_back(dynamic_cast<const SimulationEvent&>(*event).m_action);
    }
    EXPECT_EQ(posted, (std::vector{SimulationEvent::kPause, SimulationEvent::kStep,
                                   SimulationEvent::kStep, SimulationEvent::kResume}));
    EXPECT_EQ(Find("pauseButton")->text(), "Pause");
    EXPECT_FALSE(Find("stepButton")->isEnabled());
}

// A picture or video that cannot be written says why on the page; a video that can is named
// on it and counts its frames; names never repeat.
TEST_F(CapturePageTest, ShowsWhatWasWrittenOrWhyNot) {
    std::ofstream(m_folder / "file") << "not a folder";
    m_page.SetFolder(QString::fromStdString((m_folder / "file" / "sub").string()));
    for (const char* button : {"pictureButton", "recordButton"}) {
        SCOPED_TRACE(button);
        Find(button)->click();
        Draw(1);
        EXPECT_TRUE(Find<QLabel>("lastLabel")
                        ->text()
                        .startsWith("Cannot make the folder " +
                                    QString::fromStdString((m_folder / "file").string())))
            << Find<QLabel>("lastLabel")->text().toStdString();
        EXPECT_EQ(Find("recordButton")->text(), "Record");
    }
    m_page.SetFolder(QString::fromStdString(m_folder.string()));
    Find("recordButton")->click();
    Draw(2);
    EXPECT_EQ(Find("recordButton")->text(), "Stop");
    Find("recordButton")->click();
    Draw(0);
    const QString last = Find<QLabel>("lastLabel")->text();
    EXPECT_TRUE(
        last.startsWith("Saved " + QString::fromStdString(m_folder.string()) + "/avidrift-") &&
        last.endsWith(".mp4"))
        << last.toStdString();
    EXPECT_EQ(Find<QLabel>("droppedLabel")->text(), "0 frames dropped");
    std::vector<std::string> names;
    for (int i = 0; i < 3; ++i) {
        names.push_back(CaptureSession::CreateUniqueFile(m_folder, ".png", 0).filename());
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string suffix = i == 0 ? "" : "-" + std::to_string(i + 1);
        EXPECT_TRUE(
            std::regex_match(names[i], std::regex("avidrift-\\d{8}-\\d{6}" + suffix + "\\.png")))
            << names[i];
    }
}

}  // namespace
}  // namespace Avidrift
