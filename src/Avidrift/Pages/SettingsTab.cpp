#include "Avidrift/Pages/SettingsTab.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include <QBoxLayout>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QWidget>

#include "Avidrift/Pages/SettingRow.h"
#include "Avidrift/Settings.h"
#include "Avidrift/TestScene.h"
#include "Quellon/Exception.h"
#include "Quellon/UserEvent.h"
#include "Quellon/UserEventQueue.h"

namespace Avidrift {

namespace {

constexpr int kLargestCount = 999999999;
// The settings are floats; their spin boxes step by the float 0.1, which two decimals show
// and round as 0.1.
constexpr double kFineStep = 0.1f;
// How often the page looks whether the logic has answered a flock size: soon enough for the
// user to see a refused size go back, and one atomic read each time.
constexpr int kAnswerPollMilliseconds = 100;
// A world loaded elsewhere shows within a fraction of a second; a look is one short lock.
constexpr int kWorldPollMilliseconds = 200;

QString Translate(const char* text) {
    return QCoreApplication::translate("Settings", text);
}

QLabel* AddLabel(QWidget* parent, const char* name) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    return label;
}

QGroupBox* AddGroupBox(QWidget* parent, const char* name) {
    auto* group = new QGroupBox(parent);
    group->setObjectName(QString::fromLatin1(name));
    return group;
}

template <typename SpinBox>
SpinBox* AddSpinBox(QWidget* parent, const char* name) {
    auto* box = new SpinBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setAlignment(kSpinBoxAlignment);
    return box;
}

// Scene counts are unsigned 32-bit; a spin box holds an int.
int ToSpinBoxValue(std::uint32_t count) {
    return static_cast<int>(std::min<std::uint32_t>(count, INT_MAX));
}

}  // namespace

SettingsTab::SettingsTab(Quellon::UserEventQueue* eventQueue)
    : QObject(nullptr), m_eventQueue(eventQueue) {
    if (m_eventQueue == nullptr) {
        Quellon::ThrowException(EINVAL,
                                L"Invalid parameter: !eventQueue in SettingsTab::SettingsTab");
    }
    m_widget = new QWidget(nullptr);
    BuildPage();
    m_answerTimer = new QTimer(this);
    m_answerTimer->setInterval(kAnswerPollMilliseconds);
    connect(m_answerTimer, &QTimer::timeout, this, &SettingsTab::ShowRunningFlockSize);
    m_worldTimer = new QTimer(this);
    m_worldTimer->setInterval(kWorldPollMilliseconds);
    connect(m_worldTimer, &QTimer::timeout, this, &SettingsTab::ShowWorld);
}

SettingsTab::~SettingsTab() {
    // A page never added to a window is still ours; one in a tab widget belongs to it.
    if (m_widget != nullptr && m_widget->parent() == nullptr) {
        delete m_widget.data();
    }
}

QWidget* SettingsTab::GetWidget() {
    return m_widget.data();
}

// The group boxes and labels, which live in the page's tree without fields of their own.
struct SettingsTab::PageWidgets {
    QGroupBox* groupBox_2 = nullptr;
    QGroupBox* groupBox = nullptr;
    QGroupBox* groupBox_3 = nullptr;
    QGroupBox* groupBox_7 = nullptr;
    QLabel* label = nullptr;
    QLabel* label_2 = nullptr;
    QLabel* label_3 = nullptr;
    QLabel* label_4 = nullptr;
    QLabel* label_5 = nullptr;
    QLabel* label_6 = nullptr;
    QLabel* label_7 = nullptr;
    QLabel* label_8 = nullptr;
    QLabel* label_9 = nullptr;
    QLabel* label_10 = nullptr;
};

void SettingsTab::BuildPage() {
    QWidget* page = m_widget.data();
    page->setObjectName(QStringLiteral("Settings"));
    page->resize(181, 434);
    const PageWidgets widgets = CreateWidgets(page);
    LayOut(page, widgets);
    SetTexts(page, widgets);
    ConnectSpinBoxes();
}

