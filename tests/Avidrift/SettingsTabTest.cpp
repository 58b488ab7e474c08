#include "Avidrift/SettingsTab.h"

#include <utility>
#include <vector>

#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QMetaMethod>
#include <QPointer>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

#include "Avidrift/TestLogic.h"
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

struct WidgetRow {
    const char* className;
    const char* parent;
    const char* name;
    QRect geometry;
    const char* text;
};

const WidgetRow kWidgets[] = {
    {"QGroupBox", "Settings", "groupBox_2", {3, 10, 192, 381}, "Flock Properties"},
    {"QDoubleSpinBox", "groupBox_2", "doubleSpinBox_angleIncrement", {140, 80, 49, 20}, ""},
    {"QLabel", "groupBox_2", "label_3", {10, 50, 61, 20}, "Max speed"},
    {"QLabel", "groupBox_2", "label_10", {10, 80, 77, 16}, "Angle increment"},
    {"QSpinBox", "groupBox_2", "spinBox_flockSize", {120, 20, 70, 20}, ""},
    {"QDoubleSpinBox", "groupBox_2", "doubleSpinBox_maxSpeed", {140, 50, 49, 20}, ""},
    {"QLabel", "groupBox_2", "label_2", {10, 20, 51, 20}, "Flock size"},
    {"QGroupBox", "groupBox_2", "groupBox", {5, 220, 178, 141}, "Flock Forces Weights"},
    {"QDoubleSpinBox", "groupBox", "doubleSpinBox_trefoilKnotPathWeight", {120, 110, 49, 20}, ""},
    {"QLabel", "groupBox", "label_7", {10, 50, 72, 20}, "Cohesion"},
    {"QDoubleSpinBox", "groupBox", "doubleSpinBox_separationWeight", {120, 20, 51, 20}, ""},
    {"QLabel", "groupBox", "label_6", {10, 20, 80, 20}, "Separation"},
    {"QDoubleSpinBox", "groupBox", "doubleSpinBox_cohesionWeight", {120, 50, 49, 20}, ""},
    {"QDoubleSpinBox", "groupBox", "doubleSpinBox_alignmentWeight", {120, 80, 49, 20}, ""},
    {"QLabel", "groupBox", "label_8", {10, 80, 75, 20}, "Alignment"},
    {"QLabel", "groupBox", "label_9", {10, 110, 81, 16}, "TrefoilKnotPath"},
    {"QGroupBox", "groupBox_2", "groupBox_3", {5, 120, 178, 81}, "Distances"},
    {"QDoubleSpinBox", "groupBox_3", "doubleSpinBox_groupDistance", {130, 50, 45, 20}, ""},
    {"QDoubleSpinBox", "groupBox_3", "doubleSpinBox_separationDistance", {130, 20, 45, 20}, ""},
    {"QLabel", "groupBox_3", "label_4", {10, 20, 101, 20}, "Separation"},
    {"QLabel", "groupBox_3", "label_5", {10, 50, 91, 20}, "Group"},
    {"QGroupBox", "Settings", "groupBox_7", {3, 400, 190, 50}, "Task system"},
    {"QLabel", "groupBox_7", "label", {10, 20, 78, 16}, "Number of tasks"},
    {"QSpinBox", "groupBox_7", "spinBox_tasksCount", {135, 20, 50, 20}, ""},
};

TEST_F(SettingsTabTest, WidgetTreeMatchesTheForm) {
    QWidget* page = m_tab.GetWidget();
    EXPECT_EQ(page->parent(), nullptr);
    EXPECT_EQ(page->objectName(), "Settings");
    EXPECT_EQ(page->windowTitle(), "Settings");
    EXPECT_EQ(page->size(), QSize(181, 434));
    for (const WidgetRow& row : kWidgets) {
        SCOPED_TRACE(row.name);
        QWidget* widget = Find(row.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_STREQ(widget->metaObject()->className(), row.className);
        EXPECT_EQ(widget->parentWidget()->objectName(), row.parent);
        EXPECT_EQ(widget->geometry(), row.geometry);
        if (auto* group = qobject_cast<QGroupBox*>(widget)) {
            EXPECT_EQ(group->title(), row.text);
        } else if (auto* label = qobject_cast<QLabel*>(widget)) {
            EXPECT_EQ(label->text(), row.text);
        }
    }
}

struct SpinBoxRow {
    const char* name;
    double maximum;
    double singleStep;
    int id;
    double newValue;
    float posted;
};

constexpr double kFineStep = 0.1f;
const SpinBoxRow kSpinBoxes[] = {
    {"spinBox_tasksCount", 999999999, 1, kTaskCountSetting, 7, 7.0f},
    // Beyond 2^24 the float cannot hold the count exactly.
    {"spinBox_flockSize", 999999999, 1, kFlockSizeSetting, 999999999, 1.0e9f},
    {"doubleSpinBox_angleIncrement", 720, kFineStep, kAngleIncrementSetting, 720, 720.0f},
    {"doubleSpinBox_separationWeight", 99.99, kFineStep, kSeparationWeightSetting, 0.35, 0.35f},
    {"doubleSpinBox_cohesionWeight", 99.99, kFineStep, kCohesionWeightSetting, 1.5, 1.5f},
    {"doubleSpinBox_alignmentWeight", 99.99, kFineStep, kAlignmentWeightSetting, 2.25, 2.25f},
    {"doubleSpinBox_trefoilKnotPathWeight", 99.99, kFineStep, kTrefoilKnotPathWeightSetting, 0.1,
     0.1f},
    {"doubleSpinBox_maxSpeed", 99.99, 1, kMaxSpeedSetting, 99.99, 99.99f},
    {"doubleSpinBox_separationDistance", 99.99, kFineStep, kSeparationDistanceSetting, 12.34,
     12.34f},
    {"doubleSpinBox_groupDistance", 99.99, kFineStep, kGroupDistanceSetting, 45.6, 45.6f},
};

TEST_F(SettingsTabTest, EverySpinBoxHasItsRangeAndPostsItsSettingId) {
    for (const SpinBoxRow& row : kSpinBoxes) {
        SCOPED_TRACE(row.name);
        auto* box = Find<QAbstractSpinBox>(row.name);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->alignment(), Qt::AlignRight | Qt::AlignVCenter);
        if (auto* whole = qobject_cast<QSpinBox*>(box)) {
            EXPECT_EQ(whole->minimum(), row.id == kTaskCountSetting ? 1 : 0);
            EXPECT_EQ(whole->maximum(), row.maximum);
            EXPECT_EQ(whole->singleStep(), row.singleStep);
            whole->setValue(static_cast<int>(row.newValue));
        } else {
            auto* real = qobject_cast<QDoubleSpinBox*>(box);
            EXPECT_EQ(real->minimum(), 0.0);
            EXPECT_EQ(real->maximum(), row.maximum);
            EXPECT_EQ(real->singleStep(), row.singleStep);
            EXPECT_EQ(real->decimals(), 2);
            real->setValue(row.newValue);
        }
        EXPECT_EQ(TakeValues(m_queue), (std::vector<std::pair<int, float>>{{row.id, row.posted}}));
    }
}

