// The avidrift Python module: a flock stepped exactly as avidrift-sim steps it, its arrays seen
// from numpy without a copy, its measures and its trajectory.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Avidrift/Flock/FlockMemory.h"
#include "Avidrift/Flock/FlockMetrics.h"
#include "Avidrift/Flock/WorldFile.h"
#include "Avidrift/Trajectory/TrajectoryWriter.h"
#include "FlockSession.h"
#include "SimulatorOptions.h"

namespace py = pybind11;

namespace Avidrift {

namespace {

// The metrics log's columns: step, time and the measures, by the names avidrift-sim writes.
std::vector<std::string> MetricsColumns() {
    std::vector<std::string> columns{"step", "time"};
    for (const std::string& name : GetMeasureNames()) {
        columns.push_back(name);
    }
    return columns;
}

// The measures that count boids, which numpy and Python get as integers.
bool IsCountColumn(const std::string& name) {
    return name == "excluded" || name == "inside_obstacles";
}

// A Python number checked as the command line checks its text: the same reading, the same
// message.
float CheckedFloat(const std::string& what, double value) {
    char text[64];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return ParseFloatArgument(what, std::string(text, error == std::errc() ? end : text));
}

std::uint32_t CheckedCount(const std::string& what, long long value) {
    return ParseCountArgument(what, std::to_string(value));
}

class Flock;

// Marks the flock busy for the lifetime of the guard: while a step runs without the GIL, no
// other thread may step it, measure it or write into it.
class BusyGuard {
public:
    explicit BusyGuard(bool& busy) : m_busy(busy) {
        if (m_busy) {
            throw std::runtime_error("the flock is stepping in another thread");
        }
        m_busy = true;
    }
    ~BusyGuard() { m_busy = false; }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

private:
    bool& m_busy;
};

// Raises KeyboardInterrupt (or whatever a signal handler raised) between steps.
void CheckSignals() {
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

class Flock {
public:
    Flock(std::optional<long long> boids, long long tasks, const std::string& search,
          const std::optional<std::string>& world, const py::dict& parameters) {
        std::optional<std::uint32_t> count;
        if (boids) {
            count = CheckedCount("--boids", *boids);
        }
        std::vector<std::pair<std::string, float>> settings;
        for (const auto& [key, value] : parameters) {
            const auto name = key.cast<std::string>();
            FlockData probe;
            try {
                ApplySetting(probe, name, 0.0f);
            } catch (const UsageError& error) {
                throw py::type_error(error.what());
            }
            settings.emplace_back(name, CheckedFloat("--set " + name, value.cast<double>()));
        }
        const std::uint32_t placed =
            count.value_or(world ? ReadWorld(*world).boidCount.value_or(SimulatorOptions().boids)
                                 : SimulatorOptions().boids);
        const std::string shortfall = DescribeFlockShortfall(placed, GetAvailableMemory());
        if (!shortfall.empty()) {
            throw py::value_error(shortfall);
        }
        py::gil_scoped_release release;
        m_session = std::make_unique<FlockSession>(count, CheckedCount("--tasks", tasks), search,
                                                   world.value_or(""), settings);
    }

    void Step(long long steps, double dt) {
        const std::uint32_t n = CheckedCount("--steps", steps);
        const float stepTime = CheckedFloat("--dt", dt);
        const BusyGuard busy(m_busy);
        for (std::uint32_t k = 0; k < n; ++k) {
            {
                py::gil_scoped_release release;
                m_session->Step(stepTime);
            }
            CheckSignals();
        }
    }

    py::dict Metrics() {
        const BusyGuard busy(m_busy);
        FlockMeasures measures;
        {
            py::gil_scoped_release release;
            measures = m_session->Measure();
        }
        py::dict row;
        const std::vector<std::string> columns = MetricsColumns();
        const std::vector<double> values = GetMeasureValues(measures);
        row[py::str(columns[0])] = m_session->GetSteps();
        row[py::str(columns[1])] = m_session->GetTime();
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::string& name = columns[i + 2];
            if (IsCountColumn(name)) {
                row[py::str(name)] = static_cast<std::int64_t>(values[i]);
            } else {
                row[py::str(name)] = values[i];
            }
        }
        return row;
    }

    py::dict Run(long long steps, long long every, bool metrics,
                 const std::optional<std::string>& trajectory, double dt,
                 const std::string& creator) {
        const std::uint32_t n = CheckedCount("--steps", steps);
        const std::uint32_t interval = CheckedCount("--every", every);
        if (interval == 0) {
            throw UsageError("invalid value '0' for --every (at least 1)");
        }
        const float stepTime = CheckedFloat("--dt", dt);
        const BusyGuard busy(m_busy);
        const std::vector<std::string> names = GetMeasureNames();
        std::unique_ptr<TrajectoryWriter> writer;
        if (trajectory) {
            py::gil_scoped_release release;
            writer =
                std::make_unique<TrajectoryWriter>(*trajectory, m_session->GetFlock(),
                                                   TrajectoryCreator{creator, AVIDRIFT_VERSION, ""},
                                                   metrics ? names : std::vector<std::string>());
        }
        std::vector<std::int64_t> stepColumn;
        std::vector<double> timeColumn;
        std::vector<std::vector<double>> columns(metrics ? names.size() : 0);
        // Measures (when asked) and the frame (when written) of the state the flock is in.
        const auto record = [&] {
            py::gil_scoped_release release;
            const auto step = static_cast<std::int64_t>(m_session->GetSteps());
            const double time = m_session->GetTime();
            stepColumn.push_back(step);
            timeColumn.push_back(time);
            std::vector<double> values;
            if (metrics) {
                const FlockMeasures measures = m_session->Measure();
                values = GetMeasureValues(measures);
                for (std::size_t i = 0; i < values.size(); ++i) {
                    columns[i].push_back(values[i]);
                }
            }
            if (writer) {
                writer->WriteFrame(step, time, m_session->GetFlock(), values);
            }
        };
        record();
        for (std::uint32_t k = 0; k < n; ++k) {
            {
                py::gil_scoped_release release;
                m_session->Step(stepTime);
            }
            if ((k + 1) % interval == 0) {
                record();
            }
            CheckSignals();
        }
        if (writer) {
            py::gil_scoped_release release;
            writer->Close();
        }
        const std::vector<std::string> all = MetricsColumns();
        py::dict result;
        result[py::str(all[0])] = py::array_t<std::int64_t>(stepColumn.size(), stepColumn.data());
        result[py::str(all[1])] = py::array_t<double>(timeColumn.size(), timeColumn.data());
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (IsCountColumn(names[i])) {
                const std::vector<std::int64_t> counts(columns[i].begin(), columns[i].end());
                result[py::str(names[i])] = py::array_t<std::int64_t>(counts.size(), counts.data());
            } else {
                result[py::str(names[i])] =
                    py::array_t<double>(columns[i].size(), columns[i].data());
            }
        }
        return result;
    }

