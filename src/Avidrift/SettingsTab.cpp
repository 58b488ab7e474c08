#include "Avidrift/SettingsTab.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QWidget>

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
constexpr Qt::Alignment kSpinBoxAlignment = Qt::AlignRight | Qt::AlignVCenter;

QString Translate(const char* text) {
    return QCoreApplication::translate("Settings", text);
}

QLabel* AddLabel(QWidget* parent, const char* name, const QRect& geometry) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(geometry);
    return label;
}

QGroupBox* AddGroupBox(QWidget* parent, const char* name, const QRect& geometry) {
    auto* group = new QGroupBox(parent);
    group->setObjectName(QString::fromLatin1(name));
    group->setGeometry(geometry);
    return group;
}

template <typename SpinBox>
SpinBox* AddSpinBox(QWidget* parent, const char* name, const QRect& geometry) {
    auto* box = new SpinBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setGeometry(geometry);
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
        errno = EINVAL;
        throw Quellon::Exception(L"Invalid parameter: !eventQueue in SettingsTab::SettingsTab");
    }
    m_widget = new QWidget(nullptr);
    BuildPage();
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

void SettingsTab::BuildPage() {
    QWidget* page = m_widget.data();
    page->setObjectName(QStringLiteral("Settings"));
    page->resize(181, 434);

    QGroupBox* groupBox_2 = AddGroupBox(page, "groupBox_2", QRect(3, 10, 192, 381));
    doubleSpinBox_angleIncrement = AddSpinBox<QDoubleSpinBox>(
        groupBox_2, "doubleSpinBox_angleIncrement", QRect(140, 80, 49, 20));
    doubleSpinBox_angleIncrement->setMaximum(720.0);
    doubleSpinBox_angleIncrement->setSingleStep(kFineStep);
    QLabel* label_3 = AddLabel(groupBox_2, "label_3", QRect(10, 50, 61, 20));
    QLabel* label_10 = AddLabel(groupBox_2, "label_10", QRect(10, 80, 77, 16));
    spinBox_flockSize =
        AddSpinBox<QSpinBox>(groupBox_2, "spinBox_flockSize", QRect(120, 20, 70, 20));
    QSizePolicy fixedPolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    fixedPolicy.setHorizontalStretch(0);
    fixedPolicy.setVerticalStretch(0);
    fixedPolicy.setHeightForWidth(spinBox_flockSize->sizePolicy().hasHeightForWidth());
    spinBox_flockSize->setSizePolicy(fixedPolicy);
    spinBox_flockSize->setMaximum(kLargestCount);
    doubleSpinBox_maxSpeed =
        AddSpinBox<QDoubleSpinBox>(groupBox_2, "doubleSpinBox_maxSpeed", QRect(140, 50, 49, 20));
    QLabel* label_2 = AddLabel(groupBox_2, "label_2", QRect(10, 20, 51, 20));

    QGroupBox* groupBox = AddGroupBox(groupBox_2, "groupBox", QRect(5, 220, 178, 141));
    doubleSpinBox_trefoilKnotPathWeight = AddSpinBox<QDoubleSpinBox>(
        groupBox, "doubleSpinBox_trefoilKnotPathWeight", QRect(120, 110, 49, 20));
    doubleSpinBox_trefoilKnotPathWeight->setSingleStep(kFineStep);
    QLabel* label_7 = AddLabel(groupBox, "label_7", QRect(10, 50, 72, 20));
    doubleSpinBox_separationWeight = AddSpinBox<QDoubleSpinBox>(
        groupBox, "doubleSpinBox_separationWeight", QRect(120, 20, 51, 20));
    doubleSpinBox_separationWeight->setSingleStep(kFineStep);
    QLabel* label_6 = AddLabel(groupBox, "label_6", QRect(10, 20, 80, 20));
    doubleSpinBox_cohesionWeight = AddSpinBox<QDoubleSpinBox>(
        groupBox, "doubleSpinBox_cohesionWeight", QRect(120, 50, 49, 20));
    doubleSpinBox_cohesionWeight->setSingleStep(kFineStep);
    doubleSpinBox_alignmentWeight = AddSpinBox<QDoubleSpinBox>(
        groupBox, "doubleSpinBox_alignmentWeight", QRect(120, 80, 49, 20));
    doubleSpinBox_alignmentWeight->setSingleStep(kFineStep);
    QLabel* label_8 = AddLabel(groupBox, "label_8", QRect(10, 80, 75, 20));
    QLabel* label_9 = AddLabel(groupBox, "label_9", QRect(10, 110, 81, 16));

    QGroupBox* groupBox_3 = AddGroupBox(groupBox_2, "groupBox_3", QRect(5, 120, 178, 81));
    doubleSpinBox_groupDistance = AddSpinBox<QDoubleSpinBox>(
        groupBox_3, "doubleSpinBox_groupDistance", QRect(130, 50, 45, 20));
    doubleSpinBox_groupDistance->setSingleStep(kFineStep);
    doubleSpinBox_separationDistance = AddSpinBox<QDoubleSpinBox>(
        groupBox_3, "doubleSpinBox_separationDistance", QRect(130, 20, 45, 20));
    doubleSpinBox_separationDistance->setSingleStep(kFineStep);
    QLabel* label_4 = AddLabel(groupBox_3, "label_4", QRect(10, 20, 101, 20));
    QLabel* label_5 = AddLabel(groupBox_3, "label_5", QRect(10, 50, 91, 20));

    QGroupBox* groupBox_7 = AddGroupBox(page, "groupBox_7", QRect(3, 400, 190, 50));
    QLabel* label = AddLabel(groupBox_7, "label", QRect(10, 20, 78, 16));
    spinBox_tasksCount =
        AddSpinBox<QSpinBox>(groupBox_7, "spinBox_tasksCount", QRect(135, 20, 50, 20));
    spinBox_tasksCount->setMinimum(1);
    spinBox_tasksCount->setMaximum(kLargestCount);

    page->setWindowTitle(Translate("Settings"));
    groupBox_2->setTitle(Translate("Flock Properties"));
    label_3->setText(Translate("Max speed"));
    label_10->setText(Translate("Angle increment"));
    label_2->setText(Translate("Flock size"));
    groupBox->setTitle(Translate("Flock Forces Weights"));
    label_7->setText(Translate("Cohesion"));
    label_6->setText(Translate("Separation"));
    label_8->setText(Translate("Alignment"));
    label_9->setText(Translate("TrefoilKnotPath"));
    groupBox_3->setTitle(Translate("Distances"));
    label_4->setText(Translate("Separation"));
    label_5->setText(Translate("Group"));
    groupBox_7->setTitle(Translate("Task system"));
    label->setText(Translate("Number of tasks"));

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
        errno = EINVAL;
        throw Quellon::Exception(L"Invalid parameter: !scene in SettingsTab::SetScene");
    }
    const auto* testScene = dynamic_cast<const TestScene*>(scene.get());
    if (testScene == nullptr) {
        errno = EINVAL;
        throw Quellon::Exception(
            L"Invalid parameter: scene is not a TestScene in SettingsTab::SetScene");
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
}

void SettingsTab::Post(float value, int id) {
    m_eventQueue->Post(std::make_shared<Quellon::ValueChangedEvent>(value, id));
}

void SettingsTab::TasksCountChanged(int i) {
    Post(static_cast<float>(i), kTaskCountSetting);
}

void SettingsTab::SizeChange(int val) {
    Post(static_cast<float>(val), kFlockSizeSetting);
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
