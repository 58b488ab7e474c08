#pragma once

#include <cstdint>
#include <memory>

#include <QObject>
#include <QPointer>

#include "Quellon/Widgets/ITab.h"

class QDoubleSpinBox;
class QSpinBox;
class QTimer;
class QWidget;

namespace Quellon {
class Scene;
class UserEventQueue;
}  // namespace Quellon

namespace Avidrift {

class TestScene;

// The "Settings" page: one spin box per setting of the flock and the task system. Every change
// of a spin box is posted to the logic's queue as a ValueChangedEvent carrying the setting's
// id; the logic applies it on its next update, so the page never waits for the simulation.
class SettingsTab : public QObject, public Quellon::ITab {
    Q_OBJECT

public:
    // Called on the Qt thread. Borrows eventQueue, which must outlive the page's spin boxes.
    // The page is a top-level widget until a window takes it over. Throws Exception for an
    // empty queue.
    explicit SettingsTab(Quellon::UserEventQueue* eventQueue);
    // Deletes the page only if no window has taken it over.
    ~SettingsTab() override;

    // Called on the Qt thread. Empty once the window that took the page over has deleted it.
    QWidget* GetWidget() override;
    // Called on the Qt thread, before the logic loop runs or under the scene's read lock: the
    // scene is read without locking. Loads every spin box from the scene, a TestScene, and
    // posts nothing; the flock size is limited to the scene's largest flock. Throws Exception
    // for an empty scene or one of another type, changing nothing.
    // Keeps a weak reference to the scene: the logic's answers to flock sizes appear there.
    void SetScene(std::shared_ptr<Quellon::Scene> scene) override;

    // Called on the Qt thread, by the page's timer while a flock size is on its way. Once the
    // logic has answered every flock size the page sent, shows the size that runs, which is
    // the old one when the logic refused the last (not enough memory), and posts nothing.
    void ShowRunningFlockSize();
    // Called on the Qt thread, by the page's timer: shows the flock size and the parameters of
    // the world the logic last published (a world loaded on the world page), and posts nothing.
    // A box the user is editing, and the flock size while one is on its way, keep theirs.
    void ShowWorld();

private slots:
    void TasksCountChanged(int i);
    void SizeChange(int val);
    void AngleIncrementChanged(double val);
    void SeparationWeightChanged(double val);
    void CohesionWeightChanged(double val);
    void AlignmentWeightChanged(double val);
    void TrefoildKnotPathWeightChanged(double val);
    void MaxSpeedChanged(double val);
    void SeparationDistanceChanged(double val);
    void GroupDistanceChanged(double val);

private:
    struct PageWidgets;
    void BuildPage();
    PageWidgets CreateWidgets(QWidget* page);
    void LayOut(QWidget* page, const PageWidgets& widgets);
    static void SetTexts(QWidget* page, const PageWidgets& widgets);
    void ConnectSpinBoxes();
    void Post(float value, int id);

    // Owned until a window's tab widget takes the page over; tracked, because the window may
    // delete it before this object goes.
    QPointer<QWidget> m_widget;
    // The spin boxes live in the page's widget tree and go with it.
    QSpinBox* spinBox_flockSize = nullptr;
    QDoubleSpinBox* doubleSpinBox_separationDistance = nullptr;
    QDoubleSpinBox* doubleSpinBox_groupDistance = nullptr;
    QDoubleSpinBox* doubleSpinBox_separationWeight = nullptr;
    QDoubleSpinBox* doubleSpinBox_cohesionWeight = nullptr;
    QDoubleSpinBox* doubleSpinBox_alignmentWeight = nullptr;
    QDoubleSpinBox* doubleSpinBox_maxSpeed = nullptr;
    QDoubleSpinBox* doubleSpinBox_trefoilKnotPathWeight = nullptr;
    QDoubleSpinBox* doubleSpinBox_angleIncrement = nullptr;
    QSpinBox* spinBox_tasksCount = nullptr;
    // Borrowed: the logic's queue, which outlives the page.
    Quellon::UserEventQueue* m_eventQueue;
    // The scene the logic publishes into; the page never keeps it alive.
    std::weak_ptr<TestScene> m_scene;
    // Flock sizes posted so far, counted like the logic's answers in the scene.
    std::uint32_t m_sentFlockSizes = 0;
    // Child of this object; runs only while a flock size waits for its answer.
    QTimer* m_answerTimer = nullptr;
    // The world shown; 0 until the first look. Child of this object.
    std::uint64_t m_shownWorldVersion = 0;
    QTimer* m_worldTimer = nullptr;
};

}  // namespace Avidrift
