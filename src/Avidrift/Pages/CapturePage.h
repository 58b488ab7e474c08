#pragma once

#include <memory>
#include <vector>

#include <QObject>
#include <QPointer>
#include <QString>

#include "Quellon/Widgets/ITab.h"

class QLabel;
class QPushButton;
class QShortcut;
class QTimer;
class QWidget;

namespace Quellon {
class Scene;
class UserEventQueue;
}  // namespace Quellon

namespace Avidrift {

class CaptureSession;

// The "Capture" page: pause, resume and step the flock (SimulationEvents on the logic's queue),
// save the next frame as a picture and record a video (through the capture session), and the
// folders they go to. Its shortcuts (Space, N, Ctrl+S, Ctrl+R) work wherever the keyboard focus
// is in the window, a spin box included: none of their keys is ever valid in a number field.
class CapturePage : public QObject, public Quellon::ITab {
    Q_OBJECT

public:
    // Called on the Qt thread. Borrows eventQueue, which must outlive the page; shares the
    // session with the renderer. Pictures go to the desktop's Pictures folder and videos to its
    // Videos folder until the user chooses another for both. Throws Exception for an empty
    // queue or session.
    CapturePage(Quellon::UserEventQueue* eventQueue, std::shared_ptr<CaptureSession> session);
    // Stops a recording in progress (the session finishes its file); deletes the page only if
    // no window has taken it over.
    ~CapturePage() override;

    // Called on the Qt thread. Empty once the window that took the page over has deleted it.
    QWidget* GetWidget() override;
    // Called on the Qt thread; the page needs nothing of the scene.
    void SetScene(std::shared_ptr<Quellon::Scene> scene) override;

    // Called on the Qt thread, by the page's timer: shows the session's state.
    void ShowStatus();
    // Called on the Qt thread: pictures and videos from now on go to folder (made when
    // missing at the next capture).
    void SetFolder(const QString& folder);

public slots:
    void TogglePause();
    void Step();
    void SavePicture();
    void ToggleRecording();
    void ChooseFolder();

protected:
    // The window's shortcuts follow the page into whichever window takes it; a focused spin
    // box lets the shortcuts' keys through.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildPage();
    void InstallShortcuts(QWidget* window);
    void ShowFolders();

    QPointer<QWidget> m_widget;
    // Borrowed: the logic's queue, which outlives the page.
    Quellon::UserEventQueue* m_eventQueue;
    std::shared_ptr<CaptureSession> m_session;
    QString m_pictureFolder;
    QString m_videoFolder;
    bool m_paused = false;
    // In the page's widget tree.
    QPushButton* m_pauseButton = nullptr;
    QPushButton* m_stepButton = nullptr;
    QPushButton* m_pictureButton = nullptr;
    QPushButton* m_recordButton = nullptr;
    QPushButton* m_folderButton = nullptr;
    QLabel* m_recordingLabel = nullptr;
    QLabel* m_framesLabel = nullptr;
    QLabel* m_droppedLabel = nullptr;
    QLabel* m_pictureFolderLabel = nullptr;
    QLabel* m_videoFolderLabel = nullptr;
    QLabel* m_lastLabel = nullptr;
    // Children of the window that holds the page; gone with it.
    std::vector<QPointer<QShortcut>> m_shortcuts;
    // Child of this object.
    QTimer* m_statusTimer = nullptr;
    // With AVIDRIFT_PRINT_CAPTURE_STATUS set (by the end-to-end tests), each new status is also
    // printed on standard output, the page's lines joined by " | ".
    bool m_printStatus = false;
    QString m_printedStatus;
};

}  // namespace Avidrift