// In the order the page has always created them, with their ranges and steps.
SettingsTab::PageWidgets SettingsTab::CreateWidgets(QWidget* page) {
    PageWidgets w;
    w.groupBox_2 = AddGroupBox(page, "groupBox_2");
    doubleSpinBox_angleIncrement =
        AddSpinBox<QDoubleSpinBox>(w.groupBox_2, "doubleSpinBox_angleIncrement");
    doubleSpinBox_angleIncrement->setMaximum(720.0);
    doubleSpinBox_angleIncrement->setSingleStep(kFineStep);
    w.label_3 = AddLabel(w.groupBox_2, "label_3");
    w.label_10 = AddLabel(w.groupBox_2, "label_10");
    spinBox_flockSize = AddSpinBox<QSpinBox>(w.groupBox_2, "spinBox_flockSize");
    QSizePolicy fixedPolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    fixedPolicy.setHorizontalStretch(0);
    fixedPolicy.setVerticalStretch(0);
    fixedPolicy.setHeightForWidth(spinBox_flockSize->sizePolicy().hasHeightForWidth());
    spinBox_flockSize->setSizePolicy(fixedPolicy);
    spinBox_flockSize->setMaximum(kLargestCount);
    doubleSpinBox_maxSpeed = AddSpinBox<QDoubleSpinBox>(w.groupBox_2, "doubleSpinBox_maxSpeed");
    w.label_2 = AddLabel(w.groupBox_2, "label_2");

    w.groupBox = AddGroupBox(w.groupBox_2, "groupBox");
    doubleSpinBox_trefoilKnotPathWeight =
        AddSpinBox<QDoubleSpinBox>(w.groupBox, "doubleSpinBox_trefoilKnotPathWeight");
    doubleSpinBox_trefoilKnotPathWeight->setSingleStep(kFineStep);
    w.label_7 = AddLabel(w.groupBox, "label_7");
    doubleSpinBox_separationWeight =
        AddSpinBox<QDoubleSpinBox>(w.groupBox, "doubleSpinBox_separationWeight");
    doubleSpinBox_separationWeight->setSingleStep(kFineStep);
    w.label_6 = AddLabel(w.groupBox, "label_6");
    doubleSpinBox_cohesionWeight =
        AddSpinBox<QDoubleSpinBox>(w.groupBox, "doubleSpinBox_cohesionWeight");
    doubleSpinBox_cohesionWeight->setSingleStep(kFineStep);
    doubleSpinBox_alignmentWeight =
        AddSpinBox<QDoubleSpinBox>(w.groupBox, "doubleSpinBox_alignmentWeight");
    doubleSpinBox_alignmentWeight->setSingleStep(kFineStep);
    w.label_8 = AddLabel(w.groupBox, "label_8");
    w.label_9 = AddLabel(w.groupBox, "label_9");

    w.groupBox_3 = AddGroupBox(w.groupBox_2, "groupBox_3");
    doubleSpinBox_groupDistance =
        AddSpinBox<QDoubleSpinBox>(w.groupBox_3, "doubleSpinBox_groupDistance");
    doubleSpinBox_groupDistance->setSingleStep(kFineStep);
    doubleSpinBox_separationDistance =
        AddSpinBox<QDoubleSpinBox>(w.groupBox_3, "doubleSpinBox_separationDistance");
    doubleSpinBox_separationDistance->setSingleStep(kFineStep);
    w.label_4 = AddLabel(w.groupBox_3, "label_4");
    w.label_5 = AddLabel(w.groupBox_3, "label_5");

    w.groupBox_7 = AddGroupBox(page, "groupBox_7");
    w.label = AddLabel(w.groupBox_7, "label");
    spinBox_tasksCount = AddSpinBox<QSpinBox>(w.groupBox_7, "spinBox_tasksCount");
    spinBox_tasksCount->setMinimum(1);
    spinBox_tasksCount->setMaximum(kLargestCount);

    return w;
}

void SettingsTab::LayOut(QWidget* page, const PageWidgets& w) {
    // The arrangement of the form top to bottom: the flock's own settings, then its distances
    // and force weights in groups of their own inside it; the task system below.
    auto* pageLayout = new QVBoxLayout(page);
    pageLayout->setContentsMargins(3, 10, 3, 3);
    pageLayout->addWidget(w.groupBox_2);
    pageLayout->addWidget(w.groupBox_7);
    pageLayout->addStretch(1);
    QVBoxLayout* flockRows = AddGroupRows(w.groupBox_2);
    AddSettingRow(flockRows, w.label_2, spinBox_flockSize);
    AddSettingRow(flockRows, w.label_3, doubleSpinBox_maxSpeed);
    AddSettingRow(flockRows, w.label_10, doubleSpinBox_angleIncrement);
    flockRows->addWidget(w.groupBox_3);
    flockRows->addWidget(w.groupBox);
    QVBoxLayout* distanceRows = AddGroupRows(w.groupBox_3);
    AddSettingRow(distanceRows, w.label_4, doubleSpinBox_separationDistance);
    AddSettingRow(distanceRows, w.label_5, doubleSpinBox_groupDistance);
    QVBoxLayout* weightRows = AddGroupRows(w.groupBox);
    AddSettingRow(weightRows, w.label_6, doubleSpinBox_separationWeight);
    AddSettingRow(weightRows, w.label_7, doubleSpinBox_cohesionWeight);
    AddSettingRow(weightRows, w.label_8, doubleSpinBox_alignmentWeight);
    AddSettingRow(weightRows, w.label_9, doubleSpinBox_trefoilKnotPathWeight);
    AddSettingRow(AddGroupRows(w.groupBox_7), w.label, spinBox_tasksCount);
}

