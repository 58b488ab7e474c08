#include "Avidrift/Pages/SettingsTab.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QStyleOptionGroupBox>
#include <QTabBar>
#include <QTabWidget>

#include <gtest/gtest.h>

#include "Avidrift/Capture/CaptureSession.h"
#include "Avidrift/Pages/CapturePage.h"
#include "Avidrift/Pages/MeasuresPage.h"
#include "Avidrift/Pages/WorldPage.h"
#include "Avidrift/Settings.h"
#include "Avidrift/TestScene.h"
#include "Quellon/UserEvent.h"
#include "Quellon/UserEventQueue.h"
#include "Quellon/Widgets/IWindowListener.h"
#include "Quellon/Widgets/Window.h"

namespace Avidrift {
namespace {

class SettingsTabTest : public testing::Test {
protected:
    template <typename T = QSpinBox>
    T* Find(const char* name) {
        return m_tab.GetWidget()->findChild<T*>(QString::fromLatin1(name));
    }

    // (id, value) of every event posted since the last call.
    std::vector<std::pair<int, float>> TakeValues() {
        std::vector<std::pair<int, float>> values;
        for (const std::shared_ptr<Quellon::IUserEvent>& event : m_queue.TakeAll()) {
            const auto& changed = dynamic_cast<const Quellon::ValueChangedEvent&>(*event);
            values.emplace_back(changed.GetId(), changed.m_value);
        }
        return values;
    }

    Quellon::UserEventQueue m_queue;
    SettingsTab m_tab{&m_queue};
    std::shared_ptr<TestScene> m_scene = std::make_shared<TestScene>();
};

// Each box is wired to its own slot by name, so each must show that it posts its own id (beyond
// 2^24 as the float nearest the count); SetScene loads the scene's values, clamped to the
// ranges, without posting.
TEST_F(SettingsTabTest, EverySpinBoxHasItsRangeAndPostsItsSettingId) {
    const struct {
        const char* name;
        double maximum, newValue;
        int id;
        float scene;
        double loaded;
    } rows[] = {
        {"spinBox_tasksCount", 999999999, 7, kTaskCountSetting, 3, 3},
        {"spinBox_flockSize", 999999999, 999999999, kFlockSizeSetting, 5000, 1000},
        {"doubleSpinBox_angleIncrement", 720, 720, kAngleIncrementSetting, 0.75f, 0.75},
        {"doubleSpinBox_separationWeight", 99.99, 0.35, kSeparationWeightSetting, 0.123f, 0.12},
        {"doubleSpinBox_cohesionWeight", 99.99, 1.5, kCohesionWeightSetting, 1.25f, 1.25},
        {"doubleSpinBox_alignmentWeight", 99.99, 2.25, kAlignmentWeightSetting, 0.5f, 0.5},
        {"doubleSpinBox_trefoilKnotPathWeight", 99.99, 0.1, kTrefoilKnotPathWeightSetting, 2, 2},
        {"doubleSpinBox_maxSpeed", 99.99, 99.99, kMaxSpeedSetting, 150, 99.99},
        {"doubleSpinBox_separationDistance", 99.99, 12.34, kSeparationDistanceSetting, 4.25f, 4.25},
        {"doubleSpinBox_groupDistance", 99.99, 45.6, kGroupDistanceSetting, 12.5f, 12.5},
    };
    FlockData& flock = m_scene->m_flock;
    m_scene->m_taskCount = 3;
    flock.maxFlockSize = 1000;
    flock.boidCount = 5000;
    float* const fields[] = {&flock.angleIncrement,        &flock.separationWeight,
                             &flock.cohesionWeight,        &flock.alignmentWeight,
                             &flock.trefoilKnotPathWeight, &flock.maxSpeed.x,
                             &flock.separationDistance,    &flock.groupDistance};
    for (int i = 0; i < 8; ++i) {
        *fields[i] = rows[i + 2].scene;
    }
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto* box = Find<QAbstractSpinBox>(row.name);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->property("minimum").toDouble(), row.id == kTaskCountSetting ? 1 : 0);
        EXPECT_EQ(box->property("maximum").toDouble(), row.maximum);
        box->setProperty("value", row.newValue);
        EXPECT_EQ(TakeValues(),
                  (std::vector<std::pair<int, float>>{{row.id, static_cast<float>(row.newValue)}}));
    }
    m_tab.SetScene(m_scene);
    EXPECT_TRUE(TakeValues().empty());
    for (const auto& row : rows) {
        EXPECT_EQ(Find<QAbstractSpinBox>(row.name)->property("value").toDouble(), row.loaded)
            << row.name;
    }
    EXPECT_EQ(Find("spinBox_flockSize")->minimum(), 1);
    Find<QAbstractSpinBox>("doubleSpinBox_groupDistance")->setProperty("value", 13.0);
    EXPECT_EQ(TakeValues().size(), 1u) << "the signals are unblocked after loading";
}

