"""The examples run, on tiny flocks, so that they keep working."""

import os
import pathlib
import subprocess
import sys

import pytest

import avidrift

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


@pytest.mark.parametrize("example, arguments, picture", [
    ("polarization.py", ["80", "20"], "polarization.png"),
    ("phase_diagram.py", ["--boids", "70", "--steps", "10", "--every", "5",
                          "--separations", "2", "--cohesions", "2", "--out", "phase.png"],
     "phase.png"),
])
def test_example_draws_its_picture(tmp_path, example, arguments, picture):
    package = pathlib.Path(avidrift.__file__).resolve().parents[1]
    environment = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=str(package))
    subprocess.run([sys.executable, EXAMPLES / example, *arguments], cwd=tmp_path,
                   env=environment, check=True, capture_output=True)
    assert (tmp_path / picture).stat().st_size > 0
