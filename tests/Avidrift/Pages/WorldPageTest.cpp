#include "Avidrift/Pages/WorldPage.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QSpinBox>

#include <gtest/gtest.h>

#include "Avidrift/Settings.h"
#include "Avidrift/TestScene.h"
#include "Avidrift/WorldEvent.h"
#include "Quellon/UserEvent.h"
#include "Quellon/UserEventQueue.h"
#include "Quellon/Widgets/IWindowListener.h"
#include "Quellon/Widgets/Window.h"

namespace Avidrift {
namespace {

namespace fs = std::filesystem;

// What reached the logic's queue, one word per event: "s<id>=<value>" for a setting, the
// action's number (and its index, pointer or radius where it carries one) for a world event,
// "mouse" for the window's camera record.
std::vector<std::string> Take(Quellon::UserEventQueue& queue) {
    std::vector<std::string> words;
    for (const std::shared_ptr<Quellon::IUserEvent>& event : queue.TakeAll()) {
        if (const auto* value = dynamic_cast<const Quellon::ValueChangedEvent*>(event.get())) {
            words.push_back("s" + std::to_string(value->GetId()) + "=" +
                            QString::number(value->m_value).toStdString());
        } else if (const auto* world = dynamic_cast<const WorldEvent*>(event.get())) {
            std::string word = "w" + std::to_string(world->m_action);
            if (world->m_action == WorldEvent::kSetObstacle ||
                world->m_action == WorldEvent::kRemoveObstacle) {
                word += "#" + std::to_string(world->m_index) + " r" +
                        QString::number(world->m_obstacle.radius).toStdString();
            } else if (world->m_action == WorldEvent::kPlaceObstacle) {
                word += " r" + QString::number(world->m_obstacle.radius).toStdString();
            } else if (world->m_action == WorldEvent::kHuntAt ||
                       world->m_action == WorldEvent::kSelectAt) {
                word += " " + QString::number(world->m_pointer.x).toStdString() + "," +
                        QString::number(world->m_pointer.y).toStdString();
            } else if (world->m_action == WorldEvent::kLoadWorld) {
                word += " boids " + std::to_string(world->m_world->boidCount.value_or(0));
            }
            words.push_back(word);
        } else if (dynamic_cast<const Quellon::MouseEvent*>(event.get()) != nullptr) {
            words.push_back("mouse");
        }
    }
    return words;
}

std::string W(WorldEvent::Action action, const std::string& rest = "") {
    return "w" + std::to_string(action) + rest;
}

class WorldPageTest : public testing::Test {
protected:
    template <typename T>
    T* Find(const char* name) {
        return m_page->GetWidget()->findChild<T*>(QString::fromLatin1(name));
    }

    Quellon::UserEventQueue m_queue;
    std::shared_ptr<WorldPage> m_page = std::make_shared<WorldPage>(&m_queue);
    std::shared_ptr<TestScene> m_scene = std::make_shared<TestScene>();
};

// The published world fills the fields without a word to the logic; each field the user changes
// posts its own setting or obstacle edit, in the order made; a world file that cannot be used
// leaves one line naming the file, the field and the fault, and posts nothing.
TEST_F(WorldPageTest, ShowsThePublishedWorldAndPostsOnlyWhatTheUserChanges) {
    World world;
    world.parameters.ApplyDefaults();
    world.parameters.fleeDistance = 12.5f;
    world.parameters.avoidWeight = 3;
    world.parameters.obstacles = {{{1, 2, 3}, 4}, {{-5, 6, 7}, 8}};
    world.parameters.predators = AutonomousPredators(3);
    m_scene->PublishWorld(world, false);
    m_page->SetScene(m_scene);
    EXPECT_TRUE(Take(m_queue).empty());
    EXPECT_EQ(Find<QDoubleSpinBox>("fleeDistance")->value(), 12.5);
    EXPECT_EQ(Find<QDoubleSpinBox>("avoidWeight")->value(), 3);
    EXPECT_EQ(Find<QSpinBox>("autonomousPredators")->value(), 3);
    auto* list = Find<QListWidget>("obstacleList");
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->item(1)->text(), "-5, 6, 7  r 8");

    Find<QSpinBox>("autonomousPredators")->setValue(5);
    Find<QDoubleSpinBox>("predatorSpeed")->setValue(7.5);
    list->setCurrentRow(1);
    EXPECT_EQ(Find<QDoubleSpinBox>("centreX")->value(), -5);
    Find<QDoubleSpinBox>("obstacleRadius")->setValue(2.5);
    Find<QPushButton>("removeButton")->click();
    Find<QPushButton>("clearButton")->click();
    Find<QCheckBox>("huntBox")->click();  // no render area: it waits for the pointer
    Find<QCheckBox>("huntBox")->click();
    EXPECT_EQ(Take(m_queue),
              (std::vector<std::string>{"s" + std::to_string(kAutonomousPredatorsSetting) + "=5",
                                        "s" + std::to_string(kPredatorSpeedSetting) + "=7.5",
                                        W(WorldEvent::kSetObstacle, "#1 r2.5"),
                                        W(WorldEvent::kRemoveObstacle, "#1 r0"),
                                        W(WorldEvent::kClearObstacles), W(WorldEvent::kStopHunt)}));

