#include "Avidrift/SettingsTab.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <QApplication>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QSpinBox>
#include <QStyleOptionGroupBox>
#include <QTabWidget>

#include <gtest/gtest.h>

#include "Avidrift/Settings.h"
#include "Avidrift/TestScene.h"
#include "Quellon/Exception.h"
#include "Quellon/IWindowListener.h"
#include "Quellon/UserEvent.h"
#include "Quellon/UserEventQueue.h"
#include "Quellon/Window.h"

namespace Avidrift {
namespace {

// (id, value) of every event posted since the last call.
std::vector<std::pair<int, float>> TakeValues(Quellon::UserEventQueue& queue) {
    std::vector<std::pair<int, float>> values;
    for (const std::shared_ptr<Quellon::IUserEvent>& event : queue.TakeAll()) {
        const auto& changed = dynamic_cast<const Quellon::ValueChangedEvent&>(*event);
        values.emplace_back(changed.GetId(), changed.m_value);
    }
    return values;
}

class SettingsTabTest : public testing::Test {
protected:
    template <typename T = QWidget>
    T* Find(const char* name) {
        return m_tab.GetWidget()->findChild<T*>(QString::fromLatin1(name));
    }

    Quellon::UserEventQueue m_queue;
    SettingsTab m_tab{&m_queue};
};

struct SpinBoxRow {
    const char* name;
    double maximum;
    int id;
    double newValue;
    float posted;
};

const SpinBoxRow kSpinBoxes[] = {
    {"spinBox_tasksCount", 999999999, kTaskCountSetting, 7, 7.0f},
    // Beyond 2^24 the float cannot hold the count exactly.
    {"spinBox_flockSize", 999999999, kFlockSizeSetting, 999999999, 1.0e9f},
    {"doubleSpinBox_angleIncrement", 720, kAngleIncrementSetting, 720, 720.0f},
    {"doubleSpinBox_separationWeight", 99.99, kSeparationWeightSetting, 0.35, 0.35f},
    {"doubleSpinBox_cohesionWeight", 99.99, kCohesionWeightSetting, 1.5, 1.5f},
    {"doubleSpinBox_alignmentWeight", 99.99, kAlignmentWeightSetting, 2.25, 2.25f},
    {"doubleSpinBox_trefoilKnotPathWeight", 99.99, kTrefoilKnotPathWeightSetting, 0.1, 0.1f},
    {"doubleSpinBox_maxSpeed", 99.99, kMaxSpeedSetting, 99.99, 99.99f},
    {"doubleSpinBox_separationDistance", 99.99, kSeparationDistanceSetting, 12.34, 12.34f},
    {"doubleSpinBox_groupDistance", 99.99, kGroupDistanceSetting, 45.6, 45.6f},
};

// Each box is wired to its own slot by name, so each must show that it posts its own id.
TEST_F(SettingsTabTest, EverySpinBoxHasItsRangeAndPostsItsSettingId) {
    for (const SpinBoxRow& row : kSpinBoxes) {
        SCOPED_TRACE(row.name);
        auto* box = Find<QAbstractSpinBox>(row.name);
        ASSERT_NE(box, nullptr);
        if (auto* whole = qobject_cast<QSpinBox*>(box)) {
            EXPECT_EQ(whole->minimum(), row.id == kTaskCountSetting ? 1 : 0);
            EXPECT_EQ(whole->maximum(), row.maximum);
            whole->setValue(static_cast<int>(row.newValue));
        } else {
            auto* real = qobject_cast<QDoubleSpinBox*>(box);
            EXPECT_EQ(real->minimum(), 0.0);
            EXPECT_EQ(real->maximum(), row.maximum);
            real->setValue(row.newValue);
        }
        EXPECT_EQ(TakeValues(m_queue), (std::vector<std::pair<int, float>>{{row.id, row.posted}}));
    }
}

TEST_F(SettingsTabTest, SetSceneLoadsClampedValuesWithoutPosting) {
    auto scene = std::make_shared<TestScene>();
    FlockData& flock = scene->m_flock;
    scene->m_taskCount = 3;
    flock.maxFlockSize = 1000;
    flock.boidCount = 5000;
    flock.angleIncrement = 0.75f;
    flock.separationWeight = 0.123f;
    flock.cohesionWeight = 1.25f;
    flock.alignmentWeight = 0.5f;
    flock.trefoilKnotPathWeight = 2.0f;
    flock.maxSpeed = Quellon::Vector3(150.0f, 1.0f, 1.0f);
    flock.separationDistance = 4.25f;
    flock.groupDistance = 12.5f;
    m_tab.SetScene(scene);
    EXPECT_TRUE(TakeValues(m_queue).empty());

    EXPECT_EQ(Find<QSpinBox>("spinBox_tasksCount")->value(), 3);
    EXPECT_EQ(Find<QSpinBox>("spinBox_flockSize")->value(), 1000);
    EXPECT_EQ(Find<QSpinBox>("spinBox_flockSize")->minimum(), 1);
    const std::pair<const char*, double> loaded[] = {
        {"doubleSpinBox_angleIncrement", 0.75},     {"doubleSpinBox_separationWeight", 0.12},
        {"doubleSpinBox_cohesionWeight", 1.25},     {"doubleSpinBox_alignmentWeight", 0.5},
        {"doubleSpinBox_trefoilKnotPathWeight", 2}, {"doubleSpinBox_maxSpeed", 99.99},
        {"doubleSpinBox_separationDistance", 4.25}, {"doubleSpinBox_groupDistance", 12.5},
    };
    for (const auto& [name, value] : loaded) {
        EXPECT_EQ(Find<QDoubleSpinBox>(name)->value(), value) << name;
    }
    Find<QDoubleSpinBox>("doubleSpinBox_groupDistance")->setValue(13.0);
    EXPECT_EQ(TakeValues(m_queue).size(), 1u) << "the signals are unblocked after loading";

    // While the renderer has set no limit, the page offers the logic's.
    flock.maxFlockSize = 0;
    flock.boidCount = 100;
    m_tab.SetScene(scene);
    EXPECT_EQ(Find<QSpinBox>("spinBox_flockSize")->value(), 100);
    EXPECT_EQ(Find<QSpinBox>("spinBox_flockSize")->maximum(),
              static_cast<int>(kDefaultFlockSizeLimit));
}

class NullListener : public Quellon::IWindowListener {
public:
    void OnClose() override {}
};

// The logic refused the size typed (not enough memory): the box goes back to the size that
// runs, but only once the logic has answered every size sent, and without telling it again.
TEST_F(SettingsTabTest, FlockSizeBoxShowsTheSizeThatRunsOnceTheLogicAnswered) {
    auto scene = std::make_shared<TestScene>();
    scene->m_flock.boidCount = 300;
    m_tab.SetScene(scene);
    auto* box = Find<QSpinBox>("spinBox_flockSize");
    box->setValue(5000);
    box->setValue(6000);
    EXPECT_EQ(TakeValues(m_queue).size(), 2u);

    scene->AnswerFlockSizeSetting(300);
    m_tab.ShowRunningFlockSize();
    EXPECT_EQ(box->value(), 6000) << "the second size is still on its way";
    scene->AnswerFlockSizeSetting(300);
    m_tab.ShowRunningFlockSize();
    EXPECT_EQ(box->value(), 300);
    EXPECT_TRUE(TakeValues(m_queue).empty());
    box->setValue(400);
    EXPECT_EQ(TakeValues(m_queue).size(), 1u) << "the box still posts what the user types";
}

// Every text of the settings column is visible whole in the font it is drawn with: laid out
// for one font, labels and numbers were cut off in another. Checked at the default font and a
// point larger, in the window at its fixed size.
TEST(SettingsTab, EveryTextFitsItsWidgetInTheFixedWindow) {
    const QFont original = QApplication::font();
    for (const qreal extraPoints : {0.0, 1.0}) {
        QFont font = original;
        font.setPointSizeF(original.pointSizeF() + extraPoints);
        QApplication::setFont(font);
        Quellon::UserEventQueue queue;
        NullListener listener;
        Quellon::Window window(L"Avidrift", {std::make_shared<SettingsTab>(&queue)}, &listener,
                               &queue);
        QApplication::processEvents();
        for (QWidget* widget : window.findChildren<QWidget*>()) {
            const std::string name = widget->objectName().toStdString() + " at " +
                                     std::to_string(font.pointSizeF()) + " pt";
            const QFontMetrics metrics(widget->font());
            if (auto* label = qobject_cast<QLabel*>(widget)) {
                EXPECT_LE(metrics.horizontalAdvance(label->text()), label->contentsRect().width())
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
    }
    QApplication::setFont(original);
}

class ForeignScene : public Quellon::Scene {
public:
    void CopyFrom(std::shared_ptr<Quellon::Scene>) override {}
};

TEST_F(SettingsTabTest, EmptyOrForeignSceneAndEmptyQueueAreRejected) {
    EXPECT_THROW(m_tab.SetScene(nullptr), Quellon::Exception);
    EXPECT_THROW(m_tab.SetScene(std::make_shared<ForeignScene>()), Quellon::Exception);
    EXPECT_EQ(Find<QSpinBox>("spinBox_flockSize")->maximum(), 999999999) << "nothing changed";
    EXPECT_THROW(SettingsTab(nullptr), Quellon::Exception);
}

TEST(SettingsTab, PageIsDeletedByTheTabUntilAWindowTakesItOver) {
    Quellon::UserEventQueue queue;
    QPointer<QWidget> page = SettingsTab(&queue).GetWidget();
    EXPECT_TRUE(page.isNull());

    NullListener listener;
    auto tab = std::make_shared<SettingsTab>(&queue);
    page = tab->GetWidget();
    {
        Quellon::Window window(L"Avidrift", {tab}, &listener, &queue);
        auto* tabs = window.findChild<QTabWidget*>("tabWidget");
        ASSERT_EQ(tabs->count(), 1);
        EXPECT_EQ(tabs->widget(0), page.data());
        EXPECT_EQ(tabs->tabText(0), "Settings");
    }
    EXPECT_TRUE(page.isNull());
    EXPECT_EQ(tab->GetWidget(), nullptr);
}

}  // namespace
}  // namespace Avidrift
