#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QObject>
#include <QPoint>
#include <QPointF>
#include <QPointer>
#include <QString>

#include "Avidrift/WorldEvent.h"
#include "Quellon/Widgets/ITab.h"

class QCheckBox;
class QDoubleSpinBox;
class QLabel;
class QListWidget;
class QMouseEvent;
class QPushButton;
class QShortcut;
class QSpinBox;
class QTimer;
class QWidget;

namespace Quellon {
class Scene;
class UserEventQueue;
}  // namespace Quellon

namespace Avidrift {

class TestScene;

// The "World" page and the render area's gestures: the pointer as a predator (H), spheres
// placed, moved and removed with Shift and Delete over the picture, a boid picked with a click
// (F makes the camera follow it; Esc lets go of the boid, the hunt and the following), the
// predators' and obstacles' parameters, the obstacle list, the shipped presets and world files.
// Everything goes to the logic as events on its queue, in order with the other pages' settings;
// what the page shows comes from the world the logic publishes.
//
// Keys work wherever the keyboard focus is in the window. H, F and Esc are never valid in a
// number field, so a focused spin box lets them through; Delete is, so it removes a sphere only
// while the pointer is over the render area and no text field has the focus (a click in the picture
// takes the focus from the fields).
class WorldPage : public QObject, public Quellon::ITab {
    Q_OBJECT

public:
    // Called on the Qt thread. Borrows eventQueue, which must outlive the page. Throws Exception
    // for an empty queue.
    explicit WorldPage(Quellon::UserEventQueue* eventQueue);
    // Deletes the page only if no window has taken it over.
    ~WorldPage() override;

    // Called on the Qt thread. Empty once the window that took the page over has deleted it.
    QWidget* GetWidget() override;
    // Called on the Qt thread: the scene (a TestScene) whose published world the page shows.
    // Throws Exception for an empty scene or one of another type.
    void SetScene(std::shared_ptr<Quellon::Scene> scene) override;

    // Called on the Qt thread, by the page's timer: shows the world the logic last published,
    // unless it is the one shown; a field being edited keeps what the user typed.
    void ShowWorld();
    // Called on the Qt thread: the presets of the worlds folder (the working directory's, else
    // the installed one), by name without ".json".
    void ShowPresets();
    // Called on the Qt thread: reads the world file and sends it to the logic, or shows why it
    // cannot be used (on the page and on standard error), sending nothing.
    void LoadWorldFile(const QString& path);
    // Called on the Qt thread: writes the world as the logic last published it, the pointer's
    // predator left out; a failure is shown as a read failure is.
    void SaveWorldFile(const QString& path);

public slots:
    // Called on the Qt thread, by the page's widgets and the window's shortcuts.
    void ToggleHunt();
    void StopHunt();
    void LetGo();
    void ToggleFollow();
    void OpenWorld();
    void SaveWorld();
    void LoadSelectedPreset();
    void RemoveSelectedObstacle();
    void ClearObstacles();
    void RemoveObstacleUnderPointer();

protected:
    // The render area's mouse and the window's shortcut keys; the window is found when the
    // page is taken over.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildPage();
    void ConnectFields();
    void AttachToWindow(QWidget* window);
    bool FilterRenderMouse(QMouseEvent& mouse);
    std::optional<ViewPoint> PointerInRender() const;
    ViewPoint ToViewPoint(const QPointF& position) const;
    void Post(WorldEvent::Action action, ViewPoint pointer = {}, std::uint32_t index = 0,
              Obstacle obstacle = {}, std::shared_ptr<const World> world = nullptr);
    void PostSetting(float value, int id);
    void PostSelectedObstacle();
    void SetHunting(bool hunting);
    void ShowObstacles(const std::vector<Obstacle>& obstacles);
    void ShowSelectedObstacle();
    void Report(const QString& message, bool failure);

    QPointer<QWidget> m_widget;
    // Borrowed: the logic's queue, which outlives the page.
    Quellon::UserEventQueue* m_eventQueue;
    std::weak_ptr<TestScene> m_scene;
    // The world shown; version 0 is never published, so the first look shows it.
    std::uint64_t m_shownVersion = 0;
    std::vector<Obstacle> m_obstacles;
    bool m_hunting = false;
    // A Shift gesture in the render area: from its press to its release the camera is left alone.
    bool m_shiftGesture = false;
    bool m_shiftMoved = false;
    QPoint m_shiftPress;
    // A left press without Shift that has not become a drag: its release picks a boid.
    bool m_clicking = false;
    QPoint m_clickPress;
    // The render area of the window that holds the page; gone with that window.
    QPointer<QWidget> m_render;
    std::vector<QPointer<QShortcut>> m_shortcuts;
    // In the page's widget tree.
    QCheckBox* m_huntBox = nullptr;
    QSpinBox* m_predatorsBox = nullptr;
    QDoubleSpinBox* m_fleeDistanceBox = nullptr;
    QDoubleSpinBox* m_fleeWeightBox = nullptr;
    QDoubleSpinBox* m_predatorSpeedBox = nullptr;
    QDoubleSpinBox* m_avoidDistanceBox = nullptr;
    QDoubleSpinBox* m_avoidWeightBox = nullptr;
    QDoubleSpinBox* m_radiusBox = nullptr;
    QListWidget* m_obstacleList = nullptr;
    QDoubleSpinBox* m_centreBoxes[3] = {};
    QDoubleSpinBox* m_obstacleRadiusBox = nullptr;
    QPushButton* m_removeButton = nullptr;
    QPushButton* m_clearButton = nullptr;
    QListWidget* m_presetList = nullptr;
    QPushButton* m_loadButton = nullptr;
    QPushButton* m_openButton = nullptr;
    QPushButton* m_saveButton = nullptr;
    QLabel* m_statusLabel = nullptr;
    // Child of this object.
    QTimer* m_worldTimer = nullptr;
    // The presets' folder as last listed, for loading by name.
    QString m_presetFolder;
};

}  // namespace Avidrift