// The logic refused the size typed (not enough memory): the box goes back to the size that
// runs, but only once the logic has answered every size sent, and without telling it again.
// While the renderer has set no limit, the box offers the logic's.
TEST_F(SettingsTabTest, FlockSizeBoxShowsTheSizeThatRunsOnceTheLogicAnswered) {
    m_scene->m_flock.boidCount = 300;
    m_tab.SetScene(m_scene);
    auto* box = Find("spinBox_flockSize");
    EXPECT_EQ(box->maximum(), static_cast<int>(kDefaultFlockSizeLimit));
    box->setValue(5000);
    box->setValue(6000);
    EXPECT_EQ(TakeValues().size(), 2u);
    m_scene->AnswerFlockSizeSetting(300);
    m_tab.ShowRunningFlockSize();
    EXPECT_EQ(box->value(), 6000) << "the second size is still on its way";
    m_scene->AnswerFlockSizeSetting(300);
    m_tab.ShowRunningFlockSize();
    EXPECT_EQ(box->value(), 300);
    EXPECT_TRUE(TakeValues().empty());
    box->setValue(400);
    EXPECT_EQ(TakeValues().size(), 1u) << "the box still posts what the user types";

    // A world loaded elsewhere shows here, without a word back; a size on its way keeps its box.
    World world;
    world.boidCount = 777;
    world.parameters.ApplyDefaults();
    world.parameters.cohesionWeight = 1.5f;
    m_scene->PublishWorld(world, false);
    m_tab.ShowWorld();
    EXPECT_EQ(box->value(), 400);
    EXPECT_EQ(Find<QDoubleSpinBox>("doubleSpinBox_cohesionWeight")->value(), 1.5);
    m_scene->AnswerFlockSizeSetting(400);
    m_tab.ShowRunningFlockSize();
    m_scene->PublishWorld(world, false);
    m_tab.ShowWorld();
    EXPECT_EQ(box->value(), 777);
    EXPECT_TRUE(TakeValues().empty());
}

