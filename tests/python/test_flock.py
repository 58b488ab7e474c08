"""The module against avidrift-sim, its views of the flock's arrays, and what it refuses."""

import _thread
import gc
import threading

import numpy as np
import pytest

import avidrift
from conftest import read_dump, read_metrics

SETTINGS = {"cohesionWeight": 0.05, "separationWeight": 1.5}


@pytest.mark.parametrize("tasks", [1, 2, 3])
@pytest.mark.parametrize("search", ["auto", "all-pairs", "grid"])
def test_same_flock_and_measures_as_the_simulator(sim, tmp_path, tasks, search):
    dump, log = tmp_path / "dump.csv", tmp_path / "metrics.csv"
    sim("--boids", 300, "--steps", 40, "--every", 8, "--tasks", tasks, "--search", search,
        "--dt", 0.02, *[f"--set={n}={v}" for n, v in SETTINGS.items()],
        "--dump", dump, "--metrics", log)
    flock = avidrift.Flock(boids=300, tasks=tasks, search=search, **SETTINGS)
    series = flock.run(40, every=8, dt=0.02)

    positions, velocities, path_parameters = read_dump(dump)
    np.testing.assert_array_equal(flock.positions, positions)
    np.testing.assert_array_equal(flock.velocities, velocities)
    np.testing.assert_array_equal(flock.path_parameters, path_parameters)
    expected = read_metrics(log)
    assert list(series) == list(expected) == avidrift.METRICS
    for name, column in expected.items():
        assert series[name].tobytes() == column.astype(series[name].dtype).tobytes(), name
    np.testing.assert_equal(flock.metrics(),
                            {name: column[-1] for name, column in expected.items()})


def test_step_and_run_are_the_same_steps():
    stepped, run = avidrift.Flock(boids=200, tasks=2), avidrift.Flock(boids=200, tasks=1)
    for _ in range(3):
        stepped.step(5, dt=0.01)
    run.run(15, every=15, metrics=False, dt=0.01)
    assert stepped.positions.tobytes() == run.positions.tobytes()
    assert (stepped.steps, stepped.time) == (15, run.time)


def test_views_are_the_flocks_own_arrays_and_outlive_it():
    flock = avidrift.Flock(boids=500, tasks=2)
    views = [flock.positions, flock.velocities, flock.path_parameters]
    addresses = [view.__array_interface__["data"][0] for view in views]
    before = [view.copy() for view in views]
    flock.step(3)
    for view, address, old in zip(views, addresses, before):
        assert not view.flags.owndata and not view.flags.writeable
        assert view.__array_interface__["data"][0] == address
        assert not np.array_equal(view, old)  # it shows the state after the step
    assert addresses[0] == flock.positions.__array_interface__["data"][0]
    with pytest.raises(ValueError):
        views[0][0, 0] = 1.0
    # The last reference to the flock is a view's: the arrays stay until the view goes.
    del flock
    gc.collect()
    assert np.all(np.isfinite(views[0])) and views[2].sum() > 0
    assert views[0].base.boids == 500


def test_step_releases_the_interpreter_and_stops_at_ctrl_c():
    flock = avidrift.Flock(boids=3000, tasks=1)
    counted = []

    def count_then_interrupt():
        while flock.steps < 2:
            counted.append(flock.steps)
        _thread.interrupt_main()

    thread = threading.Thread(target=count_then_interrupt)
    thread.start()
    with pytest.raises(KeyboardInterrupt):
        flock.step(10**9)
    thread.join()
    assert len(counted) > 1 and 2 <= flock.steps < 10**9
    done = flock.steps
    flock.step()
    assert flock.steps == done + 1


def test_assigned_arrays_are_copied_in():
    flock = avidrift.Flock(boids=100, tasks=1)
    positions = np.arange(300, dtype=np.float32).reshape(100, 3)
    flock.positions = positions
    flock.path_parameters = np.zeros(100, np.float32)
    positions[0] = -1
    assert flock.positions[0].tolist() == [0, 1, 2] and flock.path_parameters.sum() == 0
    flock.velocities = np.asfortranarray(positions)
    np.testing.assert_array_equal(flock.velocities, positions)


