#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include <QObject>
#include <QPointer>

#include "Quellon/Widgets/ITab.h"

class QComboBox;
class QLabel;
class QTimer;
class QWidget;

namespace Quellon {
class Scene;
class UserEventQueue;
}  // namespace Quellon

namespace Avidrift {

class TestScene;

// The "Inspect" page: what the colour of the boids shows, and the numbers of the boid picked in
// the picture (a click; F follows it, Esc lets go: the world page's gestures): its index and
// speed, how many neighbours it counts, the length of each term of its steering and its distance
// to its target, each named in the colour the view draws it in. The numbers are those the logic
// computed for the boid with the step's own functions.
class InspectPage : public QObject, public Quellon::ITab {
    Q_OBJECT

public:
    // Called on the Qt thread. Borrows eventQueue, which must outlive the page. Throws Exception
    // for an empty queue.
    explicit InspectPage(Quellon::UserEventQueue* eventQueue);
    // Deletes the page only if no window has taken it over.
    ~InspectPage() override;

    // Called on the Qt thread. Empty once the window that took the page over has deleted it.
    QWidget* GetWidget() override;
    // Called on the Qt thread: the scene (a TestScene) whose inspection the page shows. Throws
    // Exception for an empty scene or one of another type.
    void SetScene(std::shared_ptr<Quellon::Scene> scene) override;

    // Called on the Qt thread, by the page's timer: shows the inspection the logic last
    // published, unless it is the one shown.
    void ShowInspection();

private:
    void BuildPage();

    QPointer<QWidget> m_widget;
    // Borrowed: the logic's queue, which outlives the page.
    Quellon::UserEventQueue* m_eventQueue;
    std::weak_ptr<TestScene> m_scene;
    std::uint64_t m_shownVersion = 0;
    // Set by the end-to-end tests only: each boid shown (or none) is printed on standard error.
    bool m_printSelection = false;
    std::optional<std::uint32_t> m_printed;
    bool m_printedOnce = false;
    // In the page's widget tree.
    QComboBox* m_colourByBox = nullptr;
    QLabel* m_statusLabel = nullptr;
    // The values, in the order of the page's rows.
    QLabel* m_values[11] = {};
    // Child of this object.
    QTimer* m_timer = nullptr;
};

}  // namespace Avidrift
