#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <QObject>
#include <QPointer>

#include "Quellon/Widgets/ITab.h"

class QLabel;
class QLineSeries;
class QValueAxis;
class QWidget;

namespace Avidrift {

class TestScene;

// The "Measures" page: the flock's polarization, milling and mean nearest distance over the
// last minute of wall time. A worker thread of its own copies the flock the renderer was handed
// (under the scene's read lock, for the copy only) and measures the copy with one task, so
// neither the step nor the renderer ever waits for a measure. It works only while the page is
// shown, and measures at most once a quarter second, less often when a measure would take more
// than a twentieth of one core.
class MeasuresPage : public QObject, public Quellon::ITab {
    Q_OBJECT

public:
    // One measure, as the page plots it.
    struct Sample {
        double seconds = 0.0;  // wall time since the page was made
        double polarization = 0.0;
        double milling = 0.0;
        double meanNearestDistance = 0.0;
        std::uint32_t boidCount = 0;
        double interval = 0.0;  // seconds until the next measure
    };

    // Called on the Qt thread; starts the page's worker, which sleeps until the page is shown.
    MeasuresPage();
    // Called on the Qt thread: stops and joins the worker, then deletes the page only if no
    // window has taken it over.
    ~MeasuresPage() override;

    // Called on the Qt thread. Empty once the window that took the page over has deleted it.
    QWidget* GetWidget() override;
    // Called on the Qt thread, possibly inside the scene's read lock: keeps the scene (a
    // TestScene) whose flock the worker measures. Throws Exception for an empty scene or one of
    // another type.
    void SetScene(std::shared_ptr<Quellon::Scene> scene) override;

    // Called on the Qt thread, by the worker's queued call: adds the sample and drops what is
    // older than a minute; nothing once the page's widget is gone.
    void AddSample(const Sample& sample);

protected:
    // The page's Show and Hide: the worker measures only while the page is shown.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildPage();
    void SetShown(bool shown);
    void ShowLegend(const Sample* sample);
    void Work();
    // Called on the worker thread.
    void PostFailure(const QString& message);
    void Report(const QString& message);

    QPointer<QWidget> m_widget;
    QLineSeries* m_polarization = nullptr;
    QLineSeries* m_milling = nullptr;
    QLineSeries* m_nearest = nullptr;
    QValueAxis* m_distanceAxis = nullptr;
    // One line a series: its colour, its name and its last value.
    std::vector<QLabel*> m_legend;
    QLabel* m_rateLabel = nullptr;
    std::deque<Sample> m_samples;
    // Set by the end-to-end tests only: each sample is printed on standard error too.
    const bool m_printSamples;

    // Shared with the worker, guarded by m_mutex.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::weak_ptr<TestScene> m_scene;
    bool m_shown = false;
    bool m_stop = false;
    std::thread m_worker;
};

}  // namespace Avidrift