BAD_ARRAYS = [
    ("positions", np.zeros((100, 3)), TypeError, "must be float32, not float64"),
    ("positions", [[0.0] * 3] * 100, TypeError, "numpy array"),
    ("positions", np.zeros((99, 3), np.float32), ValueError, r"shape \(100, 3\), not \(99, 3\)"),
    ("velocities", np.zeros(300, np.float32), ValueError, r"not \(300,\)"),
    ("path_parameters", np.zeros((100, 1), np.float32), ValueError, r"shape \(100,\)"),
    ("velocities", np.full((100, 3), np.nan, np.float32), ValueError, "finite: boid 0 holds nan"),
]


@pytest.mark.parametrize("name, values, error, message", BAD_ARRAYS)
def test_bad_arrays_are_refused_and_leave_the_flock(name, values, error, message):
    flock = avidrift.Flock(boids=100, tasks=1)
    before = getattr(flock, name).copy()
    with pytest.raises(error, match=message):
        setattr(flock, name, values)
    np.testing.assert_array_equal(getattr(flock, name), before)


BAD_SETTINGS = [
    ("maxSpeed", float("inf"), "invalid value 'inf' for --set maxSpeed"),
    ("groupDistance", float("nan"), "invalid value 'nan' for --set groupDistance"),
    ("cohesionWeight", 1e39, "invalid value '1e\\+39' for --set cohesionWeight"),
]


@pytest.mark.parametrize("name, value, message", BAD_SETTINGS)
def test_parameters_are_checked_as_the_simulator_checks_them(sim, name, value, message):
    flock = avidrift.Flock(boids=100, tasks=1)
    with pytest.raises(ValueError, match=message):
        setattr(flock, name, value)
    with pytest.raises(ValueError, match=message):
        avidrift.Flock(boids=100, **{name: value})
    refusal = sim("--steps", 1, f"--set={name}={value:g}", check=False)
    assert refusal.returncode == 2 and message.replace("\\", "") in refusal.stderr


def test_parameters_set_between_steps_are_the_simulators_settings(sim, tmp_path):
    sim("--boids", 200, "--steps", 5, "--tasks", 1, "--set", "maxSpeed=2",
        "--set", "angleIncrement=0.3", "--dump", tmp_path / "dump.csv")
    flock = avidrift.Flock(boids=200, tasks=1)
    flock.maxSpeed, flock.angleIncrement = 2, 0.3
    flock.step(5)
    np.testing.assert_array_equal(flock.positions, read_dump(tmp_path / "dump.csv")[0])
    assert (flock.maxSpeed, flock.angleIncrement) == (2.0, np.float32(0.3))
    with pytest.raises(AttributeError):
        flock.maxspeed = 3


@pytest.mark.parametrize("arguments, error, message", [
    ({"search": "kd-tree"}, ValueError, "invalid value 'kd-tree' for --search"),
    ({"tasks": -1}, ValueError, "invalid value '-1' for --tasks"),
    ({"sepration": 1.0}, TypeError, "unknown setting name 'sepration'"),
    ({"preset": "no-such"}, ValueError, "no preset named 'no-such'"),
    ({"boids": 2_000_000_000}, ValueError, "not enough memory for a flock of 2000000000"),
])
def test_bad_flocks_are_refused(arguments, error, message):
    with pytest.raises(error, match=message):
        avidrift.Flock(**arguments)


def test_a_preset_is_its_world_file():
    preset = avidrift.Flock(preset="knot", tasks=1, boids=150)
    world = avidrift.Flock(world="worlds/knot.json", tasks=1, boids=150)
    preset.step(3)
    world.step(3)
    assert preset.positions.tobytes() == world.positions.tobytes()
    assert avidrift.Flock(preset="knot", tasks=1).boids == 1000