void SettingsTab::SetTexts(QWidget* page, const PageWidgets& w) {
    page->setWindowTitle(Translate("Settings"));
    w.groupBox_2->setTitle(Translate("Flock Properties"));
    w.label_3->setText(Translate("Max speed"));
    w.label_10->setText(Translate("Angle increment"));
    w.label_2->setText(Translate("Flock size"));
    w.groupBox->setTitle(Translate("Flock Forces Weights"));
    w.label_7->setText(Translate("Cohesion"));
    w.label_6->setText(Translate("Separation"));
    w.label_8->setText(Translate("Alignment"));
    w.label_9->setText(Translate("TrefoilKnotPath"));
    w.groupBox_3->setTitle(Translate("Distances"));
    w.label_4->setText(Translate("Separation"));
    w.label_5->setText(Translate("Group"));
    w.groupBox_7->setTitle(Translate("Task system"));
    w.label->setText(Translate("Number of tasks"));
}

void SettingsTab::ConnectSpinBoxes() {
    connect(spinBox_tasksCount, SIGNAL(valueChanged(int)), this, SLOT(TasksCountChanged(int)));
    connect(spinBox_flockSize, SIGNAL(valueChanged(int)), this, SLOT(SizeChange(int)));
    connect(doubleSpinBox_separationDistance, SIGNAL(valueChanged(double)), this,
            SLOT(SeparationDistanceChanged(double)));
    connect(doubleSpinBox_groupDistance, SIGNAL(valueChanged(double)), this,
            SLOT(GroupDistanceChanged(double)));
    connect(doubleSpinBox_separationWeight, SIGNAL(valueChanged(double)), this,
            SLOT(SeparationWeightChanged(double)));
    connect(doubleSpinBox_cohesionWeight, SIGNAL(valueChanged(double)), this,
            SLOT(CohesionWeightChanged(double)));
    connect(doubleSpinBox_alignmentWeight, SIGNAL(valueChanged(double)), this,
            SLOT(AlignmentWeightChanged(double)));
    connect(doubleSpinBox_maxSpeed, SIGNAL(valueChanged(double)), this,
            SLOT(MaxSpeedChanged(double)));
    connect(doubleSpinBox_trefoilKnotPathWeight, SIGNAL(valueChanged(double)), this,
            SLOT(TrefoildKnotPathWeightChanged(double)));
    connect(doubleSpinBox_angleIncrement, SIGNAL(valueChanged(double)), this,
            SLOT(AngleIncrementChanged(double)));
}

void SettingsTab::SetScene(std::shared_ptr<Quellon::Scene> scene) {
    if (!scene) {
        Quellon::ThrowException(EINVAL, L"Invalid parameter: !scene in SettingsTab::SetScene");
    }
    const auto testScene = std::dynamic_pointer_cast<TestScene>(scene);
    if (!testScene) {
        Quellon::ThrowException(
            EINVAL, L"Invalid parameter: scene is not a TestScene in SettingsTab::SetScene");
    }
    const FlockData& flock = testScene->m_flock;
    // The logic's limit when no renderer has set one, so the page offers what the logic takes.
    const std::uint32_t maxFlockSize =
        flock.maxFlockSize != 0 ? flock.maxFlockSize : kDefaultFlockSizeLimit;

    // Loading is not a change by the user: the logic already has these values, and events
    // for them would reach it only after it had moved on.
    std::vector<QSignalBlocker> blockers;
    blockers.reserve(10);
    for (QObject* box : std::initializer_list<QObject*>{
             spinBox_flockSize, doubleSpinBox_separationDistance, doubleSpinBox_groupDistance,
             doubleSpinBox_separationWeight, doubleSpinBox_cohesionWeight,
             doubleSpinBox_alignmentWeight, doubleSpinBox_maxSpeed,
             doubleSpinBox_trefoilKnotPathWeight, doubleSpinBox_angleIncrement,
             spinBox_tasksCount}) {
        blockers.emplace_back(box);
    }

    spinBox_tasksCount->setValue(ToSpinBoxValue(testScene->m_taskCount));
    doubleSpinBox_angleIncrement->setValue(flock.angleIncrement);
    doubleSpinBox_separationWeight->setValue(flock.separationWeight);
    doubleSpinBox_cohesionWeight->setValue(flock.cohesionWeight);
    doubleSpinBox_alignmentWeight->setValue(flock.alignmentWeight);
    doubleSpinBox_trefoilKnotPathWeight->setValue(flock.trefoilKnotPathWeight);
    // The value goes in before the range narrows, so a flock larger than the limit shows as
    // the limit rather than being rejected.
    spinBox_flockSize->setValue(ToSpinBoxValue(flock.boidCount));
    spinBox_flockSize->setMinimum(1);
    spinBox_flockSize->setMaximum(ToSpinBoxValue(maxFlockSize));
    doubleSpinBox_maxSpeed->setValue(flock.maxSpeed.x);
    doubleSpinBox_separationDistance->setValue(flock.separationDistance);
    doubleSpinBox_groupDistance->setValue(flock.groupDistance);

    m_scene = testScene;
    m_sentFlockSizes = testScene->GetFlockSizeAnswer().handled;
    m_shownWorldVersion = testScene->GetWorld().version;
    m_worldTimer->start();
}

