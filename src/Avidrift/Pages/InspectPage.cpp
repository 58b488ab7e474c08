#include "Avidrift/Pages/InspectPage.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <QBoxLayout>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include "Avidrift/Annotations.h"
#include "Avidrift/Pages/SettingRow.h"
#include "Avidrift/Settings.h"
#include "Avidrift/TestScene.h"
#include "Quellon/Exception.h"
#include "Quellon/UserEvent.h"
#include "Quellon/UserEventQueue.h"

namespace Avidrift {

namespace {

// As often as the world page looks: each look copies one boid's neighbour lists.
constexpr int kPollMilliseconds = 200;

QString Translate(const char* text) {
    return QCoreApplication::translate("Inspect", text);
}

// A row's name after a square in the colour the view draws its line or arrow in.
QString Swatch(const AnnotationColour& colour, const QString& name) {
    const QColor shown = QColor::fromRgbF(colour.red, colour.green, colour.blue);
    return QStringLiteral("<span style=\"color:%1\">&#9632;</span> %2").arg(shown.name(), name);
}

QString LengthText(const Quellon::Vector3& v) {
    return QString::number(static_cast<double>(Quellon::Length(v)), 'f', 3);
}

}  // namespace

InspectPage::InspectPage(Quellon::UserEventQueue* eventQueue)
    : QObject(nullptr), m_eventQueue(eventQueue) {
    if (m_eventQueue == nullptr) {
        Quellon::ThrowException(EINVAL,
                                L"Invalid parameter: !eventQueue in InspectPage::InspectPage");
    }
    m_widget = new QWidget(nullptr);
    BuildPage();
    m_printSelection = std::getenv("AVIDRIFT_PRINT_INSPECTION") != nullptr;
    m_timer = new QTimer(this);
    m_timer->setInterval(kPollMilliseconds);
    connect(m_timer, &QTimer::timeout, this, &InspectPage::ShowInspection);
}

InspectPage::~InspectPage() {
    if (m_widget != nullptr && m_widget->parent() == nullptr) {
        delete m_widget.data();
    }
}

QWidget* InspectPage::GetWidget() {
    return m_widget.data();
}

void InspectPage::SetScene(std::shared_ptr<Quellon::Scene> scene) {
    if (!scene) {
        Quellon::ThrowException(EINVAL, L"Invalid parameter: !scene in InspectPage::SetScene");
    }
    auto testScene = std::dynamic_pointer_cast<TestScene>(scene);
    if (!testScene) {
        Quellon::ThrowException(
            EINVAL, L"Invalid parameter: scene is not a TestScene in InspectPage::SetScene");
    }
    m_scene = testScene;
    m_timer->start();
}

void InspectPage::BuildPage() {
    QWidget* page = m_widget.data();
    page->setObjectName(QStringLiteral("Inspect"));
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(3, 10, 3, 3);

    auto* colouring = new QGroupBox(Translate("Colour"), page);
    QVBoxLayout* colourRows = AddGroupRows(colouring);
    m_colourByBox = new QComboBox(colouring);
    m_colourByBox->setObjectName(QStringLiteral("colourBy"));
    // In the order of the colouring's values.
    for (const char* name :
         {"Speed", "Group neighbours", "Separation neighbours", "Heading", "Distance to target"}) {
        m_colourByBox->addItem(Translate(name));
    }
    m_colourByBox->setToolTip(
        Translate("What the boids' colour shows; the legend in the picture gives its range"));
    auto* colourLabel = new QLabel(Translate("Colour by"), colouring);
    AddSettingRow(colourRows, colourLabel, m_colourByBox);
    layout->addWidget(colouring);
    connect(m_colourByBox, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_eventQueue->Post(std::make_shared<Quellon::ValueChangedEvent>(static_cast<float>(index),
                                                                        kColourBySetting));
    });

    auto* boid = new QGroupBox(Translate("Selected boid"), page);
    QVBoxLayout* rows = AddGroupRows(boid);
    m_statusLabel = new QLabel(boid);
    m_statusLabel->setObjectName(QStringLiteral("inspectStatus"));
    m_statusLabel->setWordWrap(true);
    rows->addWidget(m_statusLabel);
    const QString names[] = {
        Translate("Boid"),
        Swatch(Annotations::kVelocity, Translate("Speed")),
        Swatch(Annotations::kSeparation, Translate("Separation neighbours")),
        Swatch(Annotations::kGroup, Translate("Group neighbours")),
        Swatch(Annotations::kSeparation, Translate("Separation")),
        Swatch(Annotations::kCohesion, Translate("Cohesion")),
        Swatch(Annotations::kAlignment, Translate("Alignment")),
        Swatch(Annotations::kPath, Translate("Path")),
        Swatch(Annotations::kFlee, Translate("Flee")),
        Swatch(Annotations::kAvoid, Translate("Avoid")),
        Swatch(Annotations::kPath, Translate("Distance to target")),
    };
    const char* objectNames[] = {"boid",
                                 "speed",
                                 "separationNeighbours",
                                 "groupNeighbours",
                                 "separation",
                                 "cohesion",
                                 "alignment",
                                 "path",
                                 "flee",
                                 "avoid",
                                 "targetDistance"};
    for (int row = 0; row < 11; ++row) {
        auto* name = new QLabel(names[row], boid);
        m_values[row] = new QLabel(boid);
        m_values[row]->setObjectName(QString::fromLatin1(objectNames[row]));
        m_values[row]->setAlignment(kSpinBoxAlignment);
        AddSettingRow(rows, name, m_values[row]);
    }
    layout->addWidget(boid);
    layout->addStretch(1);
    ShowInspection();
}

void InspectPage::ShowInspection() {
    const std::shared_ptr<TestScene> scene = m_scene.lock();
    TestScene::InspectView view;
    if (scene) {
        view = scene->GetInspection();
        if (view.version == m_shownVersion) {
            return;
        }
        m_shownVersion = view.version;
    }
    const std::optional<BoidInspection>& inspection = view.inspection;
    if (!inspection) {
        m_statusLabel->setText(Translate(
            "Click a boid in the picture to see what steers it; F follows it, Esc lets go."));
        for (QLabel* value : m_values) {
            value->setText(QStringLiteral("-"));
        }
    } else {
        const BoidTerms& terms = inspection->terms;
        m_statusLabel->setText(view.following ? Translate("Following (F stops, Esc lets go). "
                                                          "Forces per unit of velocity added.")
                                              : Translate("F follows it, Esc lets go. "
                                                          "Forces per unit of velocity added."));
        const QString texts[] = {
            QString::number(inspection->boid),
            LengthText(inspection->velocity),
            QString::number(inspection->separationNeighbours.size()),
            QString::number(inspection->groupNeighbours.size()),
            LengthText(terms.separation),
            LengthText(terms.cohesion),
            LengthText(terms.alignment),
            LengthText(terms.path),
            LengthText(terms.flee),
            LengthText(terms.avoid),
            LengthText(terms.target - inspection->position),
        };
        for (int row = 0; row < 11; ++row) {
            m_values[row]->setText(texts[row]);
        }
    }
    const std::optional<std::uint32_t> shown =
        inspection ? std::optional(inspection->boid) : std::nullopt;
    if (m_printSelection && (!m_printedOnce || shown != m_printed)) {
        std::fprintf(stderr, "inspect page: %s\n",
                     shown ? ("boid " + std::to_string(*shown)).c_str() : "none");
        m_printed = shown;
        m_printedOnce = true;
    }
}

}  // namespace Avidrift