// Every text of the settings column, on any page, is visible whole in the font it is drawn
// with, at the default font and a point larger, in the window at its fixed size; the world page
// scrolls, but never sideways. The window takes the pages over from the tabs and deletes them.
TEST_F(SettingsTabTest, EveryTextFitsItsWidgetInTheFixedWindow) {
    const QFont original = QApplication::font();
    for (const auto& [extraPoints, shown] : {std::pair{0.0, 0},
                                             {0.0, 1},
                                             {0.0, 2},
                                             {0.0, 3},
                                             {1.0, 0},
                                             {1.0, 1},
                                             {1.0, 2},
                                             {1.0, 3}}) {
        QFont font = original;
        font.setPointSizeF(original.pointSizeF() + extraPoints);
        QApplication::setFont(font);
        struct : Quellon::IWindowListener {
            void OnClose() override {}
        } listener;
        auto tab = std::make_shared<SettingsTab>(&m_queue);
        auto capture = std::make_shared<CapturePage>(&m_queue, std::make_shared<CaptureSession>());
        auto world = std::make_shared<WorldPage>(&m_queue);
        auto measures = std::make_shared<MeasuresPage>();
        QPointer<QWidget> page = tab->GetWidget();
        auto window = std::make_unique<Quellon::Window>(
            L"Avidrift", std::vector<std::shared_ptr<Quellon::ITab>>{tab, capture, world, measures},
            &listener, &m_queue);
        auto* tabs = window->findChild<QTabWidget*>("tabWidget");
        EXPECT_EQ(tabs->widget(0), page.data());
        EXPECT_EQ(tabs->tabText(0), "Settings");
        EXPECT_EQ(tabs->tabText(1), "Capture");
        EXPECT_EQ(tabs->tabText(2), "World");
        EXPECT_EQ(tabs->tabText(3), "Measures");
        for (int i = 0; i < tabs->count(); ++i) {
            EXPECT_LE(QFontMetrics(tabs->tabBar()->font()).horizontalAdvance(tabs->tabText(i)),
                      tabs->tabBar()->tabRect(i).width())
                << "tab " << i;
        }
        // The longest line of the world page's own: a failure naming the file, wrapped.
        world->GetWidget()
            ->findChild<QLabel*>("worldStatus")
            ->setText("worlds/obstacles.json: obstacles[63].centre: not an array of three numbers");
        tabs->setCurrentIndex(shown);
        // The longest line the capture page shows of its own: a day of video.
        capture->GetWidget()->findChild<QLabel*>("framesLabel")->setText("9999999 frames written");
        QApplication::processEvents();
        SCOPED_TRACE(font.pointSizeF());
        // Four tabs are wider than the column: the bar scrolls, and the page shown has its tab
        // whole.
        const QRect current = tabs->tabBar()->tabRect(shown);
        EXPECT_TRUE(tabs->tabBar()->rect().contains(current))
            << "tab " << shown << " " << current.x() << "+" << current.width() << " in "
            << tabs->tabBar()->width();
        for (QWidget* widget : window->findChildren<QWidget*>()) {
            const std::string name = widget->objectName().toStdString();
            const QFontMetrics metrics(widget->font());
            if (!widget->isVisible()) {
                continue;  // on the page not shown
            }
            if (auto* label = qobject_cast<QLabel*>(widget)) {
                EXPECT_TRUE(label->wordWrap()
                                ? label->heightForWidth(label->width()) <= label->height()
                                : metrics.horizontalAdvance(label->text()) <=
                                      label->contentsRect().width())
                    << name;
            } else if (auto* check = qobject_cast<QCheckBox*>(widget)) {
                EXPECT_LE(check->sizeHint().width(), check->width()) << name;
            } else if (auto* scroll = qobject_cast<QScrollArea*>(widget)) {
                EXPECT_LE(scroll->widget()->minimumSizeHint().width(), scroll->viewport()->width())
                    << name << " would cut its fields off at the right";
            } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
                EXPECT_LE(metrics.horizontalAdvance(button->text()), button->contentsRect().width())
                    << name;
            } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
                QStyleOptionGroupBox option;
                option.initFrom(group);
                option.text = group->title();
                option.subControls = QStyle::SC_GroupBoxLabel;
                const QRect title = group->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                                   QStyle::SC_GroupBoxLabel, group);
                EXPECT_TRUE(group->rect().contains(title)) << name;
            } else if (auto* box = qobject_cast<QAbstractSpinBox*>(widget)) {
                // The widest value is that of the minimum or the maximum; the line edit keeps
                // two pixels clear on either side of its text.
                int widest = 0;
                for (const char* limit : {"minimum", "maximum"}) {
                    box->setProperty("value", box->property(limit));
                    widest = std::max(widest, metrics.horizontalAdvance(box->text()));
                }
                EXPECT_LE(widest + 4, box->findChild<QLineEdit*>()->width()) << name;
            } else {
                continue;
            }
            // Inside its parent, or a layout squeezed below what it needs has pushed it out.
            EXPECT_TRUE(widget->parentWidget()->rect().contains(widget->geometry())) << name;
        }
        window.reset();
        EXPECT_TRUE(page.isNull());
        EXPECT_EQ(tab->GetWidget(), nullptr);
    }
    QApplication::setFont(original);
}

}  // namespace
}  // namespace Avidrift
