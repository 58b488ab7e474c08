#include "Avidrift/Pages/CapturePage.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <QAbstractSpinBox>
#include <QApplication>
#include <QBoxLayout>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QStandardPaths>
#include <QTimer>
#include <QWidget>

#include "Avidrift/Capture/CaptureSession.h"
#include "Avidrift/Pages/SettingRow.h"
#include "Avidrift/SimulationEvent.h"
#include "Quellon/Exception.h"
#include "Quellon/UserEventQueue.h"

namespace Avidrift {

namespace {

// Often enough for the elapsed seconds to tick smoothly; each look is one short lock.
constexpr int kStatusPollMilliseconds = 250;

const QKeySequence kPauseKey(Qt::Key_Space);
const QKeySequence kStepKey(Qt::Key_N);
const QKeySequence kPictureKey(Qt::CTRL | Qt::Key_S);
const QKeySequence kRecordKey(Qt::CTRL | Qt::Key_R);

QString Translate(const char* text) {
    return QCoreApplication::translate("Capture", text);
}

QVBoxLayout* AddGroup(QWidget* page, QVBoxLayout* pageLayout, const char* name, const char* title) {
    auto* group = new QGroupBox(page);
    group->setObjectName(QString::fromLatin1(name));
    group->setTitle(Translate(title));
    QVBoxLayout* rows = AddGroupRows(group);
    pageLayout->addWidget(group);
    return rows;
}

QPushButton* AddButton(QWidget* parent, const char* name, const char* toolTip) {
    auto* button = new QPushButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setToolTip(Translate(toolTip));
    return button;
}

QLabel* AddLabel(QWidget* parent, const char* name) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    return label;
}

// The desktop's folder of that kind (XDG user directories), or the home folder's when the
// desktop names none.
QString DesktopFolder(QStandardPaths::StandardLocation location, const char* fallback) {
    const QString folder = QStandardPaths::writableLocation(location);
    return folder.isEmpty() ? QDir::home().filePath(QString::fromLatin1(fallback)) : folder;
}

bool IsShortcutKey(const QKeyEvent& key) {
    const QKeySequence pressed(key.keyCombination());
    return pressed == kPauseKey || pressed == kStepKey || pressed == kPictureKey ||
           pressed == kRecordKey;
}

}  // namespace

CapturePage::CapturePage(Quellon::UserEventQueue* eventQueue,
                         std::shared_ptr<CaptureSession> session)
    : QObject(nullptr), m_eventQueue(eventQueue), m_session(std::move(session)) {
    if (m_eventQueue == nullptr) {
        errno = EINVAL;
        throw Quellon::Exception(L"Invalid parameter: !eventQueue in CapturePage::CapturePage");
    }
    if (!m_session) {
        errno = EINVAL;
        throw Quellon::Exception(L"Invalid parameter: !session in CapturePage::CapturePage");
    }
    m_pictureFolder = DesktopFolder(QStandardPaths::PicturesLocation, "Pictures");
    m_videoFolder = DesktopFolder(QStandardPaths::MoviesLocation, "Videos");
    m_widget = new QWidget(nullptr);
    BuildPage();
    m_widget->installEventFilter(this);
    // The spin boxes are other pages' widgets: only the application sees their events first.
    qApp->installEventFilter(this);
    m_printStatus = std::getenv("AVIDRIFT_PRINT_CAPTURE_STATUS") != nullptr;
    m_statusTimer = new QTimer(this);
    m_statusTimer->setInterval(kStatusPollMilliseconds);
    connect(m_statusTimer, &QTimer::timeout, this, &CapturePage::ShowStatus);
    m_statusTimer->start();
}

CapturePage::~CapturePage() {
    m_session->StopRecording();
    for (const QPointer<QShortcut>& shortcut : m_shortcuts) {
        delete shortcut.data();
    }
    if (m_widget != nullptr && m_widget->parent() == nullptr) {
        delete m_widget.data();
    }
}

QWidget* CapturePage::GetWidget() {
    return m_widget.data();
}

