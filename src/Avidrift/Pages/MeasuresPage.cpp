#include "Avidrift/Pages/MeasuresPage.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

#include <QBoxLayout>
#include <QChart>
#include <QChartView>
#include <QCoreApplication>
#include <QEvent>
#include <QGraphicsLayout>
#include <QLabel>
#include <QLegend>
#include <QLineSeries>
#include <QList>
#include <QPointF>
#include <QValueAxis>
#include <QWidget>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/FlockMetrics.h"
#include "Avidrift/Tasks/TaskScheduler.h"
#include "Avidrift/Tasks/ThreadPool.h"
#include "Avidrift/TestScene.h"
#include "Quellon/Exception.h"

namespace Avidrift {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kWindowSeconds = 60.0;
constexpr double kShortestInterval = 0.25;
// A measure (copy included) may take this share of one core; a large flock is measured less
// often instead.
constexpr double kCoreShare = 0.05;
constexpr int kChartHeight = 320;

QString Translate(const char* text) {
    return QCoreApplication::translate("Measures", text);
}

QLineSeries* AddSeries(QChart* chart, const char* name, const char* title) {
    auto* series = new QLineSeries(chart);
    series->setObjectName(QString::fromLatin1(name));
    series->setName(Translate(title));
    chart->addSeries(series);
    return series;
}

// The points of one measure, at their age (0 now, -60 a minute ago); a NaN (no boid to
// measure) leaves a gap.
QList<QPointF> Points(const std::deque<MeasuresPage::Sample>& samples, double now,
                      double MeasuresPage::Sample::*value) {
    QList<QPointF> points;
    points.reserve(static_cast<qsizetype>(samples.size()));
    for (const MeasuresPage::Sample& sample : samples) {
        if (std::isfinite(sample.*value)) {
            points.append(QPointF(sample.seconds - now, sample.*value));
        }
    }
    return points;
}

}  // namespace

MeasuresPage::MeasuresPage()
    : QObject(nullptr), m_printSamples(std::getenv("AVIDRIFT_PRINT_MEASURES") != nullptr) {
    m_widget = new QWidget(nullptr);
    BuildPage();
    m_widget->installEventFilter(this);
    m_worker = std::thread([this] { Work(); });
}

MeasuresPage::~MeasuresPage() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_worker.join();
    if (m_widget != nullptr && m_widget->parent() == nullptr) {
        delete m_widget.data();
    }
}

QWidget* MeasuresPage::GetWidget() {
    return m_widget.data();
}

void MeasuresPage::SetScene(std::shared_ptr<Quellon::Scene> scene) {
    if (!scene) {
        Quellon::ThrowException(EINVAL, L"Invalid parameter: !scene in MeasuresPage::SetScene");
    }
    auto testScene = std::dynamic_pointer_cast<TestScene>(scene);
    if (!testScene) {
        Quellon::ThrowException(
            EINVAL, L"Invalid parameter: scene is not a TestScene in MeasuresPage::SetScene");
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_scene = std::move(testScene);
    }
    m_wake.notify_all();
}

void MeasuresPage::BuildPage() {
    QWidget* page = m_widget.data();
    page->setObjectName(QStringLiteral("Measures"));
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(3, 10, 3, 3);

    auto* chart = new QChart;
    chart->setObjectName(QStringLiteral("measuresChart"));
    chart->setMargins(QMargins(0, 0, 0, 0));
    chart->layout()->setContentsMargins(0, 0, 0, 0);
    chart->setBackgroundRoundness(0);
    // The chart's own legend elides the names in so narrow a column: the legend is the lines
    // under the chart, which wrap instead.
    chart->legend()->hide();
    m_polarization = AddSeries(chart, "polarizationSeries", "Polarization");
    m_milling = AddSeries(chart, "millingSeries", "Milling");
    m_nearest = AddSeries(chart, "nearestSeries", "Nearest distance");

    auto* time = new QValueAxis(chart);
    time->setRange(-kWindowSeconds, 0.0);
    time->setTickCount(4);
    time->setLabelFormat(QStringLiteral("%d"));
    time->setTitleText(Translate("Seconds ago"));
    auto* order = new QValueAxis(chart);
    order->setRange(0.0, 1.0);
    order->setTickCount(3);
    order->setLabelFormat(QStringLiteral("%.1f"));
    // The distance has units of its own; its axis is on the right, in its series' colour.
    m_distanceAxis = new QValueAxis(chart);
    m_distanceAxis->setRange(0.0, 1.0);
    m_distanceAxis->setTickCount(3);
    m_distanceAxis->setLabelFormat(QStringLiteral("%.1f"));
    for (QValueAxis* axis : {time, order, m_distanceAxis}) {
        axis->setLabelsFont(page->font());
        axis->setTitleFont(page->font());
    }
    chart->addAxis(time, Qt::AlignBottom);
    chart->addAxis(order, Qt::AlignLeft);
    chart->addAxis(m_distanceAxis, Qt::AlignRight);
    for (QLineSeries* series : {m_polarization, m_milling, m_nearest}) {
        series->attachAxis(time);
        series->attachAxis(series == m_nearest ? m_distanceAxis : order);
    }
    m_distanceAxis->setLabelsColor(m_nearest->color());

    auto* view = new QChartView(chart, page);
    view->setObjectName(QStringLiteral("measuresView"));
    view->setMinimumHeight(kChartHeight);
    view->setToolTip(Translate("The flock's order over the last minute of wall-clock time"));
    layout->addWidget(view);

    for (QLineSeries* series : {m_polarization, m_milling, m_nearest}) {
        auto* line = new QLabel(page);
        line->setObjectName(series->objectName() + QStringLiteral("Legend"));
        line->setWordWrap(true);
        line->setTextFormat(Qt::RichText);
        layout->addWidget(line);
        m_legend.push_back(line);
    }
    ShowLegend(nullptr);
    m_rateLabel = new QLabel(page);
    m_rateLabel->setObjectName(QStringLiteral("measuresRate"));
    m_rateLabel->setWordWrap(true);
    m_rateLabel->setText(Translate("Measured while this page is shown"));
    layout->addWidget(m_rateLabel);
    layout->addStretch(1);
}

