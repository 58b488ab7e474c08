"""Trajectories as H5MD files: what they hold, who reads them, and what a kill or a full disk
leaves behind."""

import os
import signal
import subprocess
import warnings

import h5py
import numpy as np
import pytest

import avidrift
from conftest import read_dump, read_metrics

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import MDAnalysis

FLOCK = "particles/flock"


def frames(path):
    """Every element's frames, checked to agree: (steps, times, positions, velocities, t)."""
    with h5py.File(path, "r") as trajectory:
        group = trajectory[FLOCK]
        steps, times = group["position/step"][:], group["position/time"][:]
        values = [group[name + "/value"][:]
                  for name in ("position", "velocity", "path_parameter")]
        assert all(len(value) == len(steps) == len(times) for value in values)
        return (steps, times, *values)


def test_simulator_and_module_write_the_same_h5md(sim, tmp_path):
    written, log = tmp_path / "sim.h5", tmp_path / "metrics.csv"
    sim("--boids", 200, "--steps", 12, "--every", 4, "--tasks", 2, "--set", "maxSpeed=3",
        "--trajectory", written, "--metrics", log, "--dump", tmp_path / "dump.csv")
    flock = avidrift.Flock(boids=200, tasks=3, maxSpeed=3)
    series = flock.run(12, every=4, trajectory=tmp_path / "module.h5")

    sim_frames, module_frames = frames(written), frames(tmp_path / "module.h5")
    for ours, theirs in zip(sim_frames, module_frames):
        assert ours.tobytes() == theirs.tobytes()
    np.testing.assert_array_equal(sim_frames[0], [0, 4, 8, 12])
    positions, velocities, path_parameters = read_dump(tmp_path / "dump.csv")
    np.testing.assert_array_equal(sim_frames[2][-1], positions)
    np.testing.assert_array_equal(sim_frames[4][-1], path_parameters)

    with h5py.File(written, "r") as trajectory:
        assert list(trajectory["h5md"].attrs["version"]) == [1, 1]
        assert trajectory["h5md/creator"].attrs["name"] == "avidrift-sim"
        assert trajectory["h5md/author"].attrs["name"]
        box = trajectory[FLOCK + "/box"].attrs
        assert box["dimension"] == 3 and list(box["boundary"]) == ["none"] * 3
        value = trajectory[FLOCK + "/position/value"]
        assert value.dtype == np.float32 and value.compression == "gzip" and value.chunks
        assert trajectory["parameters"].attrs["maxSpeed"] == 3
        assert '"maxSpeed": 3' in trajectory["parameters"].attrs["world"]
        for name, column in read_metrics(log).items():
            if name not in ("step", "time"):
                assert trajectory[f"observables/{name}/value"][:].tobytes() == column.tobytes()
        np.testing.assert_array_equal(trajectory["observables/polarization/value"],
                                      series["polarization"])


def test_mdanalysis_reads_the_positions(sim, tmp_path):
    sim("--boids", 150, "--steps", 6, "--every", 3, "--trajectory", tmp_path / "t.h5",
        "--dump", tmp_path / "dump.csv")
    # Its reader takes any particles group, but its topology guess wants one named trajectory.
    universe = MDAnalysis.Universe.empty(150, trajectory=True)
    universe.load_new(str(tmp_path / "t.h5"), format="H5MD", convert_units=False)
    assert len(universe.trajectory) == 3
    last = universe.trajectory[-1]
    assert last.data["step"] == 6 and last.time == pytest.approx(0.096)
    np.testing.assert_array_equal(last.positions, read_dump(tmp_path / "dump.csv")[0])


def test_a_killed_run_leaves_every_frame_it_claims(sim, sim_program, tmp_path):
    arguments = ["--boids", 2000, "--tasks", 1, "--every", 1, "--metrics", tmp_path / "m.csv"]
    sim(*arguments, "--steps", 40, "--trajectory", tmp_path / "whole.h5")
    whole = frames(tmp_path / "whole.h5")
    # Another process may read only without HDF5's lock, which the writer holds.
    os.environ["HDF5_USE_FILE_LOCKING"] = "FALSE"
    # From the second frame on: killed while its second frame is flushed, a run can still leave a
    # file HDF5 refuses (see the README).
    for kill_after in (2, 7, 20):
        killed = tmp_path / f"killed{kill_after}.h5"
        run = subprocess.Popen([sim_program, *map(str, arguments), "--steps", str(10**6),
                                "--trajectory", killed], stdout=subprocess.DEVNULL)
        while written_frames(killed) < kill_after:
            assert run.poll() is None
        run.send_signal(signal.SIGKILL)
        run.wait()
        partial = frames(killed)
        assert len(partial[0]) >= kill_after
        for ours, theirs in zip(partial, whole):
            assert ours.tobytes() == theirs[:len(ours)].tobytes()
        universe = MDAnalysis.Universe.empty(2000, trajectory=True)
        universe.load_new(str(killed), format="H5MD", convert_units=False)
        np.testing.assert_array_equal(universe.trajectory[-1].positions, partial[2][-1])


def written_frames(path):
    """The frames a file being written claims so far; 0 while it cannot be read."""
    try:
        with h5py.File(path, "r") as trajectory:
            return len(trajectory[FLOCK + "/position/step"])
    except (OSError, KeyError):
        return 0


def test_unwritable_trajectories_fail_before_the_first_step(sim, tmp_path):
    for path, reason in [("/nonexistent/t.h5", "No such file or directory"),
                         ("/dev/full", "No space left on device")]:
        refusal = sim("--steps", 100000, "--trajectory", path, check=False)
        assert refusal.returncode == 2
        assert f"avidrift-sim: cannot write '{path}': {reason}" in refusal.stderr
        assert refusal.stdout == ""
        flock = avidrift.Flock(boids=100, tasks=1)
        with pytest.raises(OSError, match=f"cannot write '{path}': {reason}"):
            flock.run(10, trajectory=path)
        assert flock.steps == 0


def test_a_disk_that_fills_stops_the_run_naming_the_file(sim_program, tmp_path):
    path = tmp_path / "t.h5"
    # A file size limit stands for a full disk: writes beyond it fail with EFBIG.
    run = subprocess.run(
        ["sh", "-c", 'ulimit -f 2000 && trap "" XFSZ && exec "$0" "$@"',
         sim_program, *map(str, ["--boids", 5000, "--steps", 1000, "--every", 1,
                                 "--tasks", 1, "--trajectory", path])],
        capture_output=True, text=True)
    assert run.returncode == 1
    assert f"avidrift-sim: cannot write '{path}': File too large" in run.stderr
    partial = frames(path)
    assert 0 < len(partial[0]) < 1001