void CapturePage::SetScene(std::shared_ptr<Quellon::Scene>) {}

void CapturePage::BuildPage() {
    QWidget* page = m_widget.data();
    page->setObjectName(QStringLiteral("Capture"));
    auto* pageLayout = new QVBoxLayout(page);
    pageLayout->setContentsMargins(3, 10, 3, 3);

    QVBoxLayout* simulation = AddGroup(page, pageLayout, "simulationGroup", "Simulation");
    auto* simulationRow = new QHBoxLayout;
    m_pauseButton = AddButton(page, "pauseButton", "Pause or resume the flock (Space)");
    m_stepButton = AddButton(page, "stepButton", "One step of 1/60 s while paused (N)");
    m_stepButton->setText(Translate("Step"));
    m_stepButton->setEnabled(false);
    simulationRow->addWidget(m_pauseButton);
    simulationRow->addWidget(m_stepButton);
    simulation->addLayout(simulationRow);

    QVBoxLayout* picture = AddGroup(page, pageLayout, "pictureGroup", "Picture");
    m_pictureButton =
        AddButton(page, "pictureButton", "Save the next frame as a PNG picture (Ctrl+S)");
    m_pictureButton->setText(Translate("Save picture"));
    picture->addWidget(m_pictureButton);

    QVBoxLayout* video = AddGroup(page, pageLayout, "videoGroup", "Video");
    m_recordButton = AddButton(page, "recordButton", "Start or stop an MP4 video (Ctrl+R)");
    m_recordingLabel = AddLabel(page, "recordingLabel");
    m_framesLabel = AddLabel(page, "framesLabel");
    m_droppedLabel = AddLabel(page, "droppedLabel");
    video->addWidget(m_recordButton);
    for (QLabel* line : {m_recordingLabel, m_framesLabel, m_droppedLabel}) {
        video->addWidget(line);
    }

    QVBoxLayout* folder = AddGroup(page, pageLayout, "folderGroup", "Folder");
    m_pictureFolderLabel = AddLabel(page, "pictureFolderLabel");
    m_videoFolderLabel = AddLabel(page, "videoFolderLabel");
    m_folderButton = AddButton(page, "folderButton", "Choose one folder for pictures and videos");
    m_folderButton->setText(Translate("Choose..."));
    folder->addWidget(m_pictureFolderLabel);
    folder->addWidget(m_videoFolderLabel);
    folder->addWidget(m_folderButton);

    // Paths and error messages are long and the column narrow: this line wraps.
    m_lastLabel = AddLabel(page, "lastLabel");
    m_lastLabel->setWordWrap(true);
    m_lastLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    pageLayout->addWidget(m_lastLabel);
    pageLayout->addStretch(1);

    connect(m_pauseButton, &QPushButton::clicked, this, &CapturePage::TogglePause);
    connect(m_stepButton, &QPushButton::clicked, this, &CapturePage::Step);
    connect(m_pictureButton, &QPushButton::clicked, this, &CapturePage::SavePicture);
    connect(m_recordButton, &QPushButton::clicked, this, &CapturePage::ToggleRecording);
    connect(m_folderButton, &QPushButton::clicked, this, &CapturePage::ChooseFolder);
    m_pauseButton->setText(Translate("Pause"));
    ShowFolders();
    ShowStatus();
}

void CapturePage::InstallShortcuts(QWidget* window) {
    for (const QPointer<QShortcut>& shortcut : m_shortcuts) {
        delete shortcut.data();
    }
    m_shortcuts.clear();
    // On the window, not on the page: a shortcut works only while its widget is visible, and
    // the page is hidden whenever another tab is shown.
    const std::pair<QKeySequence, void (CapturePage::*)()> keys[] = {
        {kPauseKey, &CapturePage::TogglePause},
        {kStepKey, &CapturePage::Step},
        {kPictureKey, &CapturePage::SavePicture},
        {kRecordKey, &CapturePage::ToggleRecording}};
    for (const auto& [sequence, slot] : keys) {
        auto* shortcut = new QShortcut(sequence, window);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, slot);
        m_shortcuts.emplace_back(shortcut);
    }
}

