"""What the module's tests share: the simulator they compare with, and reading its outputs."""

import csv
import os
import pathlib
import subprocess

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def sim_program():
    """The avidrift-sim of the build under test, as CTest names it."""
    return os.environ.get("AVIDRIFT_SIM", str(ROOT / "build/release/tools/avidrift-sim"))


@pytest.fixture(scope="session")
def sim(sim_program):
    """Runs avidrift-sim with the arguments and returns the completed process."""
    def run(*arguments, check=True):
        return subprocess.run([sim_program, *map(str, arguments)], capture_output=True,
                              text=True, check=check)
    return run


def read_dump(path):
    """A --dump as float32 arrays: nine significant digits give every float32 back exactly."""
    table = np.loadtxt(path, delimiter=",", skiprows=1, dtype=np.float64).astype(np.float32)
    return table[:, 1:4], table[:, 4:7], table[:, 7]


def read_metrics(path):
    """A --metrics log as columns of the numbers it printed with %.17g (each the exact double)."""
    with open(path, newline="") as log:
        rows = list(csv.DictReader(log))
    return {name: np.array([float(row[name]) for row in rows]) for name in rows[0]}
