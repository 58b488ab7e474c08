#include "Avidrift/Pages/WorldPage.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <type_traits>
#include <utility>

#include <QAbstractSpinBox>
#include <QApplication>
#include <QBoxLayout>
#include <QCheckBox>
#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTextEdit>
#include <QTimer>
#include <QWidget>

#include "Avidrift/DataFile.h"
#include "Avidrift/Pages/SettingRow.h"
#include "Avidrift/Settings.h"
#include "Avidrift/TestScene.h"
#include "Quellon/Exception.h"
#include "Quellon/UserEvent.h"
#include "Quellon/UserEventQueue.h"

namespace Avidrift {

namespace {

// A few looks a second: an edit shows soon after the logic took it, and each look is one short
// lock and a copy of a world of at most 64 spheres and 64 predators.
constexpr int kWorldPollMilliseconds = 200;
constexpr double kDefaultRadius = 8.0;
constexpr int kPresetRows = 4;
constexpr int kObstacleRows = 4;
// What a list's item adds to its text's height (Fusion: 2 pixels above and below).
constexpr int kListRowPadding = 4;
constexpr double kLargestValue = 999.99;
constexpr double kFineStep = 0.1f;

const QKeySequence kHuntKey(Qt::Key_H);
const QKeySequence kLetGoKey(Qt::Key_Escape);
const QKeySequence kFollowKey(Qt::Key_F);
const QKeySequence kRemoveKey(Qt::Key_Delete);

QString Translate(const char* text) {
    return QCoreApplication::translate("World", text);
}

QVBoxLayout* AddGroup(QWidget* parent, QVBoxLayout* layout, const char* name, const char* title) {
    auto* group = new QGroupBox(parent);
    group->setObjectName(QString::fromLatin1(name));
    group->setTitle(Translate(title));
    QVBoxLayout* rows = AddGroupRows(group);
    layout->addWidget(group);
    return rows;
}

QPushButton* AddButton(QWidget* parent, const char* name, const char* text, const char* toolTip) {
    auto* button = new QPushButton(Translate(text), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setToolTip(Translate(toolTip));
    return button;
}

// One field: its label on the left, its box at the right edge; a row too narrow for both puts
// the box under the label, as the settings page does.
template <typename SpinBox>
SpinBox* AddField(QWidget* parent, QBoxLayout* rows, const char* name, const char* label,
                  double minimum, double maximum, const char* toolTip) {
    auto* box = new SpinBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setAlignment(kSpinBoxAlignment);
    box->setRange(static_cast<int>(minimum), static_cast<int>(maximum));
    if constexpr (std::is_same_v<SpinBox, QDoubleSpinBox>) {
        box->setRange(minimum, maximum);
        box->setSingleStep(kFineStep);
    }
    box->setToolTip(Translate(toolTip));
    auto* text = new QLabel(Translate(label), parent);
    text->setObjectName(QString::fromLatin1(name) + QStringLiteral("Label"));
    text->setToolTip(box->toolTip());
    AddSettingRow(rows, text, box);
    return box;
}

// A list as tall as that many lines of its font: the column has no room for the style's
// default height of a list, and the lists scroll.
void SetVisibleRows(QListWidget* list, int rows) {
    const int line = list->fontMetrics().height() + kListRowPadding;
    list->setFixedHeight(line * rows + 2 * list->frameWidth());
}

// Whether keys typed now go to a field where Delete deletes text.
bool IsTextField(const QObject* object) {
    for (const QObject* o = object; o != nullptr; o = o->parent()) {
        if (qobject_cast<const QAbstractSpinBox*>(o) != nullptr ||
            qobject_cast<const QLineEdit*>(o) != nullptr ||
            qobject_cast<const QTextEdit*>(o) != nullptr ||
            qobject_cast<const QPlainTextEdit*>(o) != nullptr) {
            return true;
        }
    }
    return false;
}

bool IsSpinBox(const QObject* watched) {
    return qobject_cast<const QAbstractSpinBox*>(watched) != nullptr ||
           (watched->parent() != nullptr &&
            qobject_cast<const QAbstractSpinBox*>(watched->parent()) != nullptr);
}

QString ObstacleText(const Obstacle& obstacle) {
    const auto number = [](float value) { return QString::number(value, 'g', 3); };
    return QStringLiteral("%1, %2, %3  r %4")
        .arg(number(obstacle.centre.x), number(obstacle.centre.y), number(obstacle.centre.z),
             number(obstacle.radius));
}

std::uint32_t AutonomousCount(const std::vector<Predator>& predators) {
    return static_cast<std::uint32_t>(std::count_if(
        predators.begin(), predators.end(), [](const Predator& p) { return p.autonomous; }));
}

// Sets a box the user is not editing, without telling the logic what it already has. Returns
// whether the box was left alone.
bool ShowValue(QDoubleSpinBox* box, double value) {
    if (box->hasFocus()) {
        return true;
    }
    const QSignalBlocker blocker(box);
    box->setValue(value);
    return false;
}

}  // namespace

WorldPage::WorldPage(Quellon::UserEventQueue* eventQueue)
    : QObject(nullptr), m_eventQueue(eventQueue) {
    if (m_eventQueue == nullptr) {
        Quellon::ThrowException(EINVAL, L"Invalid parameter: !eventQueue in WorldPage::WorldPage");
    }
    m_widget = new QWidget(nullptr);
    BuildPage();
    ConnectFields();
    ShowPresets();
    // Spin boxes of every page take the keys first, and the render area is the window's: only
    // the application sees their events before they do.
    qApp->installEventFilter(this);
    m_worldTimer = new QTimer(this);
    m_worldTimer->setInterval(kWorldPollMilliseconds);
    connect(m_worldTimer, &QTimer::timeout, this, &WorldPage::ShowWorld);
}

WorldPage::~WorldPage() {
    for (const QPointer<QShortcut>& shortcut : m_shortcuts) {
        delete shortcut.data();
    }
    if (m_widget != nullptr && m_widget->parent() == nullptr) {
        delete m_widget.data();
    }
}

QWidget* WorldPage::GetWidget() {
    return m_widget.data();
}

void WorldPage::SetScene(std::shared_ptr<Quellon::Scene> scene) {
    if (!scene) {
        Quellon::ThrowException(EINVAL, L"Invalid parameter: !scene in WorldPage::SetScene");
    }
    const auto testScene = std::dynamic_pointer_cast<TestScene>(scene);
    if (!testScene) {
        Quellon::ThrowException(
            EINVAL, L"Invalid parameter: scene is not a TestScene in WorldPage::SetScene");
    }
    m_scene = testScene;
    m_shownVersion = 0;
    ShowWorld();
    m_worldTimer->start();
}

void WorldPage::BuildPage() {
    QWidget* page = m_widget.data();
    page->setObjectName(QStringLiteral("World"));
    auto* pageLayout = new QVBoxLayout(page);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    // More fields than the column's height holds: they scroll, never narrower than the column.
    auto* scroll = new QScrollArea(page);
    scroll->setObjectName(QStringLiteral("worldScroll"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    pageLayout->addWidget(scroll);
    auto* content = new QWidget(scroll);
    content->setObjectName(QStringLiteral("worldContent"));
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(3, 10, 3, 3);

    // Worlds first: a preset is where one starts, and a file's fault shows where it was opened.
    QVBoxLayout* worlds = AddGroup(content, layout, "worldGroup", "Worlds");
    m_presetList = new QListWidget(content);
    m_presetList->setObjectName(QStringLiteral("presetList"));
    m_presetList->setToolTip(Translate("Double-click a preset to load it"));
    SetVisibleRows(m_presetList, kPresetRows);
    worlds->addWidget(m_presetList);
    m_loadButton = AddButton(content, "loadButton", "Load", "Load the selected preset");
    worlds->addWidget(m_loadButton);
    auto* fileButtons = new QHBoxLayout;
    m_openButton = AddButton(content, "openButton", "Open...", "Load a world file");
    m_saveButton = AddButton(content, "saveButton", "Save...", "Save the world to a file");
    fileButtons->addWidget(m_openButton);
    fileButtons->addWidget(m_saveButton);
    worlds->addLayout(fileButtons);

    // Messages name a file and a field: long, in a narrow column, so the line wraps.
    m_statusLabel = new QLabel(content);
    m_statusLabel->setObjectName(QStringLiteral("worldStatus"));
    m_statusLabel->setWordWrap(true);
    m_statusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_statusLabel);

    QVBoxLayout* predators = AddGroup(content, layout, "predatorGroup", "Predators");
    m_huntBox = new QCheckBox(Translate("Hunt (H, Esc)"), content);
    m_huntBox->setObjectName(QStringLiteral("huntBox"));
    m_huntBox->setToolTip(Translate("The pointer over the picture is a predator the boids flee"));
    predators->addWidget(m_huntBox);
    m_predatorsBox = AddField<QSpinBox>(content, predators, "autonomousPredators", "Autonomous", 0,
                                        kMaxPredators - 1, "Predators that chase the nearest boid");
    m_fleeDistanceBox =
        AddField<QDoubleSpinBox>(content, predators, "fleeDistance", "Flee distance", 0,
                                 kLargestValue, "How near a predator the boids start to flee");
    m_fleeWeightBox = AddField<QDoubleSpinBox>(content, predators, "fleeWeight", "Flee weight", 0,
                                               kLargestValue, "How hard the boids flee");
    m_predatorSpeedBox =
        AddField<QDoubleSpinBox>(content, predators, "predatorSpeed", "Speed", 0, kLargestValue,
                                 "How fast the autonomous predators chase");

    QVBoxLayout* obstacles = AddGroup(content, layout, "obstacleGroup", "Obstacles");
    m_avoidDistanceBox =
        AddField<QDoubleSpinBox>(content, obstacles, "avoidDistance", "Avoid distance", 0,
                                 kLargestValue, "How near a sphere the boids turn away");
    m_avoidWeightBox = AddField<QDoubleSpinBox>(content, obstacles, "avoidWeight", "Avoid weight",
                                                0, kLargestValue, "How hard the boids turn away");
    m_radiusBox =
        AddField<QDoubleSpinBox>(content, obstacles, "radius", "Radius", 0, kLargestValue,
                                 "Radius of the sphere Shift+click places over the picture");
    m_radiusBox->setValue(kDefaultRadius);
    m_obstacleList = new QListWidget(content);
    m_obstacleList->setObjectName(QStringLiteral("obstacleList"));
    m_obstacleList->setToolTip(
        Translate("Shift+click the picture to place a sphere, Shift+drag to move one, "
                  "Delete over it to remove it"));
    m_obstacleList->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    SetVisibleRows(m_obstacleList, kObstacleRows);
    obstacles->addWidget(m_obstacleList);
    const char* const axes[] = {"centreX", "centreY", "centreZ"};
    const char* const axisLabels[] = {"Centre x", "Centre y", "Centre z"};
    for (int axis = 0; axis < 3; ++axis) {
        m_centreBoxes[axis] =
            AddField<QDoubleSpinBox>(content, obstacles, axes[axis], axisLabels[axis],
                                     -kLargestValue, kLargestValue, "The selected sphere's centre");
    }
    m_obstacleRadiusBox =
        AddField<QDoubleSpinBox>(content, obstacles, "obstacleRadius", "Its radius", 0,
                                 kLargestValue, "The selected sphere's radius");
    auto* obstacleButtons = new QHBoxLayout;
    m_removeButton = AddButton(content, "removeButton", "Remove", "Remove the selected sphere");
    m_clearButton = AddButton(content, "clearButton", "Clear", "Remove every sphere");
    obstacleButtons->addWidget(m_removeButton);
    obstacleButtons->addWidget(m_clearButton);
    obstacles->addLayout(obstacleButtons);

    layout->addStretch(1);
    scroll->setWidget(content);
    ShowSelectedObstacle();
}

void WorldPage::ConnectFields() {
    connect(m_huntBox, &QCheckBox::toggled, this, &WorldPage::SetHunting);
    connect(m_predatorsBox, &QSpinBox::valueChanged, this, [this](int count) {
        PostSetting(static_cast<float>(count), kAutonomousPredatorsSetting);
    });
    const std::pair<QDoubleSpinBox*, int> settings[] = {{m_fleeDistanceBox, kFleeDistanceSetting},
                                                        {m_fleeWeightBox, kFleeWeightSetting},
                                                        {m_predatorSpeedBox, kPredatorSpeedSetting},
                                                        {m_avoidDistanceBox, kAvoidDistanceSetting},
                                                        {m_avoidWeightBox, kAvoidWeightSetting}};
    for (const auto& [box, id] : settings) {
        connect(box, &QDoubleSpinBox::valueChanged, this,
                [this, id = id](double value) { PostSetting(static_cast<float>(value), id); });
    }
    for (QDoubleSpinBox* box :
         {m_centreBoxes[0], m_centreBoxes[1], m_centreBoxes[2], m_obstacleRadiusBox}) {
        connect(box, &QDoubleSpinBox::valueChanged, this, &WorldPage::PostSelectedObstacle);
    }
    connect(m_obstacleList, &QListWidget::currentRowChanged, this,
            &WorldPage::ShowSelectedObstacle);
    connect(m_removeButton, &QPushButton::clicked, this, &WorldPage::RemoveSelectedObstacle);
    connect(m_clearButton, &QPushButton::clicked, this, &WorldPage::ClearObstacles);
    connect(m_presetList, &QListWidget::itemActivated, this, &WorldPage::LoadSelectedPreset);
    connect(m_loadButton, &QPushButton::clicked, this, &WorldPage::LoadSelectedPreset);
    connect(m_openButton, &QPushButton::clicked, this, &WorldPage::OpenWorld);
    connect(m_saveButton, &QPushButton::clicked, this, &WorldPage::SaveWorld);
}

void WorldPage::AttachToWindow(QWidget* window) {
    for (const QPointer<QShortcut>& shortcut : m_shortcuts) {
        delete shortcut.data();
    }
    m_shortcuts.clear();
    // On the window, as the capture page's: the page is hidden while another tab is shown.
    const std::pair<QKeySequence, void (WorldPage::*)()> keys[] = {
        {kHuntKey, &WorldPage::ToggleHunt},
        {kLetGoKey, &WorldPage::LetGo},
        {kFollowKey, &WorldPage::ToggleFollow},
        {kRemoveKey, &WorldPage::RemoveObstacleUnderPointer}};
    for (const auto& [sequence, slot] : keys) {
        auto* shortcut = new QShortcut(sequence, window);
        shortcut->setContext(Qt::WindowShortcut);
        // H held down would start and stop the hunt many times a second.
        shortcut->setAutoRepeat(false);
        connect(shortcut, &QShortcut::activated, this, slot);
        m_shortcuts.emplace_back(shortcut);
    }
    m_render = window->findChild<QWidget*>(QStringLiteral("Render"));
    if (m_render != nullptr) {
        // The hunt follows the pointer with no button held; the window still sees only drags.
        m_render->setMouseTracking(true);
        // A click in the picture takes the focus from a field, so that Delete reaches the
        // spheres rather than the field's text.
        m_render->setFocusPolicy(Qt::ClickFocus);
    }
}

bool WorldPage::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::ParentChange:
            if (watched == m_widget.data() && m_widget->window() != m_widget.data()) {
                AttachToWindow(m_widget->window());
            }
            break;
        case QEvent::ShortcutOverride: {
            const QKeySequence pressed(static_cast<QKeyEvent*>(event)->keyCombination());
            if ((pressed == kHuntKey || pressed == kLetGoKey || pressed == kFollowKey) &&
                IsSpinBox(watched)) {
                // No number has an H or an F, and a spin box does nothing with Esc: the window's
                // shortcut gets them.
                event->ignore();
                return true;
            }
            if (pressed == kRemoveKey && IsTextField(watched)) {
                event->accept();  // Delete stays the field's
                return true;
            }
            break;
        }
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseMove:
            if (watched == m_render.data()) {
                return FilterRenderMouse(*static_cast<QMouseEvent*>(event));
            }
            break;
        default:
            break;
    }
    return QObject::eventFilter(watched, event);
}

// Returns whether the event stays from the window, which turns drags into camera moves.
bool WorldPage::FilterRenderMouse(QMouseEvent& mouse) {
    const QPoint position = mouse.position().toPoint();
    const ViewPoint pointer = ToViewPoint(mouse.position());
    switch (mouse.type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            if (mouse.button() != Qt::LeftButton) {
                return false;
            }
            if (!mouse.modifiers().testFlag(Qt::ShiftModifier)) {
                // A click picks a boid; the window still turns a drag into an orbit.
                m_clickPress = position;
                m_clicking = true;
                return false;
            }
            m_shiftGesture = true;
            m_shiftMoved = false;
            m_shiftPress = position;
            Post(WorldEvent::kGrabObstacle, pointer);
            return true;
        case QEvent::MouseMove:
            if (m_hunting) {
                Post(WorldEvent::kHuntAt, pointer);
            }
            m_clicking = m_clicking && (position - m_clickPress).manhattanLength() <
                                           QApplication::startDragDistance();
            if (!m_shiftGesture) {
                return false;
            }
            // A hand never holds still: a click moves a pixel or two, and it still places.
            m_shiftMoved = m_shiftMoved || (position - m_shiftPress).manhattanLength() >=
                                               QApplication::startDragDistance();
            if (m_shiftMoved) {
                Post(WorldEvent::kDragObstacle, pointer);
            }
            return true;
        case QEvent::MouseButtonRelease:
            if (m_clicking && mouse.button() == Qt::LeftButton) {
                m_clicking = false;
                Post(WorldEvent::kSelectAt, pointer);
                return false;
            }
            if (!m_shiftGesture || mouse.button() != Qt::LeftButton) {
                return m_shiftGesture;
            }
            m_shiftGesture = false;
            if (!m_shiftMoved) {
                Post(WorldEvent::kPlaceObstacle, pointer, 0,
                     Obstacle{{}, static_cast<float>(m_radiusBox->value())});
            }
            return true;
        default:
            return false;
    }
}

ViewPoint WorldPage::ToViewPoint(const QPointF& position) const {
    // Logical pixels on both sides, so the point is the same at any scale factor.
    const double width = std::max(1, m_render != nullptr ? m_render->width() : 1);
    const double height = std::max(1, m_render != nullptr ? m_render->height() : 1);
    return ViewPoint{static_cast<float>(2.0 * position.x() / width - 1.0),
                     static_cast<float>(1.0 - 2.0 * position.y() / height)};
}

std::optional<ViewPoint> WorldPage::PointerInRender() const {
    if (m_render == nullptr || !m_render->isVisible()) {
        return std::nullopt;
    }
    const QPointF position = m_render->mapFromGlobal(QPointF(QCursor::pos()));
    if (!QRectF(m_render->rect()).contains(position)) {
        return std::nullopt;
    }
    return ToViewPoint(position);
}

void WorldPage::Post(WorldEvent::Action action, ViewPoint pointer, std::uint32_t index,
                     Obstacle obstacle, std::shared_ptr<const World> world) {
    m_eventQueue->Post(
        std::make_shared<WorldEvent>(action, pointer, index, obstacle, std::move(world)));
}

void WorldPage::PostSetting(float value, int id) {
    m_eventQueue->Post(std::make_shared<Quellon::ValueChangedEvent>(value, id));
}

void WorldPage::ToggleHunt() {
    SetHunting(!m_hunting);
}

void WorldPage::StopHunt() {
    SetHunting(false);
}

void WorldPage::LetGo() {
    // The logic stops the hunt with the rest; the page only shows it stopped.
    m_hunting = false;
    {
        const QSignalBlocker blocker(m_huntBox);
        m_huntBox->setChecked(false);
    }
    Post(WorldEvent::kLetGo);
}

void WorldPage::ToggleFollow() {
    Post(WorldEvent::kToggleFollow);
}

void WorldPage::SetHunting(bool hunting) {
    if (hunting == m_hunting) {
        return;
    }
    m_hunting = hunting;
    {
        const QSignalBlocker blocker(m_huntBox);
        m_huntBox->setChecked(hunting);
    }
    if (!hunting) {
        Post(WorldEvent::kStopHunt);
    } else if (const std::optional<ViewPoint> pointer = PointerInRender()) {
        // The predator appears at once where the pointer rests, not at its first move.
        Post(WorldEvent::kHuntAt, *pointer);
    }
}

void WorldPage::RemoveObstacleUnderPointer() {
    if (const std::optional<ViewPoint> pointer = PointerInRender()) {
        Post(WorldEvent::kRemoveObstacleAt, *pointer);
    }
}

void WorldPage::RemoveSelectedObstacle() {
    const int row = m_obstacleList->currentRow();
    if (row >= 0) {
        Post(WorldEvent::kRemoveObstacle, {}, static_cast<std::uint32_t>(row));
    }
}

void WorldPage::ClearObstacles() {
    Post(WorldEvent::kClearObstacles);
}

void WorldPage::PostSelectedObstacle() {
    const int row = m_obstacleList->currentRow();
    if (row < 0) {
        return;
    }
    const Obstacle obstacle{{static_cast<float>(m_centreBoxes[0]->value()),
                             static_cast<float>(m_centreBoxes[1]->value()),
                             static_cast<float>(m_centreBoxes[2]->value())},
                            static_cast<float>(m_obstacleRadiusBox->value())};
    Post(WorldEvent::kSetObstacle, {}, static_cast<std::uint32_t>(row), obstacle);
}

void WorldPage::ShowWorld() {
    const std::shared_ptr<TestScene> scene = m_scene.lock();
    if (!scene) {
        return;
    }
    const TestScene::WorldView view = scene->GetWorld();
    if (view.version == m_shownVersion) {
        return;
    }
    const FlockData& world = view.world.parameters;
    bool skipped = false;
    const std::pair<QDoubleSpinBox*, float> values[] = {{m_fleeDistanceBox, world.fleeDistance},
                                                        {m_fleeWeightBox, world.fleeWeight},
                                                        {m_predatorSpeedBox, world.predatorSpeed},
                                                        {m_avoidDistanceBox, world.avoidDistance},
                                                        {m_avoidWeightBox, world.avoidWeight}};
    for (const auto& [box, value] : values) {
        skipped = ShowValue(box, value) || skipped;
    }
    if (m_predatorsBox->hasFocus()) {
        skipped = true;
    } else {
        const QSignalBlocker blocker(m_predatorsBox);
        m_predatorsBox->setValue(static_cast<int>(AutonomousCount(world.predators)));
    }
    ShowObstacles(world.obstacles);
    skipped = skipped ||
              std::any_of(std::begin(m_centreBoxes), std::end(m_centreBoxes),
                          [](QDoubleSpinBox* box) { return box->hasFocus(); }) ||
              m_obstacleRadiusBox->hasFocus();
    // A field left alone is shown at the next look, once the user has moved on.
    m_shownVersion = skipped ? 0 : view.version;
}

void WorldPage::ShowObstacles(const std::vector<Obstacle>& obstacles) {
    if (obstacles == m_obstacles) {
        return;
    }
    const int row = m_obstacleList->currentRow();
    m_obstacles = obstacles;
    {
        const QSignalBlocker blocker(m_obstacleList);
        m_obstacleList->clear();
        for (const Obstacle& obstacle : m_obstacles) {
            m_obstacleList->addItem(ObstacleText(obstacle));
        }
        m_obstacleList->setCurrentRow(std::min(row, static_cast<int>(m_obstacles.size()) - 1));
    }
    ShowSelectedObstacle();
}

void WorldPage::ShowSelectedObstacle() {
    const int row = m_obstacleList->currentRow();
    const bool selected = row >= 0 && row < static_cast<int>(m_obstacles.size());
    const Obstacle obstacle = selected ? m_obstacles[row] : Obstacle{};
    const float values[] = {obstacle.centre.x, obstacle.centre.y, obstacle.centre.z,
                            obstacle.radius};
    QDoubleSpinBox* const boxes[] = {m_centreBoxes[0], m_centreBoxes[1], m_centreBoxes[2],
                                     m_obstacleRadiusBox};
    for (int i = 0; i < 4; ++i) {
        boxes[i]->setEnabled(selected);
        ShowValue(boxes[i], values[i]);
    }
    m_removeButton->setEnabled(selected);
    m_clearButton->setEnabled(!m_obstacles.empty());
}

void WorldPage::ShowPresets() {
    const QString folder = QString::fromStdWString(FindDataFile(L"worlds"));
    QStringList names = QDir(folder).entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
    for (QString& name : names) {
        name.chop(5);  // ".json"
    }
    m_presetFolder = folder;
    m_presetList->clear();
    m_presetList->addItems(names);
    if (!names.isEmpty()) {
        m_presetList->setCurrentRow(0);
    }
    m_loadButton->setEnabled(!names.isEmpty());
}

void WorldPage::LoadSelectedPreset() {
    const QListWidgetItem* item = m_presetList->currentItem();
    if (item != nullptr) {
        LoadWorldFile(QDir(m_presetFolder).filePath(item->text() + QStringLiteral(".json")));
    }
}

void WorldPage::LoadWorldFile(const QString& path) {
    try {
        auto world = std::make_shared<const World>(ReadWorld(path.toStdString()));
        // The new world replaces whatever the pointer was hunting in.
        SetHunting(false);
        Post(WorldEvent::kLoadWorld, {}, 0, {}, std::move(world));
        Report(Translate("Loaded %1").arg(QFileInfo(path).fileName()), false);
    } catch (const WorldFileError& error) {
        Report(QString::fromStdString(error.what()), true);
    }
}

void WorldPage::SaveWorldFile(const QString& path) {
    const std::shared_ptr<TestScene> scene = m_scene.lock();
    if (!scene) {
        return;
    }
    const TestScene::WorldView view = scene->GetWorld();
    World world = view.world;
    // The pointer's predator is the user's hand, not part of the world.
    if (view.hunting && !world.parameters.predators.empty()) {
        world.parameters.predators.pop_back();
    }
    try {
        WriteWorld(path.toStdString(), world);
        Report(Translate("Saved %1").arg(QFileInfo(path).fileName()), false);
    } catch (const WorldFileError& error) {
        Report(QString::fromStdString(error.what()), true);
    }
}

void WorldPage::Report(const QString& message, bool failure) {
    m_statusLabel->setText(message);
    m_statusLabel->setToolTip(message);
    if (failure) {
        std::fprintf(stderr, "avidrift: world: %s\n", message.toUtf8().constData());
        std::fflush(stderr);
    }
}

// The dialogs are Qt's own rather than the desktop's: the same on every desktop, and a path
// typed into their name field is taken as it is.
void WorldPage::OpenWorld() {
    QFileDialog dialog(m_widget->window(), Translate("Open world"), QDir::currentPath(),
                       Translate("Worlds (*.json);;All files (*)"));
    dialog.setObjectName(QStringLiteral("openWorldDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        LoadWorldFile(dialog.selectedFiles().constFirst());
    }
}

void WorldPage::SaveWorld() {
    QFileDialog dialog(m_widget->window(), Translate("Save world"), QDir::currentPath(),
                       Translate("Worlds (*.json)"));
    dialog.setObjectName(QStringLiteral("saveWorldDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("json"));
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        SaveWorldFile(dialog.selectedFiles().constFirst());
    }
}

}  // namespace Avidrift