void SettingsTab::ShowWorld() {
    const std::shared_ptr<TestScene> scene = m_scene.lock();
    if (!scene) {
        m_worldTimer->stop();
        return;
    }
    const TestScene::WorldView view = scene->GetWorld();
    if (view.version == m_shownWorldVersion) {
        return;
    }
    const FlockData& world = view.world.parameters;
    bool skipped = false;
    // What the logic already has: telling it again would, for the size, place the flock anew.
    const auto show = [&skipped](QAbstractSpinBox* box, double value) {
        if (box->hasFocus()) {
            skipped = true;
            return;
        }
        const QSignalBlocker blocker(box);
        box->setProperty("value", value);
    };
    if (view.world.boidCount && !m_answerTimer->isActive()) {
        show(spinBox_flockSize, ToSpinBoxValue(*view.world.boidCount));
    }
    show(doubleSpinBox_angleIncrement, world.angleIncrement);
    show(doubleSpinBox_separationWeight, world.separationWeight);
    show(doubleSpinBox_cohesionWeight, world.cohesionWeight);
    show(doubleSpinBox_alignmentWeight, world.alignmentWeight);
    show(doubleSpinBox_trefoilKnotPathWeight, world.trefoilKnotPathWeight);
    show(doubleSpinBox_maxSpeed, world.maxSpeed.x);
    show(doubleSpinBox_separationDistance, world.separationDistance);
    show(doubleSpinBox_groupDistance, world.groupDistance);
    // A box left alone is shown at a later look, once the user has moved on.
    m_shownWorldVersion = skipped ? 0 : view.version;
}

void SettingsTab::ShowRunningFlockSize() {
    const std::shared_ptr<TestScene> scene = m_scene.lock();
    if (!scene) {
        m_answerTimer->stop();
        return;
    }
    // Until the logic has handled every size sent, the box shows one still on its way; setting
    // it back then would undo what the user just typed.
    const TestScene::FlockSizeAnswer answer = scene->GetFlockSizeAnswer();
    if (answer.handled != m_sentFlockSizes) {
        return;
    }
    m_answerTimer->stop();
    // The logic already runs this size: telling it again would place the flock anew.
    const QSignalBlocker blocker(spinBox_flockSize);
    spinBox_flockSize->setValue(ToSpinBoxValue(answer.boidCount));
}

void SettingsTab::Post(float value, int id) {
    m_eventQueue->Post(std::make_shared<Quellon::ValueChangedEvent>(value, id));
}

void SettingsTab::TasksCountChanged(int i) {
    Post(static_cast<float>(i), kTaskCountSetting);
}

void SettingsTab::SizeChange(int val) {
    Post(static_cast<float>(val), kFlockSizeSetting);
    ++m_sentFlockSizes;
    m_answerTimer->start();
}

void SettingsTab::AngleIncrementChanged(double val) {
    Post(static_cast<float>(val), kAngleIncrementSetting);
}

void SettingsTab::SeparationWeightChanged(double val) {
    Post(static_cast<float>(val), kSeparationWeightSetting);
}

void SettingsTab::CohesionWeightChanged(double val) {
    Post(static_cast<float>(val), kCohesionWeightSetting);
}

void SettingsTab::AlignmentWeightChanged(double val) {
    Post(static_cast<float>(val), kAlignmentWeightSetting);
}

void SettingsTab::TrefoildKnotPathWeightChanged(double val) {
    Post(static_cast<float>(val), kTrefoilKnotPathWeightSetting);
}

void SettingsTab::MaxSpeedChanged(double val) {
    Post(static_cast<float>(val), kMaxSpeedSetting);
}

void SettingsTab::SeparationDistanceChanged(double val) {
    Post(static_cast<float>(val), kSeparationDistanceSetting);
}

void SettingsTab::GroupDistanceChanged(double val) {
    Post(static_cast<float>(val), kGroupDistanceSetting);
}

}  // namespace Avidrift