bool MeasuresPage::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_widget.data() &&
        (event->type() == QEvent::Show || event->type() == QEvent::Hide)) {
        SetShown(event->type() == QEvent::Show);
    }
    return QObject::eventFilter(watched, event);
}

void MeasuresPage::SetShown(bool shown) {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_shown = shown;
    }
    m_wake.notify_all();
}

void MeasuresPage::AddSample(const Sample& sample) {
    if (m_widget == nullptr) {
        return;  // a window deleted the page, and its series with it, before the sample came
    }
    m_samples.push_back(sample);
    while (m_samples.front().seconds < sample.seconds - kWindowSeconds) {
        m_samples.pop_front();
    }
    const double now = sample.seconds;
    m_polarization->replace(Points(m_samples, now, &Sample::polarization));
    m_milling->replace(Points(m_samples, now, &Sample::milling));
    m_nearest->replace(Points(m_samples, now, &Sample::meanNearestDistance));
    double farthest = 0.0;
    for (const Sample& s : m_samples) {
        if (std::isfinite(s.meanNearestDistance)) {
            farthest = std::max(farthest, s.meanNearestDistance);
        }
    }
    m_distanceAxis->setRange(0.0, farthest > 0.0 ? farthest * 1.1 : 1.0);
    ShowLegend(&sample);
    if (m_printSamples) {
        std::fprintf(
            stderr, "measures page: boids %u polarization %.4f milling %.4f nearest %.4f\n",
            sample.boidCount, sample.polarization, sample.milling, sample.meanNearestDistance);
    }
    m_rateLabel->setText(Translate("%1 boids, measured every %2 s while this page is shown")
                             .arg(sample.boidCount)
                             .arg(QString::number(sample.interval, 'f', 2)));
}

void MeasuresPage::ShowLegend(const Sample* sample) {
    const QLineSeries* series[] = {m_polarization, m_milling, m_nearest};
    const double values[] = {sample != nullptr ? sample->polarization : 0.0,
                             sample != nullptr ? sample->milling : 0.0,
                             sample != nullptr ? sample->meanNearestDistance : 0.0};
    for (std::size_t i = 0; i < m_legend.size(); ++i) {
        QString text = QStringLiteral("<span style=\"color:%1\">&#9632;</span> %2")
                           .arg(series[i]->color().name(), series[i]->name().toHtmlEscaped());
        if (sample != nullptr) {
            text += QStringLiteral(" %1").arg(QString::number(values[i], 'f', 2));
        }
        m_legend[i]->setText(text);
    }
}

void MeasuresPage::Report(const QString& message) {
    if (m_widget != nullptr) {
        m_rateLabel->setText(message);
    }
    std::fprintf(stderr, "avidrift: measures: %s\n", message.toUtf8().constData());
    std::fflush(stderr);
}

// The worker thread: a failure ends the measures, not the program; the page says why.
void MeasuresPage::Work() {
    const Clock::time_point start = Clock::now();
    try {
        // One task on one thread of its own: the measure never takes the step's workers.
        TaskScheduler scheduler(std::make_unique<ThreadPool>(1));
        FlockMetrics metrics(scheduler);
        Clock::time_point next = start;
        std::unique_lock<std::mutex> lock(m_mutex);
        while (true) {
            m_wake.wait(lock, [this] { return m_stop || (m_shown && !m_scene.expired()); });
            if (m_stop) {
                return;
            }
            if (m_wake.wait_until(lock, next, [this] { return m_stop || !m_shown; })) {
                continue;
            }
            const std::shared_ptr<TestScene> scene = m_scene.lock();
            lock.unlock();
            const Clock::time_point began = Clock::now();
            FlockData flock;
            if (scene) {
                // Shared ownership for the copy only: a frame may draw meanwhile, and a publish
                // waits at most as long as the copy.
                scene->ReadLocked([&] { flock = scene->m_flock; });
            }
            const FlockMeasures measures = metrics.Measure(flock, 1);
            const Clock::time_point ended = Clock::now();
            const double cost = std::chrono::duration<double>(ended - began).count();
            const double interval = std::max(kShortestInterval, cost / kCoreShare);
            next = ended + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(interval - cost));
            const Sample sample{std::chrono::duration<double>(ended - start).count(),
                                measures.polarization,
                                measures.milling,
                                measures.meanNearestDistance,
                                flock.boidCount,
                                interval};
            QMetaObject::invokeMethod(
                this, [this, sample] { AddSample(sample); }, Qt::QueuedConnection);
            lock.lock();
        }
    } catch (const Quellon::Exception& error) {
        PostFailure(QString::fromStdWString(error.GetErrorText() + L": " + error.GetMessage()));
    } catch (const std::exception& error) {
        PostFailure(QString::fromLocal8Bit(error.what()));
    }
}

void MeasuresPage::PostFailure(const QString& message) {
    QMetaObject::invokeMethod(
        this, [this, message] { Report(message); }, Qt::QueuedConnection);
}

}  // namespace Avidrift