    // A read-only numpy array over one of the flock's own arrays, whose base is the Python
    // object: the flock outlives every view of it, and its arrays never move.
    static py::array View(py::object self, void* data, std::vector<py::ssize_t> shape) {
        std::vector<py::ssize_t> strides(shape.size(), sizeof(float));
        if (shape.size() == 2) {
            strides[0] = 3 * sizeof(float);
        }
        py::array view(py::dtype::of<float>(), shape, strides, data, self);
        view.attr("setflags")(py::arg("write") = false);
        return view;
    }

    static py::array Positions(py::object self) {
        Flock& flock = self.cast<Flock&>();
        FlockData& data = flock.m_session->GetFlock();
        return View(self, data.positions.get(), {data.boidCount, 3});
    }
    static py::array Velocities(py::object self) {
        Flock& flock = self.cast<Flock&>();
        FlockData& data = flock.m_session->GetFlock();
        return View(self, data.velocities.get(), {data.boidCount, 3});
    }
    static py::array PathParameters(py::object self) {
        Flock& flock = self.cast<Flock&>();
        FlockData& data = flock.m_session->GetFlock();
        return View(self, data.pathParameters.get(), {data.boidCount});
    }

    // Copies values into the flock's array target after checking what they are.
    void Assign(const char* name, const py::object& values, float* target, py::ssize_t width) {
        if (!py::isinstance<py::array>(values)) {
            throw py::type_error(std::string(name) + " must be a numpy array of float32");
        }
        const auto array = values.cast<py::array>();
        if (!array.dtype().is(py::dtype::of<float>())) {
            throw py::type_error(std::string(name) + " must be float32, not " +
                                 py::str(array.dtype()).cast<std::string>() +
                                 " (convert with .astype(numpy.float32))");
        }
        const py::ssize_t n = m_session->GetFlock().boidCount;
        const bool fits = width == 1
                              ? array.ndim() == 1 && array.shape(0) == n
                              : array.ndim() == 2 && array.shape(0) == n && array.shape(1) == width;
        if (!fits) {
            std::string shape = "(";
            for (py::ssize_t i = 0; i < array.ndim(); ++i) {
                shape += (i > 0 ? ", " : "") + std::to_string(array.shape(i));
            }
            shape += array.ndim() == 1 ? ",)" : ")";
            throw py::value_error(std::string(name) + " must have the shape (" + std::to_string(n) +
                                  (width == 1 ? ",)" : ", " + std::to_string(width) + ")") +
                                  ", not " + shape);
        }
        const auto contiguous = py::array_t<float, py::array::c_style>::ensure(array);
        const float* source = contiguous.data();
        const py::ssize_t count = n * width;
        for (py::ssize_t i = 0; i < count; ++i) {
            if (!std::isfinite(source[i])) {
                throw py::value_error(std::string(name) + " must be finite: boid " +
                                      std::to_string(i / width) + " holds " +
                                      py::repr(py::float_(source[i])).cast<std::string>());
            }
        }
        const BusyGuard busy(m_busy);
        std::copy(source, source + count, target);
    }