bool CapturePage::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ParentChange && watched == m_widget.data()) {
        QWidget* window = m_widget->window();
        if (window != m_widget.data()) {
            InstallShortcuts(window);
        }
    } else if (event->type() == QEvent::ShortcutOverride) {
        // A spin box's line edit claims every printable key, and so the blank and N, before
        // any shortcut sees them; it keeps every other key (digits, sign, decimal point,
        // arrows, Return), for none of those is ours.
        const bool inSpinBox = qobject_cast<QAbstractSpinBox*>(watched) != nullptr ||
                               qobject_cast<QAbstractSpinBox*>(watched->parent()) != nullptr;
        if (inSpinBox && IsShortcutKey(*static_cast<QKeyEvent*>(event))) {
            event->ignore();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

void CapturePage::TogglePause() {
    m_paused = !m_paused;
    m_eventQueue->Post(std::make_shared<SimulationEvent>(m_paused ? SimulationEvent::kPause
                                                                  : SimulationEvent::kResume));
    m_pauseButton->setText(m_paused ? Translate("Resume") : Translate("Pause"));
    m_stepButton->setEnabled(m_paused);
}

void CapturePage::Step() {
    if (m_paused) {
        m_eventQueue->Post(std::make_shared<SimulationEvent>(SimulationEvent::kStep));
    }
}

void CapturePage::SavePicture() {
    m_session->RequestPicture(m_pictureFolder.toStdString());
    ShowStatus();
}

void CapturePage::ToggleRecording() {
    if (m_session->GetStatus().recording) {
        m_session->StopRecording();
    } else {
        m_session->StartRecording(m_videoFolder.toStdString());
    }
    ShowStatus();
}

void CapturePage::ChooseFolder() {
    const QString chosen = QFileDialog::getExistingDirectory(
        m_widget->window(), Translate("Folder for pictures and videos"), m_videoFolder);
    if (!chosen.isEmpty()) {
        SetFolder(chosen);
    }
}

void CapturePage::SetFolder(const QString& folder) {
    m_pictureFolder = folder;
    m_videoFolder = folder;
    ShowFolders();
}

void CapturePage::ShowFolders() {
    const std::pair<QLabel*, const QString*> lines[] = {{m_pictureFolderLabel, &m_pictureFolder},
                                                        {m_videoFolderLabel, &m_videoFolder}};
    for (const auto& [label, folder] : lines) {
        const QString name = QDir::toNativeSeparators(*folder);
        label->setText(
            (label == m_pictureFolderLabel ? Translate("Pictures: ") : Translate("Videos: ")) +
            QFileInfo(*folder).fileName());
        label->setToolTip(name);
    }
}

void CapturePage::ShowStatus() {
    const CaptureSession::Status status = m_session->GetStatus();
    m_recordButton->setText(status.recording ? Translate("Stop") : Translate("Record"));
    const auto seconds = static_cast<long long>(std::floor(status.seconds));
    const QString elapsed =
        QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    m_recordingLabel->setText(status.recording ? Translate("Recording ") + elapsed
                                               : Translate("Not recording"));
    m_framesLabel->setText(Translate("%1 frames written").arg(status.framesWritten));
    m_droppedLabel->setText(Translate("%1 frames dropped").arg(status.framesDropped));
    const QString last =
        !status.lastError.empty()
            ? QString::fromStdString(status.lastError)
            : (status.lastFile.empty()
                   ? QString()
                   : Translate("Saved ") + QString::fromStdString(status.lastFile));
    if (m_lastLabel->text() != last) {
        m_lastLabel->setText(last);
        m_lastLabel->setToolTip(last);
    }
    if (m_printStatus) {
        const QString shown = m_recordingLabel->text() + " | " + m_framesLabel->text() + " | " +
                              m_droppedLabel->text() + " | " + last;
        if (shown != m_printedStatus) {
            m_printedStatus = shown;
            std::printf("capture page: %s\n", shown.toUtf8().constData());
            std::fflush(stdout);
        }
    }
}

}  // namespace Avidrift