    const fs::path file =
        fs::temp_directory_path() / ("avidrift-world-" + std::to_string(getpid()));
    std::ofstream(file) << R"({"version": 1, "boids": 40, "obstacles": [{"radius": -1}]})";
    m_page->LoadWorldFile(QString::fromStdString(file.string()));
    EXPECT_EQ(Find<QLabel>("worldStatus")->text().toStdString(),
              file.string() + ": obstacles[0].radius: negative");
    m_page->SaveWorldFile(QString::fromStdString((file / "inside-a-file.json").string()));
    EXPECT_TRUE(
        Find<QLabel>("worldStatus")
            ->text()
            .startsWith(QString::fromStdString((file / "inside-a-file.json").string() + ": ")))
        << Find<QLabel>("worldStatus")->text().toStdString();
    EXPECT_TRUE(Take(m_queue).empty());
    std::ofstream(file) << R"({"version": 1, "boids": 40})";
    m_page->LoadWorldFile(QString::fromStdString(file.string()));
    EXPECT_EQ(Take(m_queue), std::vector<std::string>{W(WorldEvent::kLoadWorld, " boids 40")});
    fs::remove(file);
}

// In the window: Shift+click and Shift+drag over the render area become sphere events and never
// reach the camera; a plain drag still does. While hunting, every move (no button held) posts
// the pointer in the render area's logical coordinates, whatever its size in device pixels.
TEST_F(WorldPageTest, RenderAreaGesturesPostWorldEventsAndLeaveDragsToTheCamera) {
    struct : Quellon::IWindowListener {
        void OnClose() override {}
    } listener;
    Quellon::Window window(L"Avidrift", {m_page}, &listener, &m_queue);
    auto* render = window.findChild<QWidget*>("Render");
    ASSERT_NE(render, nullptr);
    const auto send = [&](QEvent::Type type, QPointF at, Qt::MouseButton button,
                          Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers) {
        QMouseEvent event(type, at, render->mapToGlobal(at), button, buttons, modifiers);
        QApplication::sendEvent(render, &event);
    };
    m_page->GetWidget()->findChild<QDoubleSpinBox*>("radius")->setValue(3);
    send(QEvent::MouseButtonPress, {100, 100}, Qt::LeftButton, Qt::LeftButton, Qt::ShiftModifier);
    send(QEvent::MouseButtonRelease, {101, 100}, Qt::LeftButton, {}, Qt::ShiftModifier);
    send(QEvent::MouseButtonPress, {100, 100}, Qt::LeftButton, Qt::LeftButton, Qt::ShiftModifier);
    send(QEvent::MouseMove, {140, 100}, Qt::NoButton, Qt::LeftButton, Qt::ShiftModifier);
    send(QEvent::MouseMove, {180, 100}, Qt::NoButton, Qt::LeftButton, {});
    send(QEvent::MouseButtonRelease, {180, 100}, Qt::LeftButton, {}, {});
    EXPECT_EQ(Take(m_queue), (std::vector<std::string>{
                                 W(WorldEvent::kGrabObstacle), W(WorldEvent::kPlaceObstacle, " r3"),
                                 W(WorldEvent::kGrabObstacle), W(WorldEvent::kDragObstacle),
                                 W(WorldEvent::kDragObstacle)}));
    send(QEvent::MouseButtonPress, {100, 100}, Qt::LeftButton, Qt::LeftButton, {});
    send(QEvent::MouseMove, {140, 100}, Qt::NoButton, Qt::LeftButton, {});
    send(QEvent::MouseButtonRelease, {140, 100}, Qt::LeftButton, {}, {});
    EXPECT_EQ(Take(m_queue), std::vector<std::string>{"mouse"});
    // A click that moves less than a drag picks the boid under it; F follows, Esc lets go.
    send(QEvent::MouseButtonPress, {600, 150}, Qt::LeftButton, Qt::LeftButton, {});
    send(QEvent::MouseButtonRelease, {601, 150}, Qt::LeftButton, {}, {});
    m_page->ToggleFollow();
    m_page->LetGo();
    const std::vector<std::string> picked = Take(m_queue);
    ASSERT_EQ(picked.size(), 3u);
    EXPECT_EQ(picked[0].substr(0, picked[0].find(' ')), W(WorldEvent::kSelectAt));
    EXPECT_EQ(picked[1], W(WorldEvent::kToggleFollow));
    EXPECT_EQ(picked[2], W(WorldEvent::kLetGo));

    m_page->ToggleHunt();
    Take(m_queue);  // where the real pointer happens to be
    send(QEvent::MouseMove, {600, 150}, Qt::NoButton, {}, {});
    send(QEvent::MouseMove, {0, 450}, Qt::NoButton, Qt::RightButton, {});
    m_page->StopHunt();
    send(QEvent::MouseMove, {10, 10}, Qt::NoButton, {}, {});
    EXPECT_EQ(Take(m_queue), (std::vector<std::string>{W(WorldEvent::kHuntAt, " 0.5,0.5"),
                                                       W(WorldEvent::kHuntAt, " -1,-0.5"), "mouse",
                                                       W(WorldEvent::kStopHunt)}));
}

}  // namespace
}  // namespace Avidrift