    float GetSetting(const std::string& name) const {
        return ReadSetting(m_session->GetFlock(), name);
    }
    void SetSetting(const std::string& name, double value) {
        const float checked = CheckedFloat("--set " + name, value);
        const BusyGuard busy(m_busy);
        ApplySetting(m_session->GetFlock(), name, checked);
    }

    FlockSession& Session() { return *m_session; }
    const FlockSession& Session() const { return *m_session; }

private:
    std::unique_ptr<FlockSession> m_session;
    bool m_busy = false;
};

const char* SearchName(NeighbourSearchMode mode) {
    switch (mode) {
        case NeighbourSearchMode::Grid:
            return "grid";
        case NeighbourSearchMode::AllPairs:
            return "all-pairs";
        default:
            return "auto";
    }
}

}  // namespace

}  // namespace Avidrift

PYBIND11_MODULE(_avidrift, m) {
    using Avidrift::Flock;
    m.doc() = "The exact flock step of Avidrift";
    // The simulator's refusals are ValueErrors, world files that cannot be used too.
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) {
                std::rethrow_exception(thrown);
            }
        } catch (const Avidrift::UsageError& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
        } catch (const Avidrift::WorldFileError& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
        } catch (const Avidrift::TrajectoryError& error) {
            PyErr_SetString(PyExc_OSError, error.what());
        }
    });

    py::class_<Flock> flock(m, "Flock",
                            R"(A flock of boids stepped exactly as avidrift-sim steps it.

Flock(boids=None, tasks=0, search="auto", world=None, parameters={}) places boids
(1000, or the world's count) on the knot after the defaults, the world file and the
parameters (avidrift-sim's --set names); tasks 0 is the processor count.)");
    flock.def(py::init<std::optional<long long>, long long, const std::string&,
                       const std::optional<std::string>&, const py::dict&>(),
              py::arg("boids") = py::none(), py::arg("tasks") = 0, py::arg("search") = "auto",
              py::arg("world") = py::none(), py::arg("parameters") = py::dict());
    flock.def("step", &Flock::Step, py::arg("n") = 1, py::arg("dt") = 0.016,
              R"(Advances the flock n steps of dt seconds.

The GIL is released during each step, so other Python threads run meanwhile; Ctrl-C (and
any other signal handler) is answered between steps, the flock then holding the state
after the last whole step.)");
    flock.def("metrics", &Flock::Metrics,
              "The measures of the flock now, as avidrift-sim --metrics writes them: a dict "
              "with the log's columns, bit-identical to the log's numbers.");
    flock.def("_run", &Flock::Run, py::arg("steps"), py::arg("every"), py::arg("metrics"),
              py::arg("trajectory"), py::arg("dt"), py::arg("creator"));
    const char* viewRule =
        "A read-only view of the flock's own array, without a copy. The flock steps into a "
        "second record and copies the result back into these same arrays, so a view always "
        "shows the current state, also one taken before a step; it keeps the flock alive and "
        "never dangles. Assigning an array copies it in (checked for dtype float32, shape and "
        "finiteness). Reading a view while another thread steps the flock sees a state being "
        "written.";
    flock.def_property(
        "positions", &Flock::Positions,
        [](Flock& self, const py::object& values) {
            auto& data = self.Session().GetFlock();
            self.Assign("positions", values, &data.positions.get()->x, 3);
        },
        (std::string("Positions, shape (N, 3) float32. ") + viewRule).c_str());
    flock.def_property(
        "velocities", &Flock::Velocities,
        [](Flock& self, const py::object& values) {
            auto& data = self.Session().GetFlock();
            self.Assign("velocities", values, &data.velocities.get()->x, 3);
        },
        (std::string("Velocities, shape (N, 3) float32. ") + viewRule).c_str());
    flock.def_property(
        "path_parameters", &Flock::PathParameters,
        [](Flock& self, const py::object& values) {
            auto& data = self.Session().GetFlock();
            self.Assign("path_parameters", values, data.pathParameters.get(), 1);
        },
        (std::string("Each boid's parameter on the knot, shape (N,) float32. ") + viewRule)
            .c_str());
    flock.def_property_readonly(
        "boids", [](const Flock& self) { return self.Session().GetFlock().boidCount; });
    flock.def_property_readonly("tasks",
                                [](const Flock& self) { return self.Session().GetTasks(); });
    flock.def_property_readonly(
        "search",
        [](const Flock& self) { return Avidrift::SearchName(self.Session().GetLastSearch()); },
        "The search the last step used (the one asked for before the first step).");
    flock.def_property_readonly("isa", [](const Flock& self) {
        return Avidrift::GetInstructionSetName(self.Session().GetInstructionSet());
    });
    flock.def_property_readonly(
        "steps", [](const Flock& self) { return self.Session().GetSteps(); },
        "The steps taken since the flock was placed.");
    flock.def_property_readonly("time", [](const Flock& self) { return self.Session().GetTime(); });
    for (const std::string& name : Avidrift::GetSettingNames()) {
        flock.def_property(
            name.c_str(), [name](const Flock& self) { return self.GetSetting(name); },
            [name](Flock& self, double value) { self.SetSetting(name, value); },
            ("The parameter " + name + ", checked as avidrift-sim --set checks it.").c_str());
    }
    m.attr("SETTINGS") = Avidrift::GetSettingNames();
    m.attr("METRICS") = Avidrift::MetricsColumns();
    m.attr("__version__") = AVIDRIFT_VERSION;
    m.attr("_DATA_FROM_PACKAGE") = AVIDRIFT_DATA_FROM_PACKAGE;
}