TEST_F(SettingsTabTest, TypedTaskCountIsPostedAndZeroRefused) {
    auto* tasks = Find<QSpinBox>("spinBox_tasksCount");
    tasks->selectAll();
    QTest::keyClicks(tasks, "3");
    EXPECT_EQ(TakeValues(m_queue), (std::vector<std::pair<int, float>>{{kTaskCountSetting, 3}}));
    tasks->selectAll();
    QTest::keyClicks(tasks, "0");
    QTest::keyClick(tasks, Qt::Key_Enter);
    EXPECT_EQ(tasks->value(), 3);
    // Qt posts the kept value again on Enter; never the refused 0.
    for (const auto& [id, value] : TakeValues(m_queue)) {
        EXPECT_EQ(value, 3.0f);
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
}

TEST_F(SettingsTabTest, SetSceneOffersTheLogicsLimitWhileTheRendererHasSetNone) {
    auto scene = std::make_shared<TestScene>();
    scene->m_flock.boidCount = 100;
    m_tab.SetScene(scene);
    EXPECT_EQ(Find<QSpinBox>("spinBox_flockSize")->value(), 100);
    EXPECT_EQ(Find<QSpinBox>("spinBox_flockSize")->maximum(),
              static_cast<int>(TestLogic::kDefaultFlockSizeLimit));
}

class ForeignScene : public Quellon::Scene {
public:
    void CopyFrom(std::shared_ptr<Quellon::Scene>) override {}
};

TEST_F(SettingsTabTest, EmptyOrForeignSceneAndEmptyQueueAreRejected) {
    const auto messageOf = [](auto action) {
        try {
            action();
        } catch (const Quellon::Exception& e) {
            return e.GetMessage();
        }
        return std::wstring(L"no exception");
    };
    EXPECT_EQ(messageOf([&] { m_tab.SetScene(nullptr); }),
              L"Invalid parameter: !scene in SettingsTab::SetScene");
    EXPECT_EQ(messageOf([&] { m_tab.SetScene(std::make_shared<ForeignScene>()); }),
              L"Invalid parameter: scene is not a TestScene in SettingsTab::SetScene");
    EXPECT_EQ(Find<QSpinBox>("spinBox_flockSize")->maximum(), 999999999) << "nothing changed";
    EXPECT_EQ(messageOf([] { SettingsTab tab(nullptr); }),
              L"Invalid parameter: !eventQueue in SettingsTab::SettingsTab");
}

TEST_F(SettingsTabTest, MetaObjectHasTheTenSlotsInIdOrderAndCastsToTheTab) {
    const QMetaObject* meta = m_tab.metaObject();
    EXPECT_STREQ(meta->className(), "Avidrift::SettingsTab");
    const char* const signatures[] = {
        "TasksCountChanged(int)",
        "SizeChange(int)",
        "AngleIncrementChanged(double)",
        "SeparationWeightChanged(double)",
        "CohesionWeightChanged(double)",
        "AlignmentWeightChanged(double)",
        "TrefoildKnotPathWeightChanged(double)",
        "MaxSpeedChanged(double)",
        "SeparationDistanceChanged(double)",
        "GroupDistanceChanged(double)",
    };
    ASSERT_EQ(meta->methodCount() - meta->methodOffset(), 10);
    for (int id = 0; id < 10; ++id) {
        const QMetaMethod slot = meta->method(meta->methodOffset() + id);
        EXPECT_EQ(slot.methodSignature(), signatures[id]);
        EXPECT_EQ(slot.methodType(), QMetaMethod::Slot);
        EXPECT_EQ(slot.access(), QMetaMethod::Private);
        EXPECT_EQ(slot.parameterNames(), QList<QByteArray>{id == 0 ? "i" : "val"});
    }
    EXPECT_EQ(m_tab.qt_metacast("Quellon::ITab"),
              static_cast<void*>(static_cast<Quellon::ITab*>(&m_tab)));
    EXPECT_EQ(m_tab.qt_metacast("QObject"), static_cast<void*>(static_cast<QObject*>(&m_tab)));
    EXPECT_EQ(m_tab.qt_metacast("Quellon::Window"), nullptr);
}

class NullListener : public Quellon::IWindowListener {
public:
    void OnClose() override {}
};

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
